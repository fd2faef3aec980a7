// The terminal progress line: when it shows, what it says, how it ends.
#include "progress_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace sph {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point at(Clock::time_point start, double seconds) {
  return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Everything written to a temporary stream, read back.
std::string contents(std::FILE* stream) {
  std::fflush(stream);
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text += char(c);
  return text;
}

TEST(ProgressLine, StaysQuietDuringTheFirstTwoSeconds) {
  EXPECT_FALSE(progressDue(0.0, false, 0.0));
  EXPECT_FALSE(progressDue(1.99, false, 0.0));
  EXPECT_TRUE(progressDue(2.0, false, 0.0));
}

TEST(ProgressLine, RefreshesAtMostFourTimesASecond) {
  EXPECT_FALSE(progressDue(2.1, true, 2.0));
  EXPECT_FALSE(progressDue(2.24, true, 2.0));
  EXPECT_TRUE(progressDue(2.25, true, 2.0));
}

TEST(ProgressLine, SaysFramesDoneAndRate) {
  EXPECT_EQ(formatProgress(150, 1000, 49.96), "frame 150/1000  50.0 frames/s");
}

TEST(ProgressLine, DrawsInPlaceAndWipesItselfAtTheEnd) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  const Clock::time_point start = Clock::now();
  ProgressLine line;
  startProgress(line, true, stream, start);
  updateProgress(line, 10, 100, at(start, 1.0));  // too early
  EXPECT_EQ(contents(stream), "");
  updateProgress(line, 100, 1000, at(start, 2.0));
  updateProgress(line, 101, 1000, at(start, 2.1));  // too soon after the last
  updateProgress(line, 200, 1000, at(start, 100.0));
  finishProgress(line);
  const std::string first = "frame 100/1000  50.0 frames/s";
  const std::string second = "frame 200/1000  2.0 frames/s";  // one character shorter: padded
  const std::string expected = "\r" + first + "\r" + second + " " + "\r" + std::string(first.size(), ' ') + "\r";
  EXPECT_EQ(contents(stream), expected);
  std::fclose(stream);
}

TEST(ProgressLine, WritesNothingWhenDisabled) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  const Clock::time_point start = Clock::now();
  ProgressLine line;
  startProgress(line, false, stream, start);
  updateProgress(line, 500, 1000, at(start, 10.0));
  finishProgress(line);
  EXPECT_EQ(contents(stream), "");
  std::fclose(stream);
}

TEST(ProgressLine, ShortRunEndsWithoutAnyOutput) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  const Clock::time_point start = Clock::now();
  ProgressLine line;
  startProgress(line, true, stream, start);
  updateProgress(line, 5, 5, at(start, 0.5));
  finishProgress(line);
  EXPECT_EQ(contents(stream), "");
  std::fclose(stream);
}

}  // namespace
}  // namespace sph
