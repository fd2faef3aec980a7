#include "headless_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/frame.h"
#include "solver/memory.h"

namespace sph {

namespace {
const char* programName = "";

void closeStandardOutput() {
  errno = 0;
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const int writeError = errno;
  if (std::fclose(stdout) == 0 && written) return;
  const int failure = writeError ? writeError : errno;
  std::fprintf(stderr, "%s: cannot write to standard output: %s\n", programName,
               failure ? std::strerror(failure) : "write error");
  _exit(EXIT_RUN_FAILED);  // exit would run this handler again
}

// A closed standard descriptor is the next one a file gets, and then the
// encoder's set-up (its standard streams) or a message writes over that
// file. /dev/null takes its place, opened the wrong way round, so that
// using it still fails as with the descriptor closed.
void takeClosedStandardDescriptors() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor)
    if (fcntl(descriptor, F_GETFD) < 0)  // the lowest free one: open gives it
      open("/dev/null", descriptor == STDIN_FILENO ? O_WRONLY : O_RDONLY);
}
}  // namespace

FluidSystem* startRun(const RunOptions& options) {
  FluidSystem* system = createFluidSystem();
  installFluidSystem(system);
  resetFrameState();
  system->threadCount = options.threads;
  seedBlock(options.layers);
  return system;
}

void finishRun(FluidSystem* system) {
  installFluidSystem(nullptr);
  destroyFluidSystem(system);
}

void printSummary(const RunOptions& options, double seconds, const std::string& extra) {
  std::printf("frames: %d threads: %d particles: %d seconds: %.3f frames/s: %.2f%s\n", int(options.frames),
              int(options.threads), int(fluidSystem->particleCount), seconds,
              seconds > 0.0 ? options.frames / seconds : 0.0, extra.c_str());
}

int runTool(const char* program, int (*run)(int argc, char** argv), int argc, char** argv) {
  programName = program;
  takeClosedStandardDescriptors();
  std::atexit(closeStandardOutput);
  try {
    return run(argc, argv);
  } catch (const OutOfMemory& error) {
    // The solver's own account of what it could not allocate.
    std::fprintf(stderr, "sph: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", program);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
  }
  return EXIT_RUN_FAILED;
}

}  // namespace sph
