// The terminal progress line: silent for two seconds, then rewritten in
// place at most four times a second, padded over a longer text, wiped at the
// end; nothing at all when disabled.
#include "progress_line.h"

#include <gtest/gtest.h>

namespace sph {
namespace {

std::string shown(bool enabled, const std::vector<std::pair<double, int32_t>>& updates) {
  std::FILE* stream = std::tmpfile();
  const auto start = std::chrono::steady_clock::now();
  ProgressLine line;
  startProgress(line, enabled, stream, start);
  for (auto [seconds, done] : updates)
    updateProgress(line, done, 1000, start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(seconds)));
  finishProgress(line);
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text += char(c);
  std::fclose(stream);
  return text;
}

TEST(ProgressLine, Shows) {
  const std::string first = "frame 100/1000  50.0 frames/s", second = "frame 200/1000  2.0 frames/s";
  EXPECT_EQ(shown(true, {{1.99, 10}, {2.0, 100}, {2.24, 101}, {100.0, 200}}),
            "\r" + first + "\r" + second + " \r" + std::string(first.size(), ' ') + "\r");
  EXPECT_EQ(shown(true, {{1.5, 5}}), "");
  EXPECT_EQ(shown(false, {{10.0, 500}}), "");
  EXPECT_EQ(shown(true, {{2.0, 100}, {2.25, 101}}).find("frame 101/1000"), 31u);
}

}  // namespace
}  // namespace sph
