// Pass 1 (density rates) and pass 2 (particle state): the worked two-particle
// example, the density band with its exact limits, and the open cases of a
// pair at zero distance and a density that is not a number.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "solver/cell_grid.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

// Two particles at rest, 1 apart along x, far from every wall.
struct TwoParticles : testing::Test {
  void SetUp() override {
    addParticle(0, 0, 0);
    addParticle(0, 0, 0);
    place(0, 100.0f, 100.0f, 100.0f);
    place(1, 101.0f, 100.0f, 100.0f);
  }
  void place(int k, float x, float y, float z) {
    Particle& p = particle(k);
    p.position[0] = p.prevPosition[0] = x;
    p.position[1] = p.prevPosition[1] = y;
    p.position[2] = p.prevPosition[2] = z;
  }
  Particle& particle(int k) { return program.system().particles[k]; }
  test::FreshProgram program;
};

TEST_F(TwoParticles, ApproachingPairRaisesDensity) {
  particle(1).velocity[0] = -1.0f;  // v(i) - v(j) = (-1, 0, 0) with d = (1, 0, 0)
  rebuildGrid(program.system());
  computeDensityRates(0, 2);
  // F = -191.06149 each way, times the other particle's mass.
  EXPECT_BITS_EQ(-431.59439f, particle(1).densityRate);
  EXPECT_BITS_EQ(-431.59439f, particle(0).densityRate);
  updateParticleState(0, 2);
  EXPECT_BITS_EQ(0.37183037f, particle(1).density);
  EXPECT_BITS_EQ(0.0f, particle(1).densityRate);
}

TEST_F(TwoParticles, PairAcrossRangesIsComputedByEachSide) {
  particle(1).velocity[0] = -1.0f;
  rebuildGrid(program.system());
  computeDensityRates(1, 2);
  EXPECT_BITS_EQ(-431.59439f, particle(1).densityRate);
  EXPECT_BITS_EQ(0.0f, particle(0).densityRate);  // outside the range: untouched
  computeDensityRates(0, 1);
  EXPECT_BITS_EQ(-431.59439f, particle(0).densityRate);
}

TEST_F(TwoParticles, NoContributionAtTheCutOffOrWithoutApproach) {
  particle(1).velocity[1] = 1.0f;  // sliding past: (v(i) - v(j)) . d = 0
  rebuildGrid(program.system());
  computeDensityRates(0, 2);
  EXPECT_BITS_EQ(0.0f, particle(1).densityRate);
  place(0, 0.0f, 0.0f, 0.0f);
  place(1, 3.85f, 0.0f, 0.0f);  // r^2 == H2 exactly
  particle(1).velocity[0] = -1.0f;
  rebuildGrid(program.system());
  computeDensityRates(0, 2);
  EXPECT_BITS_EQ(0.0f, particle(1).densityRate);
  EXPECT_BITS_EQ(0.0f, particle(0).densityRate);
}

// Design decision: two distinct particles at one place have no direction
// between them, so they add nothing to each other's rate (instead of 0/0).
TEST_F(TwoParticles, PairAtZeroDistanceAddsNoRate) {
  place(1, 100.0f, 100.0f, 100.0f);
  particle(1).velocity[0] = -1.0f;
  rebuildGrid(program.system());
  computeDensityRates(0, 2);
  EXPECT_BITS_EQ(0.0f, particle(0).densityRate);
  EXPECT_BITS_EQ(0.0f, particle(1).densityRate);
}

TEST_F(TwoParticles, EmptyRangeChangesNothing) {
  particle(1).velocity[0] = -1.0f;
  particle(0).densityRate = 5.0f;
  rebuildGrid(program.system());
  const auto before = test::snapshotParticles();
  computeDensityRates(1, 1);
  computeDensityRates(2, 0);
  updateParticleState(1, 1);
  EXPECT_EQ(std::memcmp(before.data(), program.system().particles, sizeof(Particle) * 2), 0);
}

// Pass 2 on one particle whose density (and rate) are set by hand.
Particle stateFor(float density, float densityRate = 0.0f) {
  test::FreshProgram program;
  addParticle(0.5f, 0.5f, 0.5f);
  Particle& p = program.system().particles[0];
  p.density = density;
  p.densityRate = densityRate;
  for (int axis = 0; axis < 3; ++axis) p.acceleration[axis] = p.velocityCorrection[axis] = 1.0f;
  updateParticleState(0, 1);
  return p;
}

TEST(ParticleState, AtRestDensity) {
  const Particle p = stateFor(0.35f);
  EXPECT_BITS_EQ(0.35f, p.density);
  EXPECT_BITS_EQ(2.8571429f, p.invDensity);
  EXPECT_BITS_EQ(8.1632652f, p.invDensitySq);
  EXPECT_BITS_EQ(2.2589293f, p.mass);
  EXPECT_BITS_EQ(0.4426876f, p.invMass);
  EXPECT_BITS_EQ(0.0f, p.pressure);
  EXPECT_BITS_EQ(0.0f, p.soundSpeed);
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_BITS_EQ(0.0f, p.acceleration[axis]);
    EXPECT_BITS_EQ(0.0f, p.velocityCorrection[axis]);
  }
  EXPECT_BITS_EQ(0.0f, p.densityRate);
}

TEST(ParticleState, ResetDensity) {
  const Particle p = stateFor(DENSITY_RESET);
  EXPECT_BITS_EQ(0.83781165f, p.pressure);
  EXPECT_BITS_EQ(1.5098873f, p.soundSpeed);
  EXPECT_BITS_EQ(2.3718755f, p.mass);
  EXPECT_BITS_EQ(7.4043236f, p.invDensitySq);
}

TEST(ParticleState, BandLimitsStayAndAnythingBeyondIsReset) {
  const Particle lower = stateFor(DENSITY_LOWER_LIMIT);
  EXPECT_BITS_EQ(DENSITY_LOWER_LIMIT, lower.density);
  EXPECT_BITS_EQ(-1.1319182f, lower.pressure);
  EXPECT_BITS_EQ(1.9505812f, lower.soundSpeed);  // real, though the pressure is negative
  const Particle upper = stateFor(DENSITY_UPPER_LIMIT);
  EXPECT_BITS_EQ(DENSITY_UPPER_LIMIT, upper.density);
  EXPECT_BITS_EQ(3.7416835f, upper.pressure);
  EXPECT_BITS_EQ(DENSITY_RESET, stateFor(std::nextafter(DENSITY_LOWER_LIMIT, 0.0f)).density);
  EXPECT_BITS_EQ(DENSITY_RESET, stateFor(std::nextafter(DENSITY_UPPER_LIMIT, 1.0f)).density);
  // The rate moves the density before the band test.
  EXPECT_BITS_EQ(DENSITY_RESET, stateFor(0.35f, -10000.0f).density);
}

// Design decision: a density that is not a number is outside the band, so
// it is reset like any other instead of spreading through the pressures.
TEST(ParticleState, DensityThatIsNotANumberIsReset) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Particle fromDensity = stateFor(nan);
  EXPECT_BITS_EQ(DENSITY_RESET, fromDensity.density);
  EXPECT_BITS_EQ(0.83781165f, fromDensity.pressure);
  EXPECT_BITS_EQ(DENSITY_RESET, stateFor(0.35f, nan).density);
  EXPECT_BITS_EQ(DENSITY_RESET, stateFor(0.35f, std::numeric_limits<float>::infinity()).density);
}

}  // namespace
}  // namespace sph
