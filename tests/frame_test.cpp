// The frame without drawing: gravity from the camera angles, the camera turn
// from the arrow keys, and which gravity each step uses.
#include <gtest/gtest.h>

#include <cmath>

#include "app/frame.h"
#include "solver/parameters.h"
#include "support/test_support.h"

namespace sph {
namespace {

TEST(UpdateGravity, AtRestPointsDown) {
  test::FreshProgram program;
  updateGravity();
  EXPECT_BITS_EQ(-0.0419999994f, GRAVITY_Y);
  EXPECT_NE(test::floatBits(GRAVITY_Y), test::floatBits(INITIAL_GRAVITY_Y));
  EXPECT_EQ(GRAVITY_X, 0.0f);
  EXPECT_EQ(GRAVITY_Z, 0.0f);
}

TEST(UpdateGravity, TurningAboutYAloneKeepsGravity) {
  test::FreshProgram program;
  angleY = 37.0f;
  updateGravity();
  EXPECT_BITS_EQ(-0.0419999994f, GRAVITY_Y);
  EXPECT_EQ(GRAVITY_X, 0.0f);
  EXPECT_EQ(GRAVITY_Z, 0.0f);
}

TEST(CameraTurn, TwoDegreesPerFramePerHeldKey) {
  test::FreshProgram program;
  arrowUp = 1;
  turnCamera();
  EXPECT_EQ(angleX, 2.0f);
  arrowDown = 1;  // Up and Down together cancel
  turnCamera();
  EXPECT_EQ(angleX, 2.0f);
  arrowUp = arrowDown = 0;
  arrowLeft = 1;
  turnCamera();
  EXPECT_EQ(angleY, 2.0f);
  arrowLeft = 0;
  arrowRight = 1;
  turnCamera();
  turnCamera();
  EXPECT_EQ(angleY, -2.0f);
  EXPECT_EQ(angleX, 2.0f);
}

TEST(Frames, UpHeld45FramesTurnsGravityTowardFarZ) {
  test::FreshProgram program;  // no particles: the frames are cheap
  test::runFrames(45, 45);
  EXPECT_EQ(angleX, 90.0f);
  // Gravity of frame 45 came from the angle before its turn (88 degrees).
  EXPECT_LT(GRAVITY_Y, -0.001f);
  test::runFrames(1);  // frame 46
  EXPECT_NEAR(GRAVITY_X, 0.0f, 1e-7f);
  EXPECT_NEAR(GRAVITY_Y, 0.0f, 1e-8f);
  EXPECT_NEAR(GRAVITY_Z, 0.042f, 1e-7f);
}

TEST(Frames, A180FrameTurnComesBackDown) {
  test::FreshProgram program;
  test::runFrames(180, 180);
  EXPECT_EQ(angleX, 360.0f);
  test::runFrames(1);
  EXPECT_NEAR(GRAVITY_X, 0.0f, 1e-7f);
  EXPECT_NEAR(GRAVITY_Y, -0.042f, 1e-7f);
  EXPECT_NEAR(GRAVITY_Z, 0.0f, 1e-7f);
}

// A lone particle at rest keeps density 0.35 and mass 2.2589293, so its
// acceleration after a step is exactly the gravity that step used.
TEST(Frames, EachStepUsesTheGravityOfTheFrameBefore) {
  test::FreshProgram program;
  addParticle(2.0f, 2.0f, 2.0f);
  const Particle& p = program.system().particles[0];
  const float mass = 2.2589293f;
  auto gravityUsed = [&](int axis) { return float(double(p.acceleration[axis]) / double(mass)); };

  arrowUp = 1;  // frame 1 turns the box to 2 degrees after its step
  simulateFrame();
  EXPECT_BITS_EQ(float(double(INITIAL_GRAVITY_Y) * double(mass)), p.acceleration[1]);
  const float gravityOfFrame1[3] = {GRAVITY_X, GRAVITY_Y, GRAVITY_Z};
  EXPECT_BITS_EQ(-0.0419999994f, gravityOfFrame1[1]);

  arrowUp = 0;
  simulateFrame();  // frame 2 steps with the gravity of frame 1 (angle 0)
  EXPECT_BITS_EQ(float(double(gravityOfFrame1[1]) * double(mass)), p.acceleration[1]);
  EXPECT_EQ(p.acceleration[2], 0.0f);
  const float gravityZOfFrame2 = GRAVITY_Z;  // from angle 2
  EXPECT_GT(gravityZOfFrame2, 0.0f);

  simulateFrame();  // frame 3 steps with the gravity of frame 2
  EXPECT_BITS_EQ(float(double(gravityZOfFrame2) * double(mass)), p.acceleration[2]);
  EXPECT_NEAR(gravityUsed(2), gravityZOfFrame2, 1e-9f);
}

}  // namespace
}  // namespace sph
