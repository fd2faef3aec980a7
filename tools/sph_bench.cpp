// sph-bench: the simulation without a window. Seeds the same block as the
// window program, runs frames exactly as its idle callback does minus the
// drawing, and reports how fast the frame loop ran. With --dump it writes
// the final state, which is how reference trajectories are compared.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/frame.h"
#include "atomic_file.h"
#include "bench_options.h"
#include "progress_line.h"
#include "solver/fluid_system.h"
#include "solver/seeding.h"
#include "solver/state_csv.h"

namespace {

constexpr const char* PROGRAM_NAME = "sph-bench";

// Exit statuses: a usage error is told apart from a failure of the run.
constexpr int EXIT_DUMP_FAILED = 1;
constexpr int EXIT_BAD_USAGE = 2;

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const sph::ParsedCommandLine parsed = sph::parseBenchOptions(arguments);
  if (parsed.outcome == sph::ParseOutcome::Help) {
    std::fputs(sph::benchUsage(PROGRAM_NAME).c_str(), stdout);
    return 0;
  }
  if (parsed.outcome == sph::ParseOutcome::Error) {
    std::fprintf(stderr, "%s: %s\n\n%s", PROGRAM_NAME, parsed.error.c_str(), sph::benchUsage(PROGRAM_NAME).c_str());
    return EXIT_BAD_USAGE;
  }
  const sph::BenchOptions& options = parsed.options;

  // Fail before a long run, not after it, when the dump has nowhere to go.
  std::string error;
  if (!options.dumpPath.empty() && !sph::checkFileCanBeWritten(options.dumpPath, error)) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM_NAME, error.c_str());
    return EXIT_DUMP_FAILED;
  }

  sph::FluidSystem* system = sph::createFluidSystem();
  sph::installFluidSystem(system);
  sph::resetFrameState();
  system->threadCount = options.threads;
  sph::seedBlock(options.layers);

  sph::ProgressLine progress;
  const Clock::time_point start = Clock::now();
  sph::startProgress(progress, isatty(STDERR_FILENO) == 1, stderr, start);
  for (int32_t frame = 0; frame < options.frames; ++frame) {
    // The key is down before the frame whose turn it drives, as when a user
    // holds it in the window.
    sph::arrowUp = frame < options.holdUpFrames ? 1 : 0;
    sph::simulateFrame();
    sph::updateProgress(progress, frame + 1, options.frames, Clock::now());
  }
  const Clock::time_point stop = Clock::now();
  sph::finishProgress(progress);

  int status = 0;
  if (!options.dumpPath.empty() &&
      !sph::writeFileAtomically(options.dumpPath, sph::formatStateCsv(*system), error)) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM_NAME, error.c_str());
    status = EXIT_DUMP_FAILED;
  }

  const double seconds = std::chrono::duration<double>(stop - start).count();
  const double framesPerSecond = seconds > 0.0 ? options.frames / seconds : 0.0;
  std::printf("frames: %d threads: %d particles: %d seconds: %.3f frames/s: %.2f\n", int(options.frames),
              int(options.threads), int(system->particleCount), seconds, framesPerSecond);

  sph::installFluidSystem(nullptr);
  sph::destroyFluidSystem(system);
  return status;
}
