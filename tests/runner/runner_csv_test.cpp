// The dump against a run inside the test process: the same text byte for
// byte, and a CSV whose every number reads back to the exact float.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "in_process_run.h"
#include "runner_support.h"
#include "solver/state_csv.h"

namespace sph::runner_test {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Runs the executable and returns its dump (empty on failure, with the
// failure recorded).
std::string dumpOf(const std::vector<std::string>& arguments) {
  ScratchDir dir;
  std::vector<std::string> withDump = arguments;
  withDump.push_back("--dump");
  withDump.push_back(dir.file("state.csv"));
  const ProgramResult result = runBench(withDump, dir.path);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  return readFile(dir.file("state.csv"));
}

TEST(RunnerCsv, DumpEqualsInProcessRunBitForBit) {
  // Five frames with Up held for two: a turn made at the end of frame k
  // reaches gravity in frame k + 1 and the particles in frame k + 2, so the
  // key is seen, and so is holding it one frame too long or too short.
  const std::string dump = dumpOf({"--frames", "5", "--hold-up", "2"});
  const InProcessRun reference = runInProcess(5, 1, 2);
  EXPECT_TRUE(dump == reference.csv) << "the executable's dump differs from the in-process run";
}

TEST(RunnerCsv, HoldingUpOneFrameMoreOrLessChangesTheState) {
  // Guards the test above: it can only catch a miscounted hold if these
  // states differ.
  const std::string heldTwo = runInProcess(5, 1, 2).csv;
  EXPECT_NE(heldTwo, runInProcess(5, 1, 1).csv);
  EXPECT_NE(heldTwo, runInProcess(5, 1, 3).csv);
}

TEST(RunnerCsv, EveryValueRoundTripsToTheExactFloat) {
  const std::string dump = dumpOf({"--frames", "5", "--hold-up", "5"});
  const InProcessRun reference = runInProcess(5, 1, 5);
  ASSERT_FALSE(dump.empty());
  ASSERT_EQ(dump.back(), '\n');
  EXPECT_EQ(dump.find('\r'), std::string::npos);

  std::vector<std::string> lines = split(dump.substr(0, dump.size() - 1), '\n');
  ASSERT_EQ(lines.front(), "id,x,y,z,vx,vy,vz,density,pressure");
  ASSERT_EQ(lines.front(), STATE_CSV_HEADER);
  ASSERT_EQ(lines.size() - 1, reference.particles.size());
  ASSERT_EQ(reference.particles.size(), 16000u);

  int mismatches = 0;
  for (std::size_t row = 1; row < lines.size() && mismatches < 10; ++row) {
    const std::vector<std::string> fields = split(lines[row], ',');
    ASSERT_EQ(fields.size(), 9u) << "row " << row << ": " << lines[row];
    const Particle& p = reference.particles[row - 1];
    EXPECT_EQ(fields[0], std::to_string(row - 1));
    const float expected[8] = {p.position[0], p.position[1], p.position[2], p.velocity[0],
                               p.velocity[1], p.velocity[2], p.density,     p.pressure};
    for (int k = 0; k < 8; ++k) {
      const std::string& text = fields[std::size_t(k) + 1];
      char* end = nullptr;
      const float value = std::strtof(text.c_str(), &end);
      char reprinted[64];
      std::snprintf(reprinted, sizeof reprinted, "%.9g", double(value));
      const bool ok = end == text.c_str() + text.size() && text == reprinted && bitsOf(value) == bitsOf(expected[k]);
      if (!ok) {
        ++mismatches;
        ADD_FAILURE() << "row " << row << " field " << k + 1 << ": '" << text << "' reprinted '" << reprinted
                      << "', expected bits of " << expected[k];
      }
    }
  }
}

}  // namespace
}  // namespace sph::runner_test
