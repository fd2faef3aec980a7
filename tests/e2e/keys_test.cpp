// The key callbacks: which keys set which held flag, and which end the
// program. No window is needed; GLUT only supplies the key codes.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include "app/callbacks.h"
#include "app/frame.h"

namespace {

struct Flags {
  int left, right, up, down;
  bool operator==(const Flags& o) const {
    return left == o.left && right == o.right && up == o.up && down == o.down;
  }
};
Flags flags() { return {sph::arrowLeft, sph::arrowRight, sph::arrowUp, sph::arrowDown}; }

class Keys : public ::testing::Test {
 protected:
  void SetUp() override { sph::resetFrameState(); }
  void TearDown() override { sph::resetFrameState(); }
};

TEST_F(Keys, ArrowCodesAreTheGlutOnes) {
  EXPECT_EQ(GLUT_KEY_LEFT, 100);
  EXPECT_EQ(GLUT_KEY_UP, 101);
  EXPECT_EQ(GLUT_KEY_RIGHT, 102);
  EXPECT_EQ(GLUT_KEY_DOWN, 103);
}

TEST_F(Keys, EachArrowSetsAndClearsItsOwnFlag) {
  sph::onSpecialDown(GLUT_KEY_LEFT, 0, 0);
  EXPECT_TRUE((flags() == Flags{1, 0, 0, 0}));
  sph::onSpecialDown(GLUT_KEY_UP, 5, 7);
  EXPECT_TRUE((flags() == Flags{1, 0, 1, 0}));
  sph::onSpecialDown(GLUT_KEY_RIGHT, 0, 0);
  EXPECT_TRUE((flags() == Flags{1, 1, 1, 0}));
  sph::onSpecialDown(GLUT_KEY_DOWN, 0, 0);
  EXPECT_TRUE((flags() == Flags{1, 1, 1, 1}));

  sph::onSpecialUp(GLUT_KEY_UP, 0, 0);
  EXPECT_TRUE((flags() == Flags{1, 1, 0, 1}));
  sph::onSpecialUp(GLUT_KEY_LEFT, 0, 0);
  EXPECT_TRUE((flags() == Flags{0, 1, 0, 1}));
  sph::onSpecialUp(GLUT_KEY_DOWN, 0, 0);
  EXPECT_TRUE((flags() == Flags{0, 1, 0, 0}));
  sph::onSpecialUp(GLUT_KEY_RIGHT, 0, 0);
  EXPECT_TRUE((flags() == Flags{0, 0, 0, 0}));
}

TEST_F(Keys, RepeatedDownKeepsTheFlagSet) {
  sph::onSpecialDown(GLUT_KEY_UP, 0, 0);
  sph::onSpecialDown(GLUT_KEY_UP, 0, 0);
  EXPECT_EQ(sph::arrowUp, 1);
  sph::onSpecialUp(GLUT_KEY_UP, 0, 0);
  EXPECT_EQ(sph::arrowUp, 0);
}

TEST_F(Keys, OtherSpecialKeysChangeNoFlag) {
  for (int key : {GLUT_KEY_F1, GLUT_KEY_F12, GLUT_KEY_PAGE_UP, GLUT_KEY_PAGE_DOWN,
                  GLUT_KEY_HOME, GLUT_KEY_END, GLUT_KEY_INSERT, 0, 99, 104, -1}) {
    SCOPED_TRACE(key);
    sph::onSpecialDown(key, 0, 0);
    EXPECT_TRUE((flags() == Flags{0, 0, 0, 0}));
  }
  sph::onSpecialDown(GLUT_KEY_LEFT, 0, 0);
  sph::onSpecialUp(GLUT_KEY_PAGE_UP, 0, 0);
  EXPECT_TRUE((flags() == Flags{1, 0, 0, 0}));
}

TEST_F(Keys, HeldUpTurnsTheCameraTwoDegreesPerFrame) {
  sph::onSpecialDown(GLUT_KEY_UP, 0, 0);
  for (int frame = 0; frame < 45; ++frame) sph::turnCamera();
  sph::onSpecialUp(GLUT_KEY_UP, 0, 0);
  sph::turnCamera();
  EXPECT_EQ(sph::angleX, 90.0f);
  EXPECT_EQ(sph::angleY, 0.0f);
}

TEST_F(Keys, CharacterKeysOtherThanEscapeDoNothing) {
  for (int key = 0; key < 256; ++key) {
    if (key == 27) continue;
    sph::onKeyboard(static_cast<unsigned char>(key), 0, 0);  // returns
  }
  EXPECT_TRUE((flags() == Flags{0, 0, 0, 0}));
}

TEST_F(Keys, EscapeEndsTheProgramWithStatusZero) {
  EXPECT_EXIT(sph::onKeyboard(27, 10, 20), ::testing::ExitedWithCode(0), "");
}

}  // namespace
