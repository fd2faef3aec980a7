// Runs that start worker threads: the multi-thread reference trajectories,
// and a threaded run in the test process against the executable's. These
// also run under ThreadSanitizer, so they stay short.
#include <gtest/gtest.h>

#include "digest_cases.h"
#include "in_process_run.h"

namespace sph::runner_test {
namespace {

class RunnerThreadedDigest : public testing::TestWithParam<DigestLine> {};

TEST_P(RunnerThreadedDigest, DumpMatchesReference) { expectDumpMatchesDigest(GetParam()); }

INSTANTIATE_TEST_SUITE_P(MultiThread, RunnerThreadedDigest, testing::ValuesIn(multiThreadDigests()),
                         digestCaseName);

TEST(RunnerThreaded, DumpEqualsInProcessRunOnTwoThreads) {
  ScratchDir dir;
  const std::string dump = dir.file("state.csv");
  const ProgramResult result =
      runBench({"--frames", "3", "--threads", "2", "--hold-up", "3", "--dump", dump}, dir.path);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const InProcessRun reference = runInProcess(3, 2, 3);
  EXPECT_TRUE(readFile(dump) == reference.csv) << "the executable's dump differs from the in-process run";
}

TEST(RunnerThreaded, ThreadCountsBeyondTheParticleCountStillRun) {
  // More workers than particles: all but the last range are empty.
  ScratchDir dir;
  const std::string dump = dir.file("state.csv");
  const ProgramResult result =
      runBench({"--frames", "2", "--threads", "7", "--layers", "1,2,3", "--dump", dump}, dir.path);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const InProcessRun reference = runInProcess(2, 7, 0, BlockLayers{1, 2, 3});
  EXPECT_EQ(readFile(dump), reference.csv);
}

}  // namespace
}  // namespace sph::runner_test
