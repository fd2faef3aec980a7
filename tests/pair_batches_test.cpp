// The pair passes compute their pair terms in SIMD batches and then sum them
// in visit order. These tests hold the batches to the one-pair-at-a-time
// forms: the kernels lane by lane, and the walk through the gathered lists
// where a particle's pairs overflow a batch, where lists are empty, and where
// several ranges split the particles.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "solver/cell_grid.h"
#include "solver/neighbour_index.h"
#include "solver/pair_terms.h"
#include "solver/passes.h"
#include "support/pair_walks.h"
#include "support/test_support.h"

namespace sph {
namespace {

TEST(PairTerms, BatchKernelsEqualTheScalarFormulas) {
  static PairBatch batch;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> offset(-2.2f, 2.2f), velocity(-3.0f, 3.0f), density(0.2975f, 0.4025f),
      pressure(-2.0f, 2.0f), sound(0.0f, 1.6f);
  for (int32_t k = 0; k < PAIR_BATCH; ++k) {
    batch.dx[k] = offset(random);
    batch.dy[k] = offset(random);
    batch.dz[k] = k % 17 == 0 ? 0.0f : offset(random);
    batch.r2[k] = squaredDistance(batch.dx[k], batch.dy[k], batch.dz[k]);
    batch.dvx[k] = double(velocity(random)) - double(velocity(random));
    batch.dvy[k] = double(velocity(random)) - double(velocity(random));
    batch.dvz[k] = double(velocity(random)) - double(velocity(random));
    batch.wx[k] = velocity(random);
    batch.wy[k] = velocity(random);
    batch.wz[k] = velocity(random);
    batch.densitySum[k] = double(density(random)) + double(density(random));
    batch.pressureTerm[k] = double(pressure(random)) * 7.0;
    batch.soundSpeedSum[k] = double(sound(random)) + double(sound(random));
  }
  // Every count, so every tail the vector loops leave is covered.
  test::forEachSimdBuild([&] {
    for (int32_t count : {1, 2, 3, 5, 8, 13, PAIR_BATCH - 1, PAIR_BATCH}) {
      SCOPED_TRACE(count);
      computeDensityRateTerms(batch, count);
      computeForcePairTerms(batch, count);
      int approaching = 0;
      for (int32_t k = 0; k < count; ++k) {
        if (batch.r2[k] != 0.0f) {
          EXPECT_BITS_EQ(densityRateTerm(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], batch.dvx[k], batch.dvy[k],
                                         batch.dvz[k]),
                         batch.rate[k]);
        }
        const ForcePairInputs in{batch.wx[k],         batch.wy[k],           batch.wz[k],
                                 batch.densitySum[k], batch.pressureTerm[k], batch.soundSpeedSum[k]};
        const ForcePairTerms t = forcePairTerms(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], in);
        if (batch.r2[k] != 0.0f) {
          EXPECT_BITS_EQ(t.f[0], batch.fx[k]);
          EXPECT_BITS_EQ(t.f[1], batch.fy[k]);
          EXPECT_BITS_EQ(t.f[2], batch.fz[k]);
        }
        EXPECT_BITS_EQ(t.g[0], batch.gx[k]);
        EXPECT_BITS_EQ(t.g[1], batch.gy[k]);
        EXPECT_BITS_EQ(t.g[2], batch.gz[k]);
        approaching +=
            -double(batch.dx[k]) * batch.wx[k] - double(batch.dy[k]) * batch.wy[k] - double(batch.dz[k]) * batch.wz[k] <
            0.0;
      }
      if (count == PAIR_BATCH) {
        EXPECT_GT(approaching, 50);  // both sides of the viscosity select
        EXPECT_LT(approaching, PAIR_BATCH - 50);
      }
    }
  });
}

// A cloud that overflows the batches: a dense ball in which every particle
// neighbours every other (so single lists run past PAIR_BATCH), particles at
// the same place, scattered loners with empty lists, and more loners in a
// row than a batch has room for.
class CrowdedCloud : public testing::Test {
 public:
  static constexpr int32_t BALL = 600;
  static constexpr int32_t LONERS_IN_A_ROW = 300;
  static constexpr int32_t COUNT = BALL + 60 + LONERS_IN_A_ROW;

