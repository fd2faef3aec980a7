// The model constants, bit for bit. A constant that is off by one unit in the
// last place changes every trajectory, so nothing here uses a tolerance.
#include <gtest/gtest.h>

#include "solver/cell_grid.h"
#include "solver/fluid_system.h"
#include "solver/parameters.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

TEST(Parameters, BaseConstants) {
  EXPECT_BITS_EQ(3.85f, SMOOTHING_LENGTH);
  EXPECT_BITS_EQ(2.857142925f, INV_REST_DENSITY);
  EXPECT_BITS_EQ(2.5f, INV_TIME_STEP);
  EXPECT_BITS_EQ(1200.0f, WORLD_SCALE);
  EXPECT_BITS_EQ(2.1f, WALL_RANGE);
  EXPECT_BITS_EQ(14.285714f, RENDER_SCALE_INV);
}

TEST(Parameters, SinglePrecisionProductsDifferFromTheirDecimals) {
  // 0.4f * 0.4f, one unit above the float nearest 0.16.
  EXPECT_EQ(double(TIME_STEP_SQ), 0.1600000113248825);
  EXPECT_NE(test::floatBits(TIME_STEP_SQ), test::floatBits(0.16f));
  // 0.07f * -0.6f, one unit beyond the float nearest -0.042.
  EXPECT_EQ(double(INITIAL_GRAVITY_Y), -0.04200000315904617);
  EXPECT_NE(test::floatBits(INITIAL_GRAVITY_Y), test::floatBits(-0.042f));
  // The horizontal components start as negative zero.
  EXPECT_BITS_EQ(-0.0f, INITIAL_GRAVITY_X);
  EXPECT_BITS_EQ(-0.0f, INITIAL_GRAVITY_Z);
}

TEST(Parameters, DerivedConstants) {
  EXPECT_BITS_EQ(336.0f, BOX_X);
  EXPECT_BITS_EQ(336.0f, BOX_Y);
  EXPECT_BITS_EQ(336.0f, BOX_Z);
  EXPECT_BITS_EQ(0.47619051f, INV_WALL_RANGE);
  EXPECT_BITS_EQ(14.822499f, H2);
  EXPECT_BITS_EQ(57.06662f, H3);
  EXPECT_BITS_EQ(0.25974026f, INV_H);
  EXPECT_BITS_EQ(8.430129e-6f, POLY6);
  EXPECT_BITS_EQ(-0.0043984368f, SPIKY_GRAD);
  EXPECT_BITS_EQ(-5.0580777e-5f, POLY6_GRAD);
  EXPECT_BITS_EQ(6.4540834f, PARTICLE_VOLUME);
}

TEST(Parameters, PiEntersAsSinglePrecision) {
  // With pi in double precision the poly6 normalisation is one unit off.
  const double piDouble = 3.141592653589793;
  const float poly6WithDoublePi =
      float(315.0 / (((64.0 * piDouble * double(H3)) * double(H3)) * double(H3)));
  EXPECT_BITS_EQ(8.430130e-6f, poly6WithDoublePi);
  EXPECT_NE(test::floatBits(poly6WithDoublePi), test::floatBits(POLY6));
  // The 0.3 cube inside the particle volume is the single-precision one.
  EXPECT_EQ(double(0.3f * 0.3f * 0.3f), 0.027000002562999725);
}

TEST(Parameters, DensityBandAndStepLiterals) {
  EXPECT_BITS_EQ(0.29750001f, DENSITY_LOWER_LIMIT);
  EXPECT_BITS_EQ(0.40249997f, DENSITY_UPPER_LIMIT);
  EXPECT_BITS_EQ(0.36749998f, DENSITY_RESET);
  EXPECT_NE(test::floatBits(DENSITY_UPPER_LIMIT), test::floatBits(0.4025f));
  EXPECT_EQ(double(TIME_STEP), 0.4000000059604645);
  EXPECT_BITS_EQ(8.0f, SPEED_LIMIT_SQ);
}

TEST(Parameters, GridHas89CellsPerAxis) {
  EXPECT_BITS_EQ(87.27273f, float(double(BOX_X) * double(INV_H)));
  EXPECT_EQ(cellsAlongAxis(BOX_X), 89);
  test::FreshProgram program;
  EXPECT_EQ(program.system().nx, 89);
  EXPECT_EQ(program.system().ny, 89);
  EXPECT_EQ(program.system().nz, 89);
  EXPECT_EQ(program.system().nxy, 7921);
}

}  // namespace
}  // namespace sph
