#include "recording.h"

#include <GL/gl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "app/frame.h"
#include "app/scene.h"
#include "atomic_file.h"
#include "png_image.h"
#include "point_files.h"
#include "stop_signals.h"

namespace sph {

namespace {

constexpr int WIDTH = 800, HEIGHT = 600;  // the window's size
// How often the main thread's waits look at the stop flag.
constexpr std::chrono::milliseconds STOP_POLL{50};

bool picture(const RecordOutputs& o) { return !o.video.empty() || !o.pngFolder.empty(); }

// Checks, creating nothing, that `folder` is there or can be made: the
// nearest folder above it that is there must take new entries.
bool checkFolderCanBeMade(const std::string& folder, std::string& error) {
  std::error_code failure;
  const std::filesystem::path wanted = std::filesystem::absolute(folder, failure);
  std::filesystem::path nearest = wanted;
  while (!std::filesystem::exists(nearest, failure) && nearest.has_relative_path()) nearest = nearest.parent_path();
  const int refusal = !std::filesystem::is_directory(nearest, failure) ? ENOTDIR
                    : nearest != wanted && access(nearest.c_str(), W_OK | X_OK) != 0 ? errno : 0;
  if (refusal != 0) error = "cannot create the folder '" + folder + "': " + std::strerror(refusal);
  return refusal == 0;
}

// Creates `folder` if need be and checks that files can be made in it.
bool prepareFolder(const std::string& folder, std::string& error) {
  std::error_code failure;
  std::filesystem::create_directories(folder, failure);
  if (failure) {
    error = "cannot create the folder '" + folder + "': " + failure.message();
    return false;
  }
  return checkFileCanBeWritten(folder + "/" + frameName(0), error);
}

// run.pvd, listing the frames whose .vtu files are complete.
bool writeCollection(Recording& r, std::string& error) {
  if (r.outputs.vtkFolder.empty() || r.collectionFrames == r.vtkFrames.size()) return true;
  if (!writeFileAtomically(r.outputs.vtkFolder + "/run.pvd", formatPvd(r.vtkFrames), error)) return false;
  r.collectionFrames = r.vtkFrames.size();
  return true;
}

bool writeFile(const std::string& folder, int32_t frame, const char* extension, const std::string& bytes,
               std::string& error) {
  return writeFileAtomically(folder + "/" + frameName(frame) + extension, bytes, error);
}

// On the writer thread: every output of one kept frame.
bool writeFrame(Recording& r, const FrameCopy& copy, std::string& error) {
  const RecordOutputs& o = r.outputs;
  const Particle* particles = copy.particles.data();
  const int32_t count = int32_t(copy.particles.size());
  if (picture(o)) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    drawScene({particles, count, copy.angleX, copy.angleY}, drawBoxEdges);
    readPicture(r.gl, r.rgb);
    if (!o.video.empty() && !writeVideoFrame(r.video, r.rgb, error)) return false;
    std::string png;
    if (!o.pngFolder.empty() && !encodePng(r.rgb, WIDTH, HEIGHT, png)) {
      error = "out of memory while encoding a picture";
      return false;
    }
    if (!o.pngFolder.empty() && !writeFile(o.pngFolder, copy.frame, ".png", png, error)) return false;
  }
  if (!o.vtkFolder.empty()) {
    if (!writeFile(o.vtkFolder, copy.frame, ".vtu", formatVtu(particles, count), error)) return false;
    r.vtkFrames.push_back(copy.frame);
    // Once a second at most, since it grows with the run; and at the end.
    const auto now = std::chrono::steady_clock::now();
    if (now - r.collectionWrittenAt >= std::chrono::seconds(1)) {
      if (!writeCollection(r, error)) return false;
      r.collectionWrittenAt = now;
    }
  }
  return o.plyFolder.empty() || writeFile(o.plyFolder, copy.frame, ".ply", formatPly(particles, count), error);
}

// Out of memory while formatting a frame fails the recording, like a full
// disk, instead of ending the process from this thread.
bool writeFrameOrFail(Recording& r, const FrameCopy& copy, std::string& error) {
  try {
    return writeFrame(r, copy, error);
  } catch (const std::bad_alloc&) {
    error = "out of memory while writing frame " + std::to_string(copy.frame);
    return false;
  }
}

void writeFrames(Recording& r) {
  std::string error;
  bool ok = !picture(r.outputs) || useOffscreenContext(r.gl, error);
  while (ok) {
    int slot;
    {
      std::unique_lock<std::mutex> lock(r.mutex);
      r.changed.wait(lock, [&] { return !r.ready.empty() || r.closing || r.stopping; });
      if (r.stopping || r.ready.empty()) break;
      slot = r.ready.front();
      r.ready.pop_front();
    }
    ok = writeFrameOrFail(r, r.copies[slot], error);
    std::lock_guard<std::mutex> lock(r.mutex);
    r.free.push_back(slot);
    r.written += ok;
    r.changed.notify_all();
  }
  if (picture(r.outputs)) releaseOffscreenContext();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!ok) {
    r.failed = true;
    r.failure = error;
  }
  r.writerDone = true;
  r.changed.notify_all();
}

