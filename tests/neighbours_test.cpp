// The neighbour search and the pair passes on a cloud that no standard block
// meets: lists longer than a pair batch, loners with empty lists (more in a
// row than a batch holds), two particles at one place, a pair exactly h
// apart, particles outside the box. The gathered lists and the batched walk
// must visit what the walk of the cell lists visits (the same pairs, order,
// ownership and bits of d and r²), which must be the pairs a brute-force
// search finds; the batched passes must sum to the bits of one pair at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "solver/cell_grid.h"
#include "solver/neighbour_index.h"
#include "solver/passes.h"
#include "support/test_support.h"

namespace sph {
namespace {

using test::floatBits;
// i, j, the bits of d and r², updateJ; j = -1 marks particleWork(i).
using Visit = std::array<uint32_t, 7>;
using Visits = std::vector<Visit>;
using Split = std::vector<std::pair<int32_t, int32_t>>;

Visit visitOf(const Particle& pi, const Particle& pj, const float d[3], float r2, bool updateJ) {
  return {uint32_t(pi.id), uint32_t(pj.id), floatBits(d[0]), floatBits(d[1]), floatBits(d[2]), floatBits(r2), updateJ};
}
auto recordInto(Visits& visits) {
  return [&visits](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
    visits.push_back(visitOf(pi, pj, d, r2, updateJ));
  };
}
auto markInto(Visits& visits) {
  return [&visits](Particle& pi) { visits.push_back({uint32_t(pi.id), uint32_t(-1), 0, 0, 0, 0, 0}); };
}

Visits batchedVisits(FluidSystem& system, RangeNeighbours& lists) {
  Visits visits;
  walkPairBatches(
      system, lists, [](int32_t, const Particle&) {}, [](int32_t, int32_t, const Particle&) {},
      [](PairBatch&, int32_t) {},
      [&](Particle& pi, int32_t first, int32_t last) {
        for (const PairBatch& b = *lists.batch; first < last; ++first) {
          const float d[3] = {b.dx[first], b.dy[first], b.dz[first]};
          const int32_t j = b.j[first];
          recordInto(visits)(pi, system.particles[j], d, b.r2[first], j >= lists.begin && j < lists.end);
        }
      },
      markInto(visits));
  return visits;
}

class Cloud : public testing::Test {
 protected:
  static constexpr int32_t MIXED = 660, COUNT = MIXED + 300, PLACED = 8;
  void SetUp() override {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> ball(-1.0f, 1.0f), anywhere(5.0f, 330.0f), velocity(-1.0f, 1.0f);
    for (int32_t k = 0; k < COUNT; ++k) {
      addParticle(0, 0, 0);
      Particle& p = system().particles[k];
      p.density = DENSITY_RESET;
      p.mass = 2.3718755f;
      const int32_t m = k - MIXED;  // the last 300: loners on a lattice 5 apart
      const float lattice[3] = {150.0f + 5.0f * float(m % 10), 200.0f + 5.0f * float(m / 10 % 10),
                                250.0f + 5.0f * float(m / 100)};
      for (int axis = 0; axis < 3; ++axis) {  // before them, a ball with a loner every eleventh
        p.position[axis] = m >= 0 ? lattice[axis] : k % 11 ? 100.0f + ball(random) : anywhere(random);
        p.velocity[axis] = m >= 0 ? 0.0f : velocity(random);
      }
    }
    // Loners placed: a pair exactly h apart; outside the box and in the
    // grid's first and last cells, whose neighbour cells reach the ends of
    // the spans' margins; a particle off the x = 0 face whose cell (-1, 0, 0)
    // wraps onto the far side's cell of the next one, (340, 1, 5).
    const float places[][3] = {{3.85f, 100, 100}, {7.7f, 100, 100}, {-3, 1, 1},  {340, 335, 336},
                               {0.5f, 1, 1},      {1, 5, 5},        {340, 1, 5}, {340, 340, 340}};
    for (int32_t k = 0; k < PLACED; ++k) std::copy(places[k], places[k] + 3, system().particles[11 * k].position);
    std::copy(system().particles[49].position, system().particles[49].position + 3, system().particles[50].position);
    rebuildGrid(system());
    start = test::snapshotParticles();
  }
  FluidSystem& system() { return program.system(); }
  test::FreshProgram program;
  std::vector<Particle> start;
};

// Ranges of one, and the split of three workers, whose lists pass 3 replays.
const Split SPLITS[] = {{{0, 960}}, {{0, 1}, {1, 300}, {300, 301}, {301, 960}}, {{0, 320}, {320, 640}, {640, 960}}};

TEST_F(Cloud, WalksVisitWhatTheBruteForceSearchFinds) {
  for (const Split& split : SPLITS) {
    for (auto [begin, end] : split) {
      SCOPED_TRACE(testing::Message() << "[" << begin << ", " << end << ")");
      Visits walked, found;
      forEachNeighbourPair(system(), begin, end, recordInto(walked), markInto(walked));
      for (Particle* pi = system().particles + begin; pi < system().particles + end; ++pi)
        for (Particle* pj = system().particles; pj < system().particles + COUNT; ++pj) {
          const float d[3] = {pi->position[0] - pj->position[0], pi->position[1] - pj->position[1],
                              pi->position[2] - pj->position[2]};
          const bool inRange = pj->id >= begin && pj->id < end;
          if (pj != pi && (pj < pi || !inRange) && squaredDistance(d[0], d[1], d[2]) < H2)
            found.push_back(visitOf(*pi, *pj, d, squaredDistance(d[0], d[1], d[2]), inRange));
        }
      Visits pairs;
      std::copy_if(walked.begin(), walked.end(), std::back_inserter(pairs), [](const Visit& v) { return v[1] != ~0u; });
      std::sort(pairs.begin(), pairs.end());
      EXPECT_TRUE(pairs == found);
      test::forEachSimdBuild([&] {
        RangeNeighbours& lists = gatherNeighbourLists(system(), begin, end);
        EXPECT_EQ(gatheredNeighbours(*system().neighbourIndex, begin, end), &lists);  // what pass 3 replays
        EXPECT_TRUE(batchedVisits(system(), lists) == walked);
      });
    }
  }
  Visits all;
  forEachNeighbourPair(system(), 0, COUNT, recordInto(all), [](Particle&) {});
  auto visited = [&](uint32_t i, uint32_t j) {
    return std::any_of(all.begin(), all.end(), [&](const Visit& v) { return v[0] == i && v[1] == j; });
  };
  EXPECT_TRUE(visited(50, 49) && visited(44, 22) && !visited(11, 0));  // one place, outside, exactly h
  const RangeNeighbours& lists = gatherNeighbourLists(system(), 0, COUNT);
  EXPECT_GT(lists.listEnds[600] - lists.listStarts[600], 2 * PAIR_BATCH);
  EXPECT_EQ(gatheredNeighbours(*system().neighbourIndex, 0, 100), nullptr);  // never gathered
  rebuildGrid(system());
  EXPECT_EQ(gatheredNeighbours(*system().neighbourIndex, 0, COUNT), nullptr);  // an older grid
  // Particles that leave their cells, some for cells left empty, one for the
  // ball's crowded cell and back out, between rebuilds: the next lists must
  // know only the new cells.
  for (int step = 0; step < 3; ++step) {
    for (int32_t k = MIXED; k < COUNT; k += 7) system().particles[k].position[step] += 4.0f;
    std::swap(system().particles[5].position, system().particles[MIXED + 1].position);
    rebuildGrid(system());
    Visits walked;
    forEachNeighbourPair(system(), 0, COUNT, recordInto(walked), markInto(walked));
    EXPECT_TRUE(batchedVisits(system(), gatherNeighbourLists(system(), 0, COUNT)) == walked) << "step " << step;
  }
}

// The passes one pair at a time, written out from the model's formulas with
// branches, sharing no code with the batched passes but the rate term. A
// pair at one place has no direction: no rate, no pressure, no viscosity.
void referenceRate(Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
  if (r2 == 0.0f) return;
  const float f = densityRateTerm(d[0], d[1], d[2], r2, double(pi.velocity[0]) - double(pj.velocity[0]),
                                  double(pi.velocity[1]) - double(pj.velocity[1]),
                                  double(pi.velocity[2]) - double(pj.velocity[2]));
  pi.densityRate = float(double(pj.mass) * double(f) + double(pi.densityRate));
  if (updateJ) pj.densityRate = float(double(f) * double(pi.mass) + double(pj.densityRate));
}
void referenceForces(Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
  const float q = float(double(H2) - double(r2));
  const float w[3] = {pj.velocity[0] - pi.velocity[0], pj.velocity[1] - pi.velocity[1], pj.velocity[2] - pi.velocity[2]};
  const float kernel = float(((double(q) * double(POLY6)) * double(q)) * double(q));
  const float meanInvDensity = float(2.0 / (double(pj.density) + double(pi.density)));
  if (r2 != 0.0f) {
    const float r = std::sqrt(r2);
    const float a = float(double(SMOOTHING_LENGTH) - double(r));
    float p = float(double(pj.pressure) * double(pj.invDensitySq) + double(pi.pressure) * double(pi.invDensitySq));
    const float u = float((-double(d[0]) * double(w[0]) - double(d[1]) * double(w[1])) - double(d[2]) * double(w[2]));
    if (u < 0.0f) {
      const float mu = float((double(u) * double(SMOOTHING_LENGTH)) / (double(r2) + 20.0));
      const double soundSpeedSum = double(pj.soundSpeed) + double(pi.soundSpeed);
      p = float((double(mu) * (double(mu) + double(mu)) - (soundSpeedSum * double(mu)) * 0.5) * double(meanInvDensity) +
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

// The three passes over the ranges of `split`, batched (way 0), with pass 3
// walking the grid for want of lists (way 1), or one pair at a time (way 2);
// with a particle added after the grid was built, both pair passes walk it.
TEST_F(Cloud, BatchedPassesSumAsOnePairAtATime) {
  std::vector<uint32_t> rates;
  auto passes = [&](Split split, int way, bool added) {
    system().particleCount = nextParticleId = COUNT;
    system().threadCount = int32_t(split.size());
    std::copy(start.begin(), start.end(), system().particles);
    rebuildGrid(system());
    if (added) addParticle(100.0f / 84.0f, 100.0f / 84.0f, 100.0f / 84.0f);  // into the ball
    split.back().second = system().particleCount;
    for (auto [begin, end] : split)
      way == 2 ? forEachNeighbourPair(system(), begin, end, referenceRate, [](Particle&) {}) : computeDensityRates(begin, end);
    rates.clear();  // before pass 2 keeps them in the band and clears them
    for (int32_t k = 0; k < system().particleCount; ++k) rates.push_back(floatBits(system().particles[k].densityRate));
    for (auto [begin, end] : split) updateParticleState(begin, end);
    if (way == 1) rebuildGrid(system());
    for (auto [begin, end] : split)
      way == 2 ? forEachNeighbourPair(system(), begin, end, referenceForces, referenceGravity) : computeForces(begin, end);
    return test::snapshotParticles();
  };
  for (bool added : {false, true})
    for (const Split& split : SPLITS) {
      const std::vector<Particle> expected = passes(split, 2, added);
      const std::vector<uint32_t> expectedRates = rates;
      for (int way = 0; way < (added ? 1 : 2); ++way) test::forEachSimdBuild([&] {  // a rebuild would take the added one in
        const std::vector<Particle> actual = passes(split, way, added);
        ASSERT_TRUE(rates == expectedRates) << "way " << way << " split " << split.size() << (added ? " added" : "");
        for (std::size_t k = 0; k < expected.size(); ++k) {
          if (k % 11 == 0 && k >= 22 && k < 11 * PLACED) continue;  // pushed by the walls, which the reference leaves out
          const float* e = &expected[k].velocityCorrection[0];  // velocityCorrection, acceleration, density
          const float* a = &actual[k].velocityCorrection[0];
          for (int field = 0; field < 7; ++field)
            ASSERT_EQ(floatBits(e[field]), floatBits(a[field])) << "particle " << k << " field " << field << " way " << way << " split " << split.size() << (added ? " added" : "");
        }
      });
    }
}

// The search screens distances in float and leaves pairs within a hair of h
// to the exact test; pairs whose float and exact r² fall on either side of h²
// must come out as the exact test says.
TEST(NeighbourScreen, PairsAtTheCutOffFollowTheExactTest) {
  test::FreshProgram program;
  std::mt19937 random(31);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f), base(10.0f, 320.0f);
  int32_t disagreeing = 0;
  for (int tries = 0; tries < 2000000 && program.system().particleCount < 80; ++tries) {
    const float at[3] = {base(random), base(random), base(random)}, u[3] = {unit(random), unit(random), unit(random)};
    const double length = std::sqrt(double(u[0]) * u[0] + double(u[1]) * u[1] + double(u[2]) * u[2]);
    float other[3], d[3];
    for (int axis = 0; axis < 3; ++axis) {
      other[axis] = float(at[axis] + u[axis] / length * SMOOTHING_LENGTH);
      d[axis] = at[axis] - other[axis];
    }
    const bool disagrees = ((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2] < H2) != (squaredDistance(d[0], d[1], d[2]) < H2);
    if (!disagrees && program.system().particleCount % 4 == 0) continue;  // mostly the disagreeing ones
    disagreeing += disagrees;
    for (const float* position : {static_cast<const float*>(at), static_cast<const float*>(other)}) {
      addParticle(0, 0, 0);
      std::copy(position, position + 3, program.system().particles[program.system().particleCount - 1].position);
    }
  }
  ASSERT_GE(disagreeing, 10);
  rebuildGrid(program.system());
  Visits walked;
  forEachNeighbourPair(program.system(), 0, program.system().particleCount, recordInto(walked), markInto(walked));
  test::forEachSimdBuild([&] {
    RangeNeighbours& lists = gatherNeighbourLists(program.system(), 0, program.system().particleCount);
    EXPECT_TRUE(batchedVisits(program.system(), lists) == walked);
  });
}

}  // namespace
}  // namespace sph
