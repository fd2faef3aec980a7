#include "headless_run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/frame.h"

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
  std::atexit(closeStandardOutput);
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", program);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
  }
  return EXIT_RUN_FAILED;
}

}  // namespace sph
