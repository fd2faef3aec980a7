// The integrator: rest, the clamp at the walls, the speed limit (strict), and
// the previous position.
#include <gtest/gtest.h>

#include "solver/parameters.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

struct OneParticle : testing::Test {
  void SetUp() override {
    addParticle(0, 0, 0);
    set(p().position, 100.0f, 100.0f, 100.0f);
    set(p().prevPosition, 100.0f, 100.0f, 100.0f);
  }
  static void set(float* v, float x, float y, float z) {
    v[0] = x;
    v[1] = y;
    v[2] = z;
  }
  Particle& p() { return program.system().particles[0]; }
  test::FreshProgram program;
};

TEST_F(OneParticle, AtRestStaysPut) {
  integrate(program.system());
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_BITS_EQ(100.0f, p().position[axis]);
    EXPECT_BITS_EQ(0.0f, p().velocity[axis]);
  }
}

TEST_F(OneParticle, ClampedAtTheFarWall) {
  p().position[0] = 335.5f;
  p().prevPosition[0] = 331.0f;  // would carry it to 340
  integrate(program.system());
  EXPECT_BITS_EQ(336.0f, p().position[0]);
  EXPECT_BITS_EQ(1.25f, p().velocity[0]);
  EXPECT_BITS_EQ(335.5f, p().prevPosition[0]);
}

TEST_F(OneParticle, ClampedAtTheFloor) {
  p().position[1] = 0.5f;
  p().prevPosition[1] = 1.5f;  // would carry it to -0.5
  integrate(program.system());
  EXPECT_BITS_EQ(0.0f, p().position[1]);
  EXPECT_BITS_EQ(-1.25f, p().velocity[1]);
}

TEST_F(OneParticle, ClampedThenSpeedLimited) {
  p().position[0] = 334.0f;
  p().prevPosition[0] = 329.0f;  // clamped velocity 5 exceeds the limit
  integrate(program.system());
  EXPECT_BITS_EQ(2.8284268f, p().velocity[0]);
  EXPECT_BITS_EQ(335.13138f, p().position[0]);
  EXPECT_BITS_EQ(334.0f, p().prevPosition[0]);
}

TEST_F(OneParticle, SpeedLimitScalesVelocityAndPosition) {
  p().prevPosition[0] = 98.0f;  // displacement (2, 0, 0): velocity 5, v^2 = 25
  integrate(program.system());
  EXPECT_BITS_EQ(2.8284268f, p().velocity[0]);  // 5 * 0.5656854
  EXPECT_BITS_EQ(float(100.0 + double(2.8284268f) * double(0.4f)), p().position[0]);
  EXPECT_BITS_EQ(100.0f, p().prevPosition[0]);
}

TEST_F(OneParticle, SpeedExactlyAtTheLimitIsKept) {
  // From the origin, a correction of 2 moves it by 0.8f on x and y: the
  // velocity rounds to exactly (2, 2, 0), so v^2 == 8, which is not limited.
  set(p().position, 0.0f, 0.0f, 100.0f);
  set(p().prevPosition, 0.0f, 0.0f, 100.0f);
  set(p().velocityCorrection, 2.0f, 2.0f, 0.0f);
  integrate(program.system());
  EXPECT_BITS_EQ(2.0f, p().velocity[0]);
  EXPECT_BITS_EQ(2.0f, p().velocity[1]);
  EXPECT_BITS_EQ(0.8f, p().position[0]);
  EXPECT_BITS_EQ(0.8f, p().position[1]);
}

TEST_F(OneParticle, AccumulatorsAreNotDividedByMass) {
  set(p().acceleration, 1.0f, 0.0f, 0.0f);
  set(p().velocityCorrection, 0.0f, 1.0f, 0.0f);
  integrate(program.system());
  EXPECT_BITS_EQ(float(100.0 + double(TIME_STEP_SQ)), p().position[0]);
  EXPECT_BITS_EQ(float(100.0 + double(TIME_STEP)), p().position[1]);
  // Left for the next step's pass 2 to clear.
  EXPECT_BITS_EQ(1.0f, p().acceleration[0]);
}

}  // namespace
}  // namespace sph
