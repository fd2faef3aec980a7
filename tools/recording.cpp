#include "recording.h"

#include <GL/gl.h>

#include <chrono>
#include <filesystem>

#include "app/frame.h"
#include "app/scene.h"
#include "atomic_file.h"
#include "png_image.h"
#include "point_files.h"

namespace sph {

namespace {

constexpr int WIDTH = 800, HEIGHT = 600;  // the window's size

bool picture(const RecordOutputs& o) { return !o.video.empty() || !o.pngFolder.empty(); }

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

void fail(Recording& r, const std::string& error) {
  std::lock_guard<std::mutex> lock(r.mutex);
  r.failed = true;
  r.failure = error;
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

void writeFrames(Recording& r) {
  std::string error;
  if (picture(r.outputs) && !useOffscreenContext(r.gl, error)) {
    fail(r, error);
    r.changed.notify_all();
    return;
  }
  for (;;) {
    int slot;
    {
      std::unique_lock<std::mutex> lock(r.mutex);
      r.changed.wait(lock, [&] { return !r.ready.empty() || r.closing || r.stopping; });
      if (r.stopping || r.ready.empty()) break;
      slot = r.ready.front();
      r.ready.pop_front();
    }
    const bool ok = writeFrame(r, r.copies[slot], error);
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.free.push_back(slot);
      r.written += ok;
    }
    if (!ok) fail(r, error);
    r.changed.notify_all();
    if (!ok) break;
  }
  if (picture(r.outputs)) releaseOffscreenContext();
}

}  // namespace

bool startRecording(Recording& r, const RecordOutputs& outputs, std::string& error) {
  const RecordOutputs& o = r.outputs = outputs;
  // Folders last, so that a refusal leaves nothing behind.
  if (!o.video.empty() && !checkFileCanBeWritten(o.video, error)) return false;
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
    r.changed.wait(lock, [&] { return !r.free.empty() || r.failed; });
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
    std::lock_guard<std::mutex> lock(r.mutex);
    r.closing = true;
  }
  r.changed.notify_all();
  if (r.writer.joinable()) r.writer.join();
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

}  // namespace sph
