// A film encoded by FFmpeg: the ffmpeg program runs in its own process
// (encoding beside the simulation), reads raw RGB frames from a pipe and
// writes an H.264 MP4 in yuv420p, which plays in any browser and player. It
// writes into a pending file (atomic_file.h), unnamed where the file system
// allows: the encoder inherits its descriptor and opens it through /proc.
// The film gets its name only when complete; a film cut short is removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "atomic_file.h"

namespace sph {

// Frames per second the encoder takes for a film of any length.
inline constexpr double MIN_FILM_RATE = 0.01, MAX_FILM_RATE = 1000;

struct VideoEncoder {
  // The encoder's process until it is reaped. Guarded by `reaping`, so that
  // stopEncoder, from another thread, never signals a reaped (and perhaps
  // reused) process id.
  std::mutex reaping;
  pid_t child = -1;
  int pipe = -1;  // the ffmpeg program's standard input
  std::FILE* messages = nullptr;  // its standard error: an unnamed temporary file
  PendingFile film;
  std::size_t frameBytes = 0;
  ~VideoEncoder();  // abandonVideo: no encoder or unfinished film outlives it
};

bool startVideo(VideoEncoder& video, const std::string& path, int width, int height, double framesPerSecond,
                std::string& error);
// `rgb`: rows from the top, 3 bytes a pixel.
bool writeVideoFrame(VideoEncoder& video, const std::vector<uint8_t>& rgb, std::string& error);
// Ends the film and puts it in place. While it waits for the encoder, a stop
// signal (stop_signals.h) ends the encoder and the wait.
bool finishVideo(VideoEncoder& video, std::string& error);
// Ends the encoder at once, so a write blocked on it returns; from any thread.
void stopEncoder(VideoEncoder& video);
// Stops the encoder and removes what it wrote; nothing if none runs.
void abandonVideo(VideoEncoder& video);

}  // namespace sph
