// Trajectories pinned bit for bit for several thread counts and block sizes,
// with the Up key held for a while so that gravity turns. They guard every
// reworking of the solver's inner loops: the sums must come out identical.
#include <gtest/gtest.h>

#include "solver/state_csv.h"
#include "support/test_support.h"

namespace sph {
namespace {

TEST(Regression, PinnedTrajectories) {
  const auto runs = test::readDigests("regression_digests.txt");
  ASSERT_GE(runs.size(), 6u);
  for (const test::ReferenceDigest& run : runs) {
    SCOPED_TRACE(testing::Message() << run.frames << " frames, " << run.threads << " threads, Up held "
                                    << run.holdUp << ", block " << run.layers.x << "x" << run.layers.y << "x"
                                    << run.layers.z);
    test::SeededProgram program(run.threads, run.layers);
    test::runFrames(run.frames, run.holdUp);
    EXPECT_EQ(test::sha256Hex(formatStateCsv(program.system())), run.sha256);
  }
}

}  // namespace
}  // namespace sph
