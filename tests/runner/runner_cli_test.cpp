// sph-bench as a user meets it: help, refused input, exit statuses, the
// summary line and a dump that cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runner_support.h"

namespace sph::runner_test {
namespace {

using Arguments = std::vector<std::string>;

TEST(RunnerCli, HelpGoesToStdoutAndSucceeds) {
  ScratchDir dir;
  const ProgramResult result = runBench({"--help"}, dir.path);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out.rfind("Usage: sph-bench", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("--layers"), std::string::npos);
  EXPECT_EQ(result.err, "");
}

TEST(RunnerCli, PrintsOneSummaryLine) {
  ScratchDir dir;
  const ProgramResult result = runBench({"--frames", "2", "--layers", "2,3,4"}, dir.path);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  SummaryLine summary;
  ASSERT_TRUE(parseSummaryLine(result.out, summary)) << result.out;
  EXPECT_EQ(summary.frames, 2);
  EXPECT_EQ(summary.threads, 1);
  EXPECT_EQ(summary.particles, 24);
  EXPECT_GE(summary.seconds, 0.0);
  // Not a terminal: no progress line, nothing at all on stderr.
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(dir.entries().empty());
}

TEST(RunnerCli, SummaryParserIsStrict) {
  SummaryLine summary;
  EXPECT_TRUE(parseSummaryLine("frames: 2 threads: 1 particles: 24 seconds: 0.001 frames/s: 2000.00\n", summary));
  EXPECT_DOUBLE_EQ(summary.framesPerSecond, 2000.0);
  EXPECT_FALSE(parseSummaryLine("frames: 2 threads: 1 particles: 24 seconds: 0.001 frames/s: 2000.00", summary));
  EXPECT_FALSE(parseSummaryLine("frames: 2 threads: 1 particles: 24 seconds: 0.1 frames/s: 2000.00\n", summary));
  EXPECT_FALSE(parseSummaryLine("frames: 2 threads: 1 particles: 24 seconds: 0.001 frames/s: 2e3\n", summary));
  EXPECT_FALSE(parseSummaryLine("frames: 2  threads: 1 particles: 24 seconds: 0.001 frames/s: 2000.00\n", summary));
  EXPECT_FALSE(parseSummaryLine("frames: 2 threads: 1 particles: 24 seconds: 0.001 frames/s: 2000.00 x\n", summary));
}

TEST(RunnerCli, RunsTheProgramsBlockByDefault) {
  ScratchDir dir;
  const ProgramResult result = runBench({"--frames", "0", "--threads", "3"}, dir.path);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  SummaryLine summary;
  ASSERT_TRUE(parseSummaryLine(result.out, summary)) << result.out;
  EXPECT_EQ(summary.frames, 0);
  EXPECT_EQ(summary.threads, 3);
  EXPECT_EQ(summary.particles, 16000);
}

struct BadInput {
  Arguments arguments;
  std::string message;
};

TEST(RunnerCli, RefusesBadInputWithStatusTwoAndRunsNothing) {
  const std::vector<BadInput> cases = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--frames"}, "--frames needs a value"},
      {{"--frames", "12x"}, "'12x' is not a whole number"},
      {{"--frames", "-1"}, "-1 is out of range"},
      {{"--frames", "4294967296"}, "out of range"},
      {{"--threads", "0"}, "out of range"},
      {{"--threads", "5000"}, "out of range"},
      {{"--hold-up", "1.5"}, "not a whole number"},
      {{"--layers", "1,2"}, "three whole numbers"},
      {{"--layers", "200,20,40"}, "outside the box"},
      {{"--frames", "1", "--frames", "1"}, "more than once"},
      {{"extra"}, "unknown option 'extra'"},
  };
  for (const BadInput& bad : cases) {
    ScratchDir dir;
    // The dump comes first, so it was accepted before the error was found.
    Arguments arguments = {"--dump", dir.file("never.csv")};
    arguments.insert(arguments.end(), bad.arguments.begin(), bad.arguments.end());
    const ProgramResult result = runBench(arguments, dir.path);
    SCOPED_TRACE(bad.message);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("sph-bench: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(bad.message), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Usage: sph-bench"), std::string::npos) << result.err;
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(RunnerCli, DumpIntoAMissingDirectoryFailsWithStatusOne) {
  ScratchDir dir;
  const std::string target = dir.file("missing/out.csv");
  const ProgramResult result = runBench({"--frames", "1", "--dump", target}, dir.path);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find(target), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("Usage"), std::string::npos) << result.err;
  EXPECT_TRUE(dir.entries().empty());
}

TEST(RunnerCli, DumpOntoADirectoryFailsWithStatusOne) {
  ScratchDir dir;
  const ProgramResult result = runBench({"--frames", "0", "--dump", dir.path}, dir.path);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("Is a directory"), std::string::npos) << result.err;
  EXPECT_TRUE(dir.entries().empty());
}

TEST(RunnerCli, DumpWriteErrorIsReported) {
  ScratchDir dir;
  const ProgramResult result = runBench({"--frames", "0", "--layers", "2,2,2", "--dump", "/dev/full"}, dir.path);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
}

TEST(RunnerCli, DumpCutShortLeavesNoPartialFileAndKeepsTheOldOne) {
  // The file-size limit makes the dump fail halfway through, as a full
  // disk would: the old file must survive untouched and no temporary remain.
  ScratchDir dir;
  const std::string target = dir.file("out.csv");
  writeFile(target, "old contents\n");
  RunLimits limits;
  limits.maxFileBytes = 64 * 1024;  // the 16000-row dump is about 1.3 MB
  const ProgramResult result = runBench({"--frames", "0", "--dump", target}, dir.path, limits);
  EXPECT_EQ(result.exitStatus, 1) << "signal " << result.signal;
  EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
  EXPECT_EQ(readFile(target), "old contents\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.csv"});
}

TEST(RunnerCli, DumpReplacesAnExistingFile) {
  ScratchDir dir;
  const std::string target = dir.file("out.csv");
  writeFile(target, std::string(100000, 'x'));
  const ProgramResult result = runBench({"--frames", "0", "--layers", "1,1,2", "--dump", target}, dir.path);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(readFile(target),
            "id,x,y,z,vx,vy,vz,density,pressure\n"
            "0,1.05000007,0,1.05000007,0,0,0,0.349999994,0\n"
            "1,1.05000007,0,3.14999986,0,0,0,0.349999994,0\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.csv"});
}

}  // namespace
}  // namespace sph::runner_test
