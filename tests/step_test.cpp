// A whole serial step of the seeded block, and a few hundred after it: the
// invariants that must hold whatever the numbers (density in the band,
// positions in the box, speeds within the limit, no NaN).
#include <gtest/gtest.h>

#include <cmath>

#include "app/frame.h"
#include "solver/cell_grid.h"
#include "solver/parameters.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

void serialStep(FluidSystem& system) {
  rebuildGrid(system);
  computeDensityRates(0, system.particleCount);
  updateParticleState(0, system.particleCount);
  computeForces(0, system.particleCount);
  integrate(system);
}

void expectSaneState(const FluidSystem& system) {
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  for (int32_t k = 0; k < system.particleCount; ++k) {
    const Particle& p = system.particles[k];
    ASSERT_GE(p.density, DENSITY_LOWER_LIMIT) << k;
    ASSERT_LE(p.density, DENSITY_UPPER_LIMIT) << k;
    for (int axis = 0; axis < 3; ++axis) {
      ASSERT_GE(p.position[axis], 0.0f) << k;
      ASSERT_LE(p.position[axis], box[axis]) << k;
      ASSERT_TRUE(std::isfinite(p.velocity[axis])) << k;
      ASSERT_TRUE(std::isfinite(p.acceleration[axis])) << k;
    }
    const float v2 = float((double(p.velocity[0]) * p.velocity[0] + double(p.velocity[1]) * p.velocity[1]) +
                           double(p.velocity[2]) * p.velocity[2]);
    ASSERT_LE(v2, SPEED_LIMIT_SQ * 1.000001f) << k;
    ASSERT_TRUE(std::isfinite(p.pressure) && std::isfinite(p.soundSpeed)) << k;
  }
}

TEST(Step, SerialStepIsTheOneThreadStep) {
  test::SeededProgram serial;
  serialStep(serial.system());
  const auto expected = test::snapshotParticles();
  test::SeededProgram stepped(1);
  stepSimulation();
  const auto actual = test::snapshotParticles();
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    // `next` points into each system's own array; compare everything else.
    ASSERT_EQ(std::memcmp(&expected[k], &actual[k], offsetof(Particle, next)), 0) << k;
  }
}

TEST(Step, FirstStepMovesTheBlockDownOnly) {
  test::SeededProgram program;
  serialStep(program.system());
  expectSaneState(program.system());
  // Gravity pulls along -y; the particles on the floor are held up.
  const Particle& top = program.system().particles[39 + 19 * 40];
  EXPECT_LT(top.velocity[1], 0.0f);
  EXPECT_GE(program.system().particles[0].position[1], 0.0f);
}

TEST(Step, HundredsOfStepsStaySane) {
  test::SeededProgram program;
  for (int step = 0; step < 250; ++step) {
    serialStep(program.system());
    if (step % 50 == 49) {
      SCOPED_TRACE(step);
      expectSaneState(program.system());
    }
  }
}

}  // namespace
}  // namespace sph