 protected:
  void SetUp() override {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> ball(-1.0f, 1.0f), anywhere(5.0f, 330.0f), velocity(-1.0f, 1.0f);
    for (int32_t k = 0; k < COUNT; ++k) addParticle(0, 0, 0);
    for (int32_t k = 0; k < COUNT; ++k) {
      Particle& p = system().particles[k];
      p.density = DENSITY_RESET;
      p.mass = 2.3718755f;
      if (k >= BALL + 60) {  // a lattice 5 apart, more than h
        const int32_t m = k - (BALL + 60);
        const float at[3] = {150.0f + 5.0f * float(m % 10), 200.0f + 5.0f * float(m / 10 % 10),
                             250.0f + 5.0f * float(m / 100)};
        for (int axis = 0; axis < 3; ++axis) p.position[axis] = at[axis];
        continue;
      }
      // The loners (every eleventh) interleave with the ball in index order.
      const bool inBall = k % 11 != 0;
      for (int axis = 0; axis < 3; ++axis) {
        p.position[axis] = inBall ? 100.0f + ball(random) : anywhere(random);
        p.velocity[axis] = velocity(random);
      }
    }
    system().particles[50].position[0] = system().particles[49].position[0];  // same place as 49
    system().particles[50].position[1] = system().particles[49].position[1];
    system().particles[50].position[2] = system().particles[49].position[2];
    rebuildGrid(system());
  }
  FluidSystem& system() { return program.system(); }
  void visitEverySplit();
  test::FreshProgram program;
};

struct Visit {
  int32_t i, j;
  uint32_t dx, dy, dz, r2;
  bool updateJ;
  bool operator==(const Visit& o) const {
    return i == o.i && j == o.j && dx == o.dx && dy == o.dy && dz == o.dz && r2 == o.r2 && updateJ == o.updateJ;
  }
};
Visit visitOf(const Particle& pi, const Particle& pj, const float d[3], float r2, bool updateJ) {
  using test::floatBits;
  return {pi.id, pj.id, floatBits(d[0]), floatBits(d[1]), floatBits(d[2]), floatBits(r2), updateJ};
}
constexpr Visit DONE = {-1, -1, 0, 0, 0, 0, false};  // marks particleWork(i) after i's pairs

const std::vector<std::pair<int32_t, int32_t>> SPLITS[] = {
    {{0, CrowdedCloud::COUNT}},
    {{0, 1}, {1, 300}, {300, 301}, {301, CrowdedCloud::COUNT}},
    {{0, 220}, {220, 440}, {440, CrowdedCloud::COUNT}},
};

TEST_F(CrowdedCloud, BatchedWalksVisitWhatTheListWalkVisits) {
  test::forEachSimdBuild([&] { visitEverySplit(); });
}

void CrowdedCloud::visitEverySplit() {
  for (const auto& ranges : SPLITS) {
    for (auto [begin, end] : ranges) {
      SCOPED_TRACE(testing::Message() << "[" << begin << ", " << end << ")");
      std::vector<Visit> expected, gathered, replayed;
      auto record = [](std::vector<Visit>& into) {
        return [&into](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
          into.push_back(visitOf(pi, pj, d, r2, updateJ));
        };
      };
      auto done = [](std::vector<Visit>& into) {
        return [&into](Particle& pi) { into.push_back({pi.id, DONE.j, 0, 0, 0, 0, false}); };
      };
      forEachNeighbourPair(system(), begin, end, record(expected), done(expected));
      test::gatherNeighbourPairs(system(), begin, end, record(gathered));
      test::replayNeighbourPairs(system(), begin, end, record(replayed), done(replayed));
      std::vector<Visit> expectedPairs;
      for (const Visit& v : expected)
        if (v.j != DONE.j) expectedPairs.push_back(v);
      EXPECT_TRUE(gathered == expectedPairs);
      EXPECT_TRUE(replayed == expected);
      if (end - begin > 200) {
        EXPECT_GT(expectedPairs.size(), std::size_t(4 * PAIR_BATCH));
      }
    }
  }
}

TEST_F(CrowdedCloud, BallListsOverflowABatch) {
  const RangeNeighbours& lists = gatherNeighbourLists(system(), 0, COUNT);
  int32_t longest = 0;
  for (int32_t i = 0; i < COUNT; ++i) longest = std::max(longest, lists.listEnds[i] - lists.listStarts[i]);
  EXPECT_GT(longest, 2 * PAIR_BATCH);
}

// Pass 1 one pair at a time over the list walk of [begin, end), adding to
// `rates` (indexed by particle) instead of the particles.
void addReferenceRates(FluidSystem& system, int32_t begin, int32_t end, std::vector<float>& rates) {
  forEachNeighbourPair(
      system, begin, end,
      [&](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
        if (r2 == 0.0f) return;
        const float f = densityRateTerm(d[0], d[1], d[2], r2, double(pi.velocity[0]) - double(pj.velocity[0]),
                                        double(pi.velocity[1]) - double(pj.velocity[1]),
                                        double(pi.velocity[2]) - double(pj.velocity[2]));
        rates[pi.id] = float(double(pj.mass) * double(f) + double(rates[pi.id]));
        if (updateJ) rates[pj.id] = float(double(f) * double(pi.mass) + double(rates[pj.id]));
      },
      [](Particle&) {});
}

