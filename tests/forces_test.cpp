// Pass 3: the worked pair examples (pressure alone, then with viscosity and
// smoothing), the wall push at its sample distances, gravity, and the open
// case of a pair at zero distance.
#include <gtest/gtest.h>

#include <cmath>

#include "solver/cell_grid.h"
#include "solver/parameters.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

struct ForcePair : testing::Test {
  void SetUp() override {
    GRAVITY_X = GRAVITY_Y = GRAVITY_Z = 0.0f;  // pair terms alone
    addParticle(0, 0, 0);
    addParticle(0, 0, 0);
    for (int k = 0; k < 2; ++k) {
      Particle& p = particle(k);
      p.position[1] = p.position[2] = 100.0f;
      // The reset density and everything pass 2 derives from it.
      p.density = DENSITY_RESET;
      p.pressure = 0.83781165f;
      p.invDensitySq = 7.4043236f;
      p.mass = 2.3718755f;
      p.soundSpeed = 1.5098873f;
    }
    particle(1).position[0] = 101.0f;  // i (higher index) at 101, j at 100: d = (1, 0, 0)
    particle(0).position[0] = 100.0f;
  }
  void run() {
    rebuildGrid(program.system());
    computeForces(0, 2);
  }
  Particle& particle(int k) { return program.system().particles[k]; }
  test::FreshProgram program;
};

TEST_F(ForcePair, PressurePushesApart) {
  run();
  EXPECT_BITS_EQ(1.0513364f, particle(1).acceleration[0]);
  EXPECT_BITS_EQ(-1.0513364f, particle(0).acceleration[0]);
  for (int k = 0; k < 2; ++k)
    for (int axis = 0; axis < 3; ++axis) EXPECT_BITS_EQ(0.0f, particle(k).velocityCorrection[axis]);
}

TEST_F(ForcePair, ApproachAddsViscosityAndSmoothing) {
  particle(1).velocity[0] = -1.0f;  // v(i) - v(j) = (-1, 0, 0)
  run();
  EXPECT_BITS_EQ(1.1306642f, particle(1).acceleration[0]);
  EXPECT_BITS_EQ(-1.1306642f, particle(0).acceleration[0]);
  EXPECT_BITS_EQ(0.07184533f, particle(1).velocityCorrection[0]);
  EXPECT_BITS_EQ(-0.07184533f, particle(0).velocityCorrection[0]);
}

TEST_F(ForcePair, MovingApartGetsNoViscosity) {
  particle(1).velocity[0] = 1.0f;
  run();
  EXPECT_BITS_EQ(1.0513364f, particle(1).acceleration[0]);
}

TEST_F(ForcePair, AcrossRangesEachSideUpdatesOnlyItself) {
  particle(1).velocity[0] = -1.0f;
  rebuildGrid(program.system());
  computeForces(1, 2);
  EXPECT_BITS_EQ(1.1306642f, particle(1).acceleration[0]);
  EXPECT_BITS_EQ(0.0f, particle(0).acceleration[0]);
  computeForces(0, 1);
  EXPECT_BITS_EQ(-1.1306642f, particle(0).acceleration[0]);
  EXPECT_BITS_EQ(-0.07184533f, particle(0).velocityCorrection[0]);
}

// Design decision: a pair at zero distance has no direction, so it adds no
// pressure or viscosity (instead of dividing by r = 0); the smoothing term
// needs no direction and is added as usual.
TEST_F(ForcePair, PairAtZeroDistanceSmoothsButDoesNotPush) {
  particle(1).position[0] = 100.0f;
  particle(1).velocity[1] = 1.0f;
  run();
  for (int k = 0; k < 2; ++k)
    for (int axis = 0; axis < 3; ++axis) EXPECT_BITS_EQ(0.0f, particle(k).acceleration[axis]);
  // W(0) = POLY6 h^6, shared half and half: i is pulled toward j's velocity.
  EXPECT_LT(particle(1).velocityCorrection[1], 0.0f);
  EXPECT_BITS_EQ(-particle(1).velocityCorrection[1], particle(0).velocityCorrection[1]);
}

TEST_F(ForcePair, EmptyRangeChangesNothing) {
  rebuildGrid(program.system());
  const auto before = test::snapshotParticles();
  computeForces(1, 1);
  EXPECT_EQ(std::memcmp(before.data(), program.system().particles, sizeof(Particle) * 2), 0);
}

// One particle alone; returns its velocity correction along x after pass 3.
float wallPushAt(float x) {
  test::FreshProgram program;
  addParticle(0, 0, 0);
  Particle& p = program.system().particles[0];
  p.position[0] = x;
  p.position[1] = p.position[2] = 100.0f;
  rebuildGrid(program.system());
  computeForces(0, 1);
  return p.velocityCorrection[0];
}

TEST(WallPush, NearAndFarWalls) {
  EXPECT_BITS_EQ(1.0f, wallPushAt(0.0f));
  EXPECT_BITS_EQ(0.5f, wallPushAt(0.525f));
  EXPECT_BITS_EQ(0.29289323f, wallPushAt(1.05f));
  EXPECT_BITS_EQ(0.024099886f, wallPushAt(2.0f));
  EXPECT_BITS_EQ(0.0f, wallPushAt(2.1f));
  EXPECT_BITS_EQ(0.0f, wallPushAt(100.0f));
  EXPECT_BITS_EQ(-1.0f, wallPushAt(336.0f));
  EXPECT_BITS_EQ(-0.024099886f, wallPushAt(334.0f));
  EXPECT_BITS_EQ(0.0f, wallPushAt(333.0f));
}

TEST(Gravity, FirstStepPullsByTheParticlesOwnMass) {
  test::FreshProgram program;
  addParticle(0.5f, 0.5f, 0.5f);
  rebuildGrid(program.system());
  computeForces(0, 1);
  const Particle& p = program.system().particles[0];
  EXPECT_BITS_EQ(-0.094875038f, p.acceleration[1]);
  EXPECT_BITS_EQ(0.0f, p.acceleration[0]);  // -0 * m + 0
  EXPECT_BITS_EQ(0.0f, p.acceleration[2]);
}

}  // namespace
}  // namespace sph
