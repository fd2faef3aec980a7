// A progress line on a terminal: "frames done/total, frames/s", rewritten in
// place with '\r'. Short runs stay silent (it appears only after a delay),
// refreshes are rate-limited so printing never shows up in the timing, and
// the line is wiped at the end so the summary starts on a clean line.
// Callers enable it only when the stream is a terminal: in a log file or a
// pipe the '\r' rewrites would only be noise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sph {

inline constexpr double PROGRESS_DELAY_SECONDS = 2.0;
inline constexpr double PROGRESS_INTERVAL_SECONDS = 0.25;

struct ProgressLine {
  bool enabled = false;
  std::FILE* stream = nullptr;
  std::chrono::steady_clock::time_point start;
  double lastShownAt = 0.0;  // seconds since start
  bool shown = false;
  std::size_t width = 0;  // longest text written, to blank it out
};

// Whether a refresh is due `elapsed` seconds into the run.
bool progressDue(double elapsed, bool shownBefore, double lastShownAt);
// The text of the line, without '\r'.
std::string formatProgress(int32_t done, int32_t total, double framesPerSecond);

void startProgress(ProgressLine& line, bool enabled, std::FILE* stream, std::chrono::steady_clock::time_point now);
// Call after each frame; cheap when nothing is due.
void updateProgress(ProgressLine& line, int32_t done, int32_t total, std::chrono::steady_clock::time_point now);
// Blanks the line if it was ever shown.
void finishProgress(ProgressLine& line);

}  // namespace sph