void expectRates(const std::vector<float>& expected, const FluidSystem& system) {
  for (int32_t k = 0; k < system.particleCount; ++k)
    ASSERT_EQ(test::floatBits(expected[k]), test::floatBits(system.particles[k].densityRate)) << k;
}

// Pass 3 one pair at a time, written out from the model's formulas as the
// straightforward solver had it (branch for the viscosity, each component on
// its own), to hold the batched pass to something it does not share code
// with. The cloud keeps away from the walls, so the particle terms are
// gravity alone.
void referencePairForces(Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
  const float q = float(double(H2) - double(r2));
  const float w[3] = {pj.velocity[0] - pi.velocity[0], pj.velocity[1] - pi.velocity[1],
                      pj.velocity[2] - pi.velocity[2]};
  const float kernel = float(((double(q) * double(POLY6)) * double(q)) * double(q));
  const float meanInvDensity = float(2.0 / (double(pj.density) + double(pi.density)));
  if (r2 != 0.0f) {
    const float r = std::sqrt(r2);
    const float a = float(double(SMOOTHING_LENGTH) - double(r));
    float p = float(double(pj.pressure) * double(pj.invDensitySq) + double(pi.pressure) * double(pi.invDensitySq));
    const float u = float((-double(d[0]) * double(w[0]) - double(d[1]) * double(w[1])) - double(d[2]) * double(w[2]));
    if (u < 0.0f) {
      const float mu = float((double(u) * double(SMOOTHING_LENGTH)) / (double(r2) + 20.0));
      p = float((double(mu) * (double(mu) + double(mu)) -
                 ((double(pj.soundSpeed) + double(pi.soundSpeed)) * double(mu)) * 0.5) *
                    double(meanInvDensity) +
                double(p));
    }
    const float s = float((((double(a) * double(SPIKY_GRAD)) * double(a)) / double(r)) * double(p));
    for (int axis = 0; axis < 3; ++axis) {
      const float f = float(double(d[axis]) * double(s));
      pi.acceleration[axis] = float(double(pi.acceleration[axis]) - double(pj.mass) * double(f));
      if (updateJ) pj.acceleration[axis] = float(double(pj.acceleration[axis]) + double(pi.mass) * double(f));
    }
  }
  const float k = float((double(kernel) * 0.5) * double(meanInvDensity));
  for (int axis = 0; axis < 3; ++axis) {
    const float g = float(double(w[axis]) * double(k));
    pi.velocityCorrection[axis] = float(double(pi.velocityCorrection[axis]) + double(pj.mass) * double(g));
    if (updateJ) pj.velocityCorrection[axis] = float(double(pj.velocityCorrection[axis]) - double(pi.mass) * double(g));
  }
}

void referenceGravity(Particle& p) {
  const float gravity[3] = {GRAVITY_X, GRAVITY_Y, GRAVITY_Z};
  for (int axis = 0; axis < 3; ++axis)
    p.acceleration[axis] = float(double(gravity[axis]) * double(p.mass) + double(p.acceleration[axis]));
}

void expectSameAccumulators(const std::vector<Particle>& expected, const FluidSystem& system) {
  for (int32_t k = 0; k < system.particleCount; ++k) {
    const Particle& p = system.particles[k];
    for (int axis = 0; axis < 3; ++axis) {
      ASSERT_EQ(test::floatBits(expected[k].acceleration[axis]), test::floatBits(p.acceleration[axis])) << k;
      ASSERT_EQ(test::floatBits(expected[k].velocityCorrection[axis]), test::floatBits(p.velocityCorrection[axis]))
          << k;
    }
  }
}