// Waits on the main thread until `done` holds or a stop signal comes; false
// on the signal.
template <class Done>
bool waitUnlessStopped(Recording& r, std::unique_lock<std::mutex>& lock, Done done) {
  while (!done() && stopSignal == 0) r.changed.wait_for(lock, STOP_POLL);
  return done() || stopSignal == 0;
}

}  // namespace

bool startRecording(Recording& r, const RecordOutputs& outputs, std::string& error) {
  const RecordOutputs& o = r.outputs = outputs;
  // Every folder checked first and made last, so that a refusal leaves
  // nothing behind.
  for (const std::string* folder : {&o.pngFolder, &o.vtkFolder, &o.plyFolder})
    if (!folder->empty() && !checkFolderCanBeMade(*folder, error)) return false;
  if (picture(o)) {
    if (!createOffscreenContext(r.gl, WIDTH, HEIGHT, error)) return false;
    setupView();
    releaseOffscreenContext();  // the writer's from now on
  }
  if (!o.video.empty() && !startVideo(r.video, o.video, WIDTH, HEIGHT, o.framesPerSecond, error)) return false;
  for (const std::string* folder : {&o.pngFolder, &o.vtkFolder, &o.plyFolder})
    if (!folder->empty() && !prepareFolder(*folder, error)) return false;
  r.free = {0, 1};
  r.writer = std::thread(writeFrames, std::ref(r));
  return true;
}

bool recordFrame(Recording& r, int32_t frame, std::string& error) {
  int slot;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    if (!waitUnlessStopped(r, lock, [&] { return !r.free.empty() || r.failed; })) {
      error = "stopped";
      return false;
    }
    if (r.failed) {
      error = r.failure;
      return false;
    }
    slot = r.free.front();
    r.free.pop_front();
  }
  FrameCopy& copy = r.copies[slot];
  copy.frame = frame;
  copy.angleX = angleX;
  copy.angleY = angleY;
  copy.particles.assign(fluidSystem->particles, fluidSystem->particles + fluidSystem->particleCount);
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ready.push_back(slot);
  }
  r.changed.notify_all();
  return true;
}

bool finishRecording(Recording& r, std::string& error) {
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    r.closing = true;
    r.changed.notify_all();
    if (!waitUnlessStopped(r, lock, [&] { return r.writerDone; })) {
      error = "stopped";
      return false;
    }
  }
  r.writer.join();
  if (r.failed) {
    error = r.failure;
    return false;
  }
  return writeCollection(r, error) && (r.outputs.video.empty() || finishVideo(r.video, error));
}

void abandonRecording(Recording& r) {
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.stopping = true;
  }
  r.changed.notify_all();
  stopEncoder(r.video);  // a write blocked on a stalled encoder returns
  if (r.writer.joinable()) r.writer.join();
  abandonVideo(r.video);
  destroyOffscreenContext(r.gl);
  std::string ignored;  // what cannot be written now stays as it was: complete
  writeCollection(r, ignored);
}

Recording::~Recording() { abandonRecording(*this); }

}  // namespace sph
