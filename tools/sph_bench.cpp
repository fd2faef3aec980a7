// sph-bench: the simulation without a window. Seeds the same block as the
// window program, runs frames exactly as its idle callback does minus the
// drawing, and reports how fast the frame loop ran. With --dump it writes
// the final state, which is how reference trajectories are compared.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "atomic_file.h"
#include "headless_run.h"
#include "progress_line.h"
#include "solver/state_csv.h"

namespace {

int bench(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  sph::RunOptions options;
  std::string dumpPath;
  CLI::App app("Runs the liquid simulation without a window and reports its speed.", "sph-bench");
  app.footer(
      "Each frame is one solver step, the gravity update and the camera turn, as in\n"
      "the window program. At the end one line is printed:\n"
      "  frames: N threads: T particles: P seconds: S frames/s: F\n"
      "where S is the time of the frame loop alone.\n"
      "Exit status: 0 success, 1 the dump could not be written, 2 a bad command line.");
  sph::addRunOptions(app, options);
  sph::addPathOption(app, "--dump", dumpPath, "After the run, write the state as CSV to PATH");
  if (const int status = sph::parseCommandLine(app, argc, argv); status >= 0) return status;

  // Fail before a long run, not after it, when the dump has nowhere to go.
  std::string error;
  if (!dumpPath.empty() && !sph::checkFileCanBeWritten(dumpPath, error)) {
    std::fprintf(stderr, "sph-bench: %s\n", error.c_str());
    return sph::EXIT_RUN_FAILED;
  }

  sph::FluidSystem* system = sph::startRun(options);
  sph::ProgressLine progress;
  const Clock::time_point start = Clock::now();
  sph::startProgress(progress, isatty(STDERR_FILENO) == 1, stderr, start);
  for (int32_t frame = 0; frame < options.frames; ++frame) {
    sph::holdArrows(options.holds, frame);
    sph::simulateFrame();
    sph::updateProgress(progress, frame + 1, options.frames, Clock::now());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sph::finishProgress(progress);

  int status = 0;
  if (!dumpPath.empty() && !sph::writeFileAtomically(dumpPath, sph::formatStateCsv(*system), error)) {
    std::fprintf(stderr, "sph-bench: %s\n", error.c_str());
    status = sph::EXIT_RUN_FAILED;
  }
  sph::printSummary(options, seconds, "");
  sph::finishRun(system);
  return status;
}

}  // namespace

int main(int argc, char** argv) { return sph::runTool("sph-bench", bench, argc, argv); }
