// The end-to-end check of the solver: the state after 0 to 100 frames on one
// thread, digested as CSV and compared with reference digests computed by an
// independent program. The first mismatching frame count locates a fault.
#include <gtest/gtest.h>

#include "solver/state_csv.h"
#include "support/test_support.h"

namespace sph {
namespace {

// With each build of the SIMD loops the CPU can run.
TEST(Golden, OneThreadFrameByFrame) {
  std::vector<test::ReferenceDigest> digests;
  for (const auto& d : test::referenceDigests())
    if (d.threads == 1 && d.holdUp == 0) digests.push_back(d);
  ASSERT_GE(digests.size(), 9u);
  test::forEachSimdBuild([&] {
    test::SeededProgram program(1);
    int done = 0;
    for (const auto& d : digests) {
      ASSERT_GE(d.frames, done);
      test::runFrames(d.frames - done);
      done = d.frames;
      ASSERT_EQ(test::sha256Hex(formatStateCsv(program.system())), d.sha256) << "after " << d.frames << " frames";
    }
  });
}

TEST(StateCsv, HeaderAndRows) {
  test::FreshProgram program;
  addParticle(1.0f, 0.5f, 0.25f);
  program.system().particles[0].velocity[0] = -0.0f;
  program.system().particles[0].pressure = 1e-7f;
  EXPECT_EQ(formatStateCsv(program.system()),
            "id,x,y,z,vx,vy,vz,density,pressure\n"
            "0,84,42,21,-0,0,0,0.349999994,1.00000001e-07\n");
}

}  // namespace
}  // namespace sph
