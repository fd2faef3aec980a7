// The seeded block: its size, its lattice with the float-accumulated
// counters, its first and last particles, and which blocks fit in the box.
#include <gtest/gtest.h>

#include "solver/parameters.h"
#include "solver/seeding.h"
#include "support/test_support.h"

namespace sph {
namespace {

// The counters run while below 0.5 (x, y) and 0.975 (z): count the steps.
int32_t layersWhileBelow(float limit) {
  int32_t layers = 0;
  for (float counter = 0.0f; counter < limit; counter = advanceSeedCounter(counter)) ++layers;
  return layers;
}

TEST(Seeding, CounterLimitsGiveTheProgramBlock) {
  EXPECT_EQ(SEED_STEP, 0.024999998859129846);
  EXPECT_EQ(layersWhileBelow(0.5f), PROGRAM_BLOCK.x);
  EXPECT_EQ(layersWhileBelow(0.5f), PROGRAM_BLOCK.y);
  EXPECT_EQ(layersWhileBelow(0.975f), PROGRAM_BLOCK.z);
}

TEST(Seeding, ProgramBlockFirstAndLastParticles) {
  test::SeededProgram program;
  const FluidSystem& system = program.system();
  ASSERT_EQ(system.particleCount, 16000);
  EXPECT_EQ(nextParticleId, 16000);
  const Particle& first = system.particles[0];
  EXPECT_BITS_EQ(seedingToWorld(0.0125f), first.position[0]);
  EXPECT_BITS_EQ(0.0f, first.position[1]);
  EXPECT_BITS_EQ(seedingToWorld(0.0125f), first.position[2]);
  // The last layers carry the rounding the counters accumulated.
  const Particle& last = system.particles[15999];
  EXPECT_BITS_EQ(seedingToWorld(0.48750004f), last.position[0]);
  EXPECT_BITS_EQ(seedingToWorld(0.47500005f), last.position[1]);
  EXPECT_BITS_EQ(seedingToWorld(0.9874996f), last.position[2]);
  EXPECT_BITS_EQ(2.2589293f, last.mass);
}

TEST(Seeding, XSlowestZFastest) {
  test::SeededProgram program;
  const Particle* p = program.system().particles;
  for (int32_t i : {1, 39, 40, 799, 800, 12345}) {
    const Particle& expectedX = p[(i / 800) * 800];
    const Particle& expectedY = p[((i / 40) % 20) * 40];
    const Particle& expectedZ = p[i % 40];
    EXPECT_BITS_EQ(expectedX.position[0], p[i].position[0]) << i;
    EXPECT_BITS_EQ(expectedY.position[1], p[i].position[1]) << i;
    EXPECT_BITS_EQ(expectedZ.position[2], p[i].position[2]) << i;
  }
  EXPECT_LT(p[0].position[2], p[1].position[2]);
  EXPECT_LT(p[0].position[1], p[40].position[1]);
  EXPECT_LT(p[0].position[0], p[800].position[0]);
}

TEST(Seeding, BlocksThatLeaveTheBoxAreRefused) {
  EXPECT_TRUE(blockFitsInBox(PROGRAM_BLOCK));
  EXPECT_TRUE(blockFitsInBox({40, 40, 80}));
  EXPECT_TRUE(blockFitsInBox({1, 1, 1}));
  EXPECT_TRUE(blockFitsInBox({160, 160, 160}));
  EXPECT_FALSE(blockFitsInBox({161, 1, 1}));
  EXPECT_FALSE(blockFitsInBox({1, 1, 161}));
  EXPECT_FALSE(blockFitsInBox({0, 20, 40}));
  EXPECT_FALSE(blockFitsInBox({20, -1, 40}));
  EXPECT_FALSE(blockFitsInBox({2000000000, 1, 1}));  // refused without stepping through it
}

TEST(Seeding, CustomBlockUsesTheSameLattice) {
  test::SeededProgram program(1, {2, 3, 4});
  const Particle* p = program.system().particles;
  ASSERT_EQ(program.system().particleCount, 24);
  test::SeededProgram standard;  // installs a new global system
  const Particle* q = standard.system().particles;
  // Index i of the small block: layers (i / 12, (i / 4) % 3, i % 4).
  for (int32_t i = 0; i < 24; ++i) {
    const int32_t same = (i / 12) * 800 + ((i / 4) % 3) * 40 + i % 4;
    for (int axis = 0; axis < 3; ++axis) EXPECT_BITS_EQ(q[same].position[axis], p[i].position[axis]) << i;
  }
}

}  // namespace
}  // namespace sph