// The batched passes against the passes one pair at a time: pass 1 against
// the pair formula over the list walk, pass 3 against the reference above and
// against its own walk of the grid (taken when no lists match the range).
TEST_F(CrowdedCloud, BatchedPassesEqualPairByPairSums) {
  for (int32_t k = 0; k < COUNT; ++k)
    for (int axis = 0; axis < 3; ++axis) {
      ASSERT_GT(system().particles[k].position[axis], WALL_RANGE);
      ASSERT_LT(system().particles[k].position[axis], BOX_X - WALL_RANGE);
    }
  for (const auto& ranges : SPLITS) {
    SCOPED_TRACE(ranges.size());
    rebuildGrid(system());
    const std::vector<Particle> start = test::snapshotParticles();
    std::vector<float> expectedRates(COUNT, 0.0f);
    for (auto [begin, end] : ranges) addReferenceRates(system(), begin, end, expectedRates);
    for (auto [begin, end] : ranges) computeDensityRates(begin, end);
    expectRates(expectedRates, system());

    for (auto [begin, end] : ranges) updateParticleState(begin, end);
    const std::vector<Particle> afterState = test::snapshotParticles();
    for (auto [begin, end] : ranges) computeForces(begin, end);
    const std::vector<Particle> batched = test::snapshotParticles();

    // The reference, on the same state.
    std::copy(afterState.begin(), afterState.end(), system().particles);
    for (auto [begin, end] : ranges) forEachNeighbourPair(system(), begin, end, referencePairForces, referenceGravity);
    expectSameAccumulators(batched, system());

    // Same state, but a fresh grid: no lists match, so pass 3 walks the grid.
    std::copy(afterState.begin(), afterState.end(), system().particles);
    rebuildGrid(system());
    for (auto [begin, end] : ranges) computeForces(begin, end);
    expectSameAccumulators(batched, system());
    std::copy(start.begin(), start.end(), system().particles);
  }
}

// Particles added after the grid was built are in no copy the search reads:
// the pair passes then walk the grid's lists instead, as the model does.
TEST_F(CrowdedCloud, ParticlesAddedSinceTheRebuildAreWalkedLikeTheGrid) {
  rebuildGrid(system());
  addParticle(100.0f / 84.0f, 100.0f / 84.0f, 100.0f / 84.0f);  // into the ball
  const int32_t count = system().particleCount;
  std::vector<float> expectedRates(count);
  for (int32_t k = 0; k < count; ++k) expectedRates[k] = system().particles[k].densityRate;
  addReferenceRates(system(), 0, count, expectedRates);
  computeDensityRates(0, count);
  expectRates(expectedRates, system());
  const std::vector<Particle> before = test::snapshotParticles();
  computeForces(0, count);
  const std::vector<Particle> walked = test::snapshotParticles();
  std::copy(before.begin(), before.end(), system().particles);
  forEachNeighbourPair(system(), 0, count, referencePairForces, referenceGravity);
  expectSameAccumulators(walked, system());
}

}  // namespace
}  // namespace sph

namespace sph {
namespace {

// The search screens distances in float arithmetic and leaves pairs within a
// hair of h to the exact test. Pairs for which the float sum and the exact
// one fall on different sides of H2 must come out as the exact test says.
TEST(NeighbourScreen, PairsAtTheCutOffFollowTheExactTest) {
  test::FreshProgram program;
  FluidSystem& system = program.system();
  std::mt19937 random(31);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f), base(10.0f, 320.0f);
  int32_t disagreeing = 0, pairs = 0;
  for (int tries = 0; tries < 2000000 && pairs < 40; ++tries) {
    const float x = base(random), y = base(random), z = base(random);
    float u[3] = {unit(random), unit(random), unit(random)};
    const double length = std::sqrt(double(u[0]) * u[0] + double(u[1]) * u[1] + double(u[2]) * u[2]);
    float other[3];
    const float at[3] = {x, y, z};
    for (int axis = 0; axis < 3; ++axis) other[axis] = float(at[axis] + u[axis] / length * SMOOTHING_LENGTH);
    const float d[3] = {x - other[0], y - other[1], z - other[2]};
    const float floatSum = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
    const bool exact = squaredDistance(d[0], d[1], d[2]) < H2;
    if ((floatSum < H2) == exact && pairs % 2 == 0) continue;  // keep mostly the disagreeing ones
    disagreeing += (floatSum < H2) != exact;
    addParticle(0, 0, 0);
    addParticle(0, 0, 0);
    for (int axis = 0; axis < 3; ++axis) {
      system.particles[2 * pairs].position[axis] = at[axis];
      system.particles[2 * pairs + 1].position[axis] = other[axis];
    }
    ++pairs;
  }
  ASSERT_GE(disagreeing, 10);
  rebuildGrid(system);
  std::vector<std::pair<int32_t, int32_t>> expected;
  forEachNeighbourPair(
      system, 0, system.particleCount,
      [&](Particle& pi, Particle& pj, const float*, float, bool) { expected.emplace_back(pi.id, pj.id); },
      [](Particle&) {});
  test::forEachSimdBuild([&] {
    std::vector<std::pair<int32_t, int32_t>> gathered;
    test::gatherNeighbourPairs(
        system, 0, system.particleCount,
        [&](Particle& pi, Particle& pj, const float*, float, bool) { gathered.emplace_back(pi.id, pj.id); });
    EXPECT_EQ(gathered, expected);
  });
}

}  // namespace
}  // namespace sph
