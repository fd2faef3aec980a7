// sph-record: the simulation exactly as the window and sph-bench run it
// (same seeding, same frames, same bits), kept as a film, as pictures, and
// as particle data for ParaView or Blender. It draws with no display, so it
// runs on build servers and in containers as well as on a desktop.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "headless_run.h"
#include "progress_line.h"
#include "recording.h"

namespace {

// Set by the handler, which may run on any of the process's threads.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

// Ctrl-C, a hang-up or a termination ends the run between frames, so the
// unfinished film can be removed. A signal the caller chose to ignore (nohup,
// a background job) stays ignored.
void catchStopSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler == SIG_IGN) continue;
    action.sa_handler = [](int caught) { stopSignal = caught; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
  }
  // A write to an encoder that has ended must fail, not end the recorder; and
  // the encoder must be waited for, whatever the caller did with SIGCHLD.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  sph::RunOptions options;
  sph::RecordOutputs o;
  CLI::App app("Runs the liquid simulation as the window does and keeps it: a film, pictures, particle data.",
               "sph-record");
  app.footer(
      "Frame 0 is the seeded block before any step, frame k the state after k frames,\n"
      "drawn as the window draws it. Files are named by frame: frame_000042.png,\n"
      "frame_000042.vtu (with run.pvd, the whole run for ParaView), frame_000042.ply.\n"
      "Every file is written whole or not at all; a film cut short is removed.\n"
      "At the end one line is printed, as by sph-bench, with the frames written:\n"
      "  frames: N threads: T particles: P seconds: S frames/s: F written: W\n"
      "Exit status: 0 success, 1 an output could not be written, 2 a bad command line.");
  sph::addRunOptions(app, options);
  sph::addCountOption(app, "--every", o.every, "Keep every Nth frame, and always frame 0");
  sph::addPathOption(app, "--video", o.video, "An H.264 MP4 film of the window's picture (needs ffmpeg)")
      ->type_name("FILE");
  sph::addRateOption(app, "--fps", o.framesPerSecond, "Frames per second of the film");
  sph::addPathOption(app, "--png", o.pngFolder, "The window's picture, a PNG a frame, into DIR")->type_name("DIR");
  sph::addPathOption(app, "--vtk", o.vtkFolder, "The particles as VTK XML (.vtu) a frame, and run.pvd, into DIR")
      ->type_name("DIR");
  sph::addPathOption(app, "--ply", o.plyFolder, "The particles as binary PLY a frame, into DIR")->type_name("DIR");
  if (const int status = sph::parseCommandLine(app, argc, argv); status >= 0) return status;
  if (o.video.empty() && o.pngFolder.empty() && o.vtkFolder.empty() && o.plyFolder.empty()) {
    std::fprintf(stderr, "sph-record: nothing to record: give --video, --png, --vtk or --ply\n\n%s",
                 app.help().c_str());
    return sph::EXIT_BAD_USAGE;
  }

  catchStopSignals();
  sph::FluidSystem* system = sph::startRun(options);
  sph::Recording recording;
  std::string error;
  bool ok = sph::startRecording(recording, o, error) && sph::recordFrame(recording, 0, error);

  sph::ProgressLine progress;
  const Clock::time_point start = Clock::now();
  sph::startProgress(progress, isatty(STDERR_FILENO) == 1, stderr, start);
  for (int32_t frame = 0; ok && !stopSignal && frame < options.frames; ++frame) {
    // As in the window's idle callback: a frame's picture is drawn after its
    // step and gravity update, before its camera turn.
    sph::holdArrows(options.holds, frame);
    sph::stepSimulation();
    sph::updateGravity();
    if ((frame + 1) % o.every == 0) ok = sph::recordFrame(recording, frame + 1, error);
    sph::turnCamera();
    sph::updateProgress(progress, frame + 1, options.frames, Clock::now());
  }
  // A signal from now on no longer stops anything: the film is finished.
  const int stoppedBy = stopSignal;
  if (ok && !stoppedBy) ok = sph::finishRecording(recording, error);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sph::finishProgress(progress);
  sph::abandonRecording(recording);

  if (stoppedBy) {
    std::fprintf(stderr, "sph-record: stopped after writing %d frames%s\n", int(recording.written),
                 o.video.empty() ? "" : "; the unfinished film was removed");
    std::signal(stoppedBy, SIG_DFL);
    std::raise(stoppedBy);
  }
  if (ok) sph::printSummary(options, seconds, " written: " + std::to_string(recording.written));
  else std::fprintf(stderr, "sph-record: %s\n", error.c_str());
  sph::finishRun(system);
  return ok ? 0 : sph::EXIT_RUN_FAILED;
}
