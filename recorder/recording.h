// The outputs of sph-record and the thread that writes them. The frame loop
// hands over a copy of each frame to keep (the particles and the camera
// angles) and goes on computing while this thread draws the picture, feeds
// the film encoder (the ffmpeg program, in its own process) and writes the
// files: simulation, drawing and encoding overlap. Two copies circulate, so
// the simulation runs at most two kept frames ahead of the writing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "offscreen_gl.h"
#include "solver/fluid_system.h"
#include "video_encoder.h"

namespace sph {

struct RecordOutputs {
  int32_t every = 1;  // keep frames 0, every, 2 * every, ...
  double framesPerSecond = 60.0;
  std::string video, pngFolder, vtkFolder, plyFolder;  // empty: not wanted
};

struct FrameCopy {
  int32_t frame;
  float angleX, angleY;
  std::vector<Particle> particles;
};

struct Recording {
  RecordOutputs outputs;
  OffscreenContext gl;
  VideoEncoder video;
  std::thread writer;
  std::mutex mutex;  // guards what follows, down to `failure`
  std::condition_variable changed;
  FrameCopy copies[2];
  std::deque<int> ready, free;  // indices into copies
  bool closing = false, stopping = false, failed = false, writerDone = false;
  std::string failure;
  int32_t written = 0;
  // The writer's own, and after it has ended the caller's.
  std::vector<uint8_t> rgb;
  std::vector<int32_t> vtkFrames;  // the frames whose .vtu files are complete
  std::size_t collectionFrames = 0;  // how many of them run.pvd lists
  std::chrono::steady_clock::time_point collectionWrittenAt;
  ~Recording();  // abandonRecording: every path out stops the writer and the encoder
};

// Checks and opens every output (folders, encoder, drawing context) before
// the run and starts the writer; on failure returns false with the reason.
bool startRecording(Recording& r, const RecordOutputs& outputs, std::string& error);
// Hands over the running program's state after `frame` frames, waiting
// while both copies are in use. False, with the reason, once writing failed
// or a stop signal came (stop_signals.h).
bool recordFrame(Recording& r, int32_t frame, std::string& error);
// Writes what was handed over and completes the film; false, with the
// reason, on a failure or a stop signal before the film is in place.
bool finishRecording(Recording& r, std::string& error);
// Stops at once and removes an unfinished film; what is complete stays.
void abandonRecording(Recording& r);

}  // namespace sph
