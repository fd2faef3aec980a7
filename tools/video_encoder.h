// A film encoded by FFmpeg: the ffmpeg program runs in its own process
// (encoding beside the simulation), reads raw RGB frames from a pipe and
// writes an H.264 MP4 in yuv420p, which plays in any browser and player. It
// writes into a temporary file beside the target, which becomes the target
// only when the film is complete; a film cut short is removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sph {

struct VideoEncoder {
  // The encoder's process until it is reaped. Guarded by `reaping`, so that
  // stopEncoder, from another thread, never signals a reaped (and perhaps
  // reused) process id.
  std::mutex reaping;
  pid_t child = -1;
  int pipe = -1;  // the ffmpeg program's standard input
  std::FILE* messages = nullptr;  // its standard error: an unnamed temporary file
  std::string path, temporaryPath;
  std::size_t frameBytes = 0;
};

bool startVideo(VideoEncoder& video, const std::string& path, int width, int height, double framesPerSecond,
                std::string& error);
// `rgb`: rows from the top, 3 bytes a pixel.
bool writeVideoFrame(VideoEncoder& video, const std::vector<uint8_t>& rgb, std::string& error);
// Ends the film and puts it in place.
bool finishVideo(VideoEncoder& video, std::string& error);
// Ends the encoder at once, so a write blocked on it returns; from any thread.
void stopEncoder(VideoEncoder& video);
// Stops the encoder and removes what it wrote; nothing if none runs.
void abandonVideo(VideoEncoder& video);

}  // namespace sph
