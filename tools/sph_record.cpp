// sph-record: the simulation exactly as the window and sph-bench run it
// (same seeding, same frames, same bits), kept as a film, as pictures, and
// as particle data for ParaView or Blender. It draws with no display, so it
// runs on build servers and in containers as well as on a desktop.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "headless_run.h"
#include "progress_line.h"
#include "recording.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

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
  app.add_option("--every", o.every, "Keep every Nth frame, and always frame 0")->type_name("N")
      ->check(CLI::Range(1, INT32_MAX).description(""))->capture_default_str();
  sph::addPathOption(app, "--video", o.video, "An H.264 MP4 film of the window's picture (needs ffmpeg)")
      ->type_name("FILE");
  app.add_option("--fps", o.framesPerSecond, "Frames per second of the film")->type_name("R")
      ->check(CLI::Range(0.001, 1000.0).description(""))->capture_default_str();
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

  // A write to an encoder that has ended must fail, not end the recorder.
  std::signal(SIGPIPE, SIG_IGN);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) std::signal(stop, [](int signal) { stopSignal = signal; });
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
  if (ok && !stopSignal) ok = sph::finishRecording(recording, error);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sph::finishProgress(progress);
  sph::abandonRecording(recording);

  if (stopSignal) {
    std::fprintf(stderr, "sph-record: stopped after writing %d frames%s\n", int(recording.written),
                 o.video.empty() ? "" : "; the unfinished film was removed");
    std::signal(stopSignal, SIG_DFL);
    std::raise(stopSignal);
  }
  if (ok) sph::printSummary(options, seconds, " written: " + std::to_string(recording.written));
  else std::fprintf(stderr, "sph-record: %s\n", error.c_str());
  sph::finishRun(system);
  return ok ? 0 : sph::EXIT_RUN_FAILED;
}
