// sph-record: the simulation exactly as the window and sph-bench run it
// (same seeding, same frames, same bits), kept as a film, as pictures, and
// as particle data for ParaView and other readers. It draws with no display, so it
// runs on build servers and in containers as well as on a desktop.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/frame.h"
#include "headless_run.h"
#include "progress_line.h"
#include "recording.h"
#include "stop_signals.h"

namespace {

int record(int argc, char** argv) {
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
  sph::addRateOption(app, "--fps", o.framesPerSecond, sph::MIN_FILM_RATE, sph::MAX_FILM_RATE,
                     "Frames per second of the film");
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

  sph::catchStopSignals();
  sph::FluidSystem* system = sph::startRun(options);
  sph::Recording recording;
  std::string error;
  bool ok = sph::startRecording(recording, o, error) && sph::recordFrame(recording, 0, error);

  sph::ProgressLine progress;
  const Clock::time_point start = Clock::now();
  sph::startProgress(progress, isatty(STDERR_FILENO) == 1, stderr, start);
  for (int32_t frame = 0; ok && sph::stopSignal == 0 && frame < options.frames; ++frame) {
    sph::holdArrows(options.holds, frame);
    sph::runFrame([&] {
      if ((frame + 1) % o.every == 0) ok = sph::recordFrame(recording, frame + 1, error);
    });
    sph::updateProgress(progress, frame + 1, options.frames, Clock::now());
  }
  ok = ok && sph::stopSignal == 0 && sph::finishRecording(recording, error);
  // Once the film is in place a signal no longer undoes it.
  const int stoppedBy = ok ? 0 : sph::stopSignal.load();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sph::finishProgress(progress);
  sph::abandonRecording(recording);

  if (stoppedBy) {
    std::fprintf(stderr, "sph-record: stopped after writing %d frames%s\n", int(recording.written),
                 o.video.empty() ? "" : "; the unfinished film was removed");
    sph::endBySignal(stoppedBy);
  }
  if (ok) sph::printSummary(options, seconds, " written: " + std::to_string(recording.written));
  else std::fprintf(stderr, "sph-record: %s\n", error.c_str());
  sph::finishRun(system);
  return ok ? 0 : sph::EXIT_RUN_FAILED;
}

}  // namespace

int main(int argc, char** argv) { return sph::runTool("sph-record", record, argc, argv); }
