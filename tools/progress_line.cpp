#include "progress_line.h"

namespace sph {

bool progressDue(double elapsed, bool shownBefore, double lastShownAt) {
  if (elapsed < PROGRESS_DELAY_SECONDS) return false;
  return !shownBefore || elapsed - lastShownAt >= PROGRESS_INTERVAL_SECONDS;
}

std::string formatProgress(int32_t done, int32_t total, double framesPerSecond) {
  char text[128];
  std::snprintf(text, sizeof text, "frame %d/%d  %.1f frames/s", int(done), int(total), framesPerSecond);
  return text;
}

void startProgress(ProgressLine& line, bool enabled, std::FILE* stream, std::chrono::steady_clock::time_point now) {
  line = ProgressLine();
  line.enabled = enabled && stream != nullptr;
  line.stream = stream;
  line.start = now;
}

void updateProgress(ProgressLine& line, int32_t done, int32_t total, std::chrono::steady_clock::time_point now) {
  if (!line.enabled) return;
  const double elapsed = std::chrono::duration<double>(now - line.start).count();
  if (!progressDue(elapsed, line.shown, line.lastShownAt)) return;
  std::string text = formatProgress(done, total, elapsed > 0.0 ? done / elapsed : 0.0);
  // Pad over a longer previous text (the rate can lose a digit).
  const std::size_t length = text.size();
  if (length < line.width) text.append(line.width - length, ' ');
  if (length > line.width) line.width = length;
  std::fputc('\r', line.stream);
  std::fputs(text.c_str(), line.stream);
  std::fflush(line.stream);
  line.shown = true;
  line.lastShownAt = elapsed;
}

void finishProgress(ProgressLine& line) {
  if (!line.enabled || !line.shown) return;
  std::fputc('\r', line.stream);
  std::fputs(std::string(line.width, ' ').c_str(), line.stream);
  std::fputc('\r', line.stream);
  std::fflush(line.stream);
  line.shown = false;
}

}  // namespace sph
