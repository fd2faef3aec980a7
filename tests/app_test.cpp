// What of the window program needs no display: the key callbacks (each
// arrow sets and clears its own held flag, every other key does nothing,
// Escape ends the program with status 0) and the colour of a point.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include "app/callbacks.h"
#include "app/frame.h"
#include "app/scene.h"

namespace {

TEST(Keys, ArrowsAndOtherKeys) {
  sph::resetFrameState();
  uint8_t* const flags[] = {&sph::arrowLeft, &sph::arrowUp, &sph::arrowRight, &sph::arrowDown};
  const int arrows[] = {GLUT_KEY_LEFT, GLUT_KEY_UP, GLUT_KEY_RIGHT, GLUT_KEY_DOWN};
  auto held = [&] { return std::vector<int>{*flags[0], *flags[1], *flags[2], *flags[3]}; };
  for (int k = 0; k < 4; ++k) {
    sph::onSpecialDown(arrows[k], 5, 7);
    std::vector<int> expected(4, 0);
    expected[k] = 1;
    EXPECT_EQ(held(), expected) << "down " << arrows[k];
    for (int other : {GLUT_KEY_F1, GLUT_KEY_PAGE_UP, GLUT_KEY_HOME, GLUT_KEY_INSERT, 0, 99, 104, -1}) {
      sph::onSpecialDown(other, 0, 0);
      sph::onSpecialUp(other, 0, 0);
    }
    for (int key = 0; key < 256; ++key)
      if (key != 27) sph::onKeyboard(static_cast<unsigned char>(key), 0, 0);
    EXPECT_EQ(held(), expected) << "other keys after " << arrows[k];
    sph::onSpecialUp(arrows[k], 0, 0);
    EXPECT_EQ(held(), std::vector<int>(4, 0)) << "up " << arrows[k];
  }
}

TEST(KeysDeathTest, EscapeEndsTheProgramWithStatusZero) {
  EXPECT_EXIT(sph::onKeyboard(27, 10, 20), testing::ExitedWithCode(0), "");
}

TEST(Scene, PointsAreBlueBySpeed) {
  const float rest[3] = {0, 0, 0}, limit[3] = {2, 2, 0}, beyond[3] = {1, 2, 2};
  EXPECT_EQ(sph::pointBlue(rest), 0.5f);
  EXPECT_EQ(sph::pointBlue(limit), 1.0f);  // |v|^2 = 8, the speed limit
  EXPECT_EQ(sph::pointBlue(beyond), 1.0625f);  // not clamped
}

}  // namespace
