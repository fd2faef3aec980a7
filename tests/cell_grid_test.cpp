// The cell grid and the neighbour traversal: cell coordinates at the edges,
// list order, and the traversal against a brute-force enumeration of every
// pair, for one range and for several, including the order in which a
// particle's neighbours are visited (which fixes the rounding of every sum).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "solver/cell_grid.h"
#include "solver/neighbour_index.h"
#include "support/pair_walks.h"
#include "support/test_support.h"

namespace sph {
namespace {

void placeParticle(FluidSystem& system, int32_t index, float x, float y, float z) {
  Particle& p = system.particles[index];
  p.position[0] = x;
  p.position[1] = y;
  p.position[2] = z;
}

TEST(CellGrid, CellCoordinates) {
  test::FreshProgram program;
  FluidSystem& system = program.system();
  addParticle(0, 0, 0);
  placeParticle(system, 0, 10.0f, 20.0f, 30.0f);
  EXPECT_EQ(cellIndexOf(system, system.particles[0]), 55894);  // (2, 5, 7)
  // The product with INV_H, not a division by h: h itself lies in cell 0.
  EXPECT_EQ(cellCoordinate(3.85f, 89), 0);
  EXPECT_EQ(cellCoordinate(3.8500001f, 89), 1);
  EXPECT_EQ(cellCoordinate(336.0f, 89), 87);
  EXPECT_EQ(cellCoordinate(0.0f, 89), 0);
}

TEST(CellGrid, CoordinatesOutsideTheBoxAreClampedIntoTheGrid) {
  EXPECT_EQ(cellCoordinate(-0.5f, 89), 0);
  EXPECT_EQ(cellCoordinate(-1e30f, 89), 0);
  EXPECT_EQ(cellCoordinate(1e9f, 89), 88);
  EXPECT_EQ(cellCoordinate(std::numeric_limits<float>::infinity(), 89), 88);
  EXPECT_EQ(cellCoordinate(std::numeric_limits<float>::quiet_NaN(), 89), 0);
}

TEST(CellGrid, ListsRunInDescendingIndexOrder) {
  test::FreshProgram program;
  FluidSystem& system = program.system();
  for (int k = 0; k < 10; ++k) addParticle(0.5f, 0.5f, 0.5f);
  for (int k = 0; k < 10; ++k) placeParticle(system, k, 100.0f + 10.0f * float(k), 100.0f, 100.0f);
  for (int k : {3, 7, 9}) placeParticle(system, k, 50.5f, 60.5f, 70.5f);
  rebuildGrid(system);
  std::vector<int32_t> list;
  for (Particle* p = system.cellHeads[cellIndexOf(system, system.particles[3])]; p; p = p->next)
    list.push_back(p->id);
  EXPECT_EQ(list, (std::vector<int32_t>{9, 7, 3}));
}

struct Visit {
  int32_t i, j;
  bool updateJ;
};

std::vector<Visit> traverse(const FluidSystem& system, int32_t begin, int32_t end) {
  std::vector<Visit> visits;
  forEachNeighbourPair(
      system, begin, end,
      [&](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
        EXPECT_BITS_EQ(pi.position[0] - pj.position[0], d[0]);
        EXPECT_LT(r2, H2);
        visits.push_back({pi.id, pj.id, updateJ});
      },
      [](Particle&) {});
  return visits;
}

float squaredDistanceOf(const Particle& a, const Particle& b) {
  const float d[3] = {a.position[0] - b.position[0], a.position[1] - b.position[1], a.position[2] - b.position[2]};
  return float((double(d[0]) * d[0] + double(d[1]) * d[1]) + double(d[2]) * d[2]);
}

// Rank of j's cell among i's 27 neighbour cells.
int offsetRank(const FluidSystem& system, const Particle& i, const Particle& j) {
  const int dx = cellCoordinate(j.position[0], system.nx) - cellCoordinate(i.position[0], system.nx);
  const int dy = cellCoordinate(j.position[1], system.ny) - cellCoordinate(i.position[1], system.ny);
  const int dz = cellCoordinate(j.position[2], system.nz) - cellCoordinate(i.position[2], system.nz);
  for (int k = 0; k < 27; ++k)
    if (NEIGHBOUR_OFFSETS[k].dx == dx && NEIGHBOUR_OFFSETS[k].dy == dy && NEIGHBOUR_OFFSETS[k].dz == dz) return k;
  return -1;
}

class RandomCloud : public testing::Test {
 protected:
  static constexpr int32_t COUNT = 700;
  void SetUp() override {
    std::mt19937 random(12345);
    // Dense enough for many neighbours, plus a cluster against the far
    // corner, a few duplicates, and pairs exactly h apart.
    std::uniform_real_distribution<float> inner(0.0f, 24.0f), corner(322.0f, 336.0f);
    for (int32_t k = 0; k < COUNT; ++k) addParticle(0, 0, 0);
    for (int32_t k = 0; k < COUNT; ++k) {
      auto& dist = k % 5 == 0 ? corner : inner;
      placeParticle(system(), k, dist(random), dist(random), dist(random));
    }
    placeParticle(system(), 10, 336.0f, 336.0f, 336.0f);
    placeParticle(system(), 11, 0.0f, 0.0f, 0.0f);
    placeParticle(system(), 12, 3.85f, 0.0f, 0.0f);  // exactly h from 11
    placeParticle(system(), 13, 5.0f, 6.0f, 7.0f);
    placeParticle(system(), 14, 5.0f, 6.0f, 7.0f);  // same place as 13
    rebuildGrid(system());
  }
  FluidSystem& system() { return program.system(); }

  // Every unordered pair closer than h, by brute force.
  std::vector<std::pair<int32_t, int32_t>> bruteForcePairs() {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    for (int32_t i = 0; i < COUNT; ++i)
      for (int32_t j = 0; j < i; ++j)
        if (squaredDistanceOf(system().particles[i], system().particles[j]) < H2) pairs.emplace_back(i, j);
    return pairs;
  }

  test::FreshProgram program;
};

TEST_F(RandomCloud, OneRangeVisitsEachPairOnceFromItsHigherIndex) {
  const auto expected = bruteForcePairs();
  ASSERT_GT(expected.size(), 2000u);
  const std::vector<Visit> visits = traverse(system(), 0, COUNT);
  std::vector<std::pair<int32_t, int32_t>> seen;
  for (const Visit& v : visits) {
    EXPECT_GT(v.i, v.j);
    EXPECT_TRUE(v.updateJ);
    seen.emplace_back(v.i, v.j);
  }
  std::sort(seen.begin(), seen.end());
  auto sortedExpected = expected;
  std::sort(sortedExpected.begin(), sortedExpected.end());
  EXPECT_EQ(seen, sortedExpected);
  // Exactly h apart is not a pair; the same place is.
  EXPECT_FALSE(std::binary_search(seen.begin(), seen.end(), std::make_pair(12, 11)));
  EXPECT_TRUE(std::binary_search(seen.begin(), seen.end(), std::make_pair(14, 13)));
}

TEST_F(RandomCloud, NeighboursOfAParticleComeInCellTableOrderThenDescendingIndex) {
  const std::vector<Visit> visits = traverse(system(), 0, COUNT);
  std::map<int32_t, std::vector<int32_t>> visitedOf;
  for (const Visit& v : visits) visitedOf[v.i].push_back(v.j);
  for (auto& [i, order] : visitedOf) {
    std::vector<int32_t> expected = order;
    const Particle& pi = system().particles[i];
    std::sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) {
      const int ra = offsetRank(system(), pi, system().particles[a]);
      const int rb = offsetRank(system(), pi, system().particles[b]);
      return ra != rb ? ra < rb : a > b;
    });
    ASSERT_EQ(order, expected) << "particle " << i;
  }
}

TEST_F(RandomCloud, SeveralRangesGiveEachParticleEachNeighbourOnce) {
  const std::vector<std::pair<int32_t, int32_t>> ranges = {{0, 100}, {100, 101}, {101, 350}, {350, 350}, {350, COUNT}};
  // received[k] lists the neighbours whose contribution particle k receives.
  std::vector<std::vector<int32_t>> received(COUNT);
  for (auto [begin, end] : ranges) {
    for (const Visit& v : traverse(system(), begin, end)) {
      ASSERT_TRUE(v.i >= begin && v.i < end) << "i outside its range";
      EXPECT_EQ(v.updateJ, v.j >= begin && v.j < end);
      received[v.i].push_back(v.j);
      if (v.updateJ) received[v.j].push_back(v.i);
    }
  }
  std::vector<std::vector<int32_t>> expected(COUNT);
  for (auto [i, j] : bruteForcePairs()) {
    expected[i].push_back(j);
    expected[j].push_back(i);
  }
  for (int32_t k = 0; k < COUNT; ++k) {
    std::sort(received[k].begin(), received[k].end());
    std::sort(expected[k].begin(), expected[k].end());
    ASSERT_EQ(received[k], expected[k]) << "particle " << k;
  }
}

TEST(NeighbourPairs, RangesSplitAPairByOwnership) {
  test::FreshProgram program;
  FluidSystem& system = program.system();
  for (int k = 0; k < 10; ++k) addParticle(0, 0, 0);
  // Far apart on a line, except the pairs (2, 4), both in [0, 5), and
  // (3, 7), across [0, 5) and [5, 10).
  for (int k = 0; k < 10; ++k) placeParticle(system, k, 30.0f * float(k + 1), 100.0f, 100.0f);
  placeParticle(system, 2, 151.0f, 100.0f, 100.0f);
  placeParticle(system, 4, 150.5f, 100.0f, 100.0f);
  placeParticle(system, 3, 200.0f, 100.0f, 100.0f);
  placeParticle(system, 7, 200.0f, 101.0f, 100.0f);
  rebuildGrid(system);
  const auto first = traverse(system, 0, 5);
  const auto second = traverse(system, 5, 10);
  ASSERT_EQ(first.size(), 2u);
  // (3, 7) from the first range: only 3 is updated.
  EXPECT_EQ(first[0].i, 3);
  EXPECT_EQ(first[0].j, 7);
  EXPECT_FALSE(first[0].updateJ);
  // (4, 2) is seen once, from its higher index, and updates both.
  EXPECT_EQ(first[1].i, 4);
  EXPECT_EQ(first[1].j, 2);
  EXPECT_TRUE(first[1].updateJ);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].i, 7);
  EXPECT_EQ(second[0].j, 3);
  EXPECT_FALSE(second[0].updateJ);
  EXPECT_TRUE(traverse(system, 6, 6).empty());
  EXPECT_TRUE(traverse(system, 6, 2).empty());
}

}  // namespace
}  // namespace sph

namespace sph {
namespace {

std::vector<Visit> gathered(FluidSystem& system, int32_t begin, int32_t end) {
  std::vector<Visit> visits;
  test::gatherNeighbourPairs(system, begin, end,
                             [&](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
                               EXPECT_BITS_EQ(pi.position[2] - pj.position[2], d[2]);
                               EXPECT_BITS_EQ(squaredDistance(d[0], d[1], d[2]), r2);
                               visits.push_back({pi.id, pj.id, updateJ});
                             });
  return visits;
}

bool sameVisits(const std::vector<Visit>& a, const std::vector<Visit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (a[k].i != b[k].i || a[k].j != b[k].j || a[k].updateJ != b[k].updateJ) return false;
  return true;
}

// The fast search must find exactly the pairs of the list walk, in the same
// order, for any split into ranges; and pass 3 must replay them in order.
TEST_F(RandomCloud, GatheredPairsEqualTheListWalk) {
  // Some particles outside the box too: their cells are clamped the same way.
  placeParticle(system(), 20, -3.0f, 10.0f, 10.0f);
  placeParticle(system(), 21, 340.0f, 335.0f, 336.0f);
  rebuildGrid(system());
  const std::vector<std::pair<int32_t, int32_t>> splits[] = {
      {{0, COUNT}}, {{0, 100}, {100, 101}, {101, 350}, {350, COUNT}}, {{0, 233}, {233, 466}, {466, COUNT}}};
  test::forEachSimdBuild([&] {
    for (const auto& ranges : splits) {
      for (auto [begin, end] : ranges) {
        SCOPED_TRACE(testing::Message() << "[" << begin << ", " << end << ")");
        const std::vector<Visit> expected = traverse(system(), begin, end);
        ASSERT_TRUE(sameVisits(gathered(system(), begin, end), expected));
        std::vector<Visit> replayed;
        std::vector<int32_t> finished;
        test::replayNeighbourPairs(
            system(), begin, end,
            [&](Particle& pi, Particle& pj, const float*, float, bool updateJ) {
              replayed.push_back({pi.id, pj.id, updateJ});
            },
            [&](Particle& pi) { finished.push_back(pi.id); });
        EXPECT_TRUE(sameVisits(replayed, expected));
        EXPECT_EQ(finished.size(), std::size_t(end - begin));
      }
    }
  });
}

TEST_F(RandomCloud, ReplayWithoutMatchingListsWalksTheGrid) {
  const std::vector<Visit> expected = traverse(system(), 0, 300);
  auto replay = [&](int32_t begin, int32_t end) {
    std::vector<Visit> visits;
    test::replayNeighbourPairs(
        system(), begin, end,
        [&](Particle& pi, Particle& pj, const float*, float, bool updateJ) {
          visits.push_back({pi.id, pj.id, updateJ});
        },
        [](Particle&) {});
    return visits;
  };
  EXPECT_TRUE(sameVisits(replay(0, 300), expected));  // nothing gathered yet
  gathered(system(), 0, 200);
  EXPECT_TRUE(sameVisits(replay(0, 300), expected));  // gathered for another range
  gathered(system(), 0, 300);
  rebuildGrid(system());
  EXPECT_TRUE(sameVisits(replay(0, 300), expected));  // gathered on an older grid
}

TEST_F(RandomCloud, RebuildEmptiesCellsThatWereLeft) {
  // Move every particle somewhere else and rebuild: each cell's list must
  // hold exactly the particles now in it, none of the old occupants.
  std::mt19937 random(99);
  std::uniform_real_distribution<float> far(100.0f, 130.0f);
  for (int32_t k = 0; k < COUNT; ++k) placeParticle(system(), k, far(random), far(random), far(random));
  rebuildGrid(system());
  std::map<int32_t, std::vector<int32_t>> expected;
  for (int32_t k = COUNT - 1; k >= 0; --k) expected[cellIndexOf(system(), system().particles[k])].push_back(k);
  const int32_t cells = system().nxy * system().nz;
  int32_t occupied = 0;
  for (int32_t cell = 0; cell < cells; ++cell) {
    if (system().cellHeads[cell] == nullptr) continue;
    ++occupied;
    std::vector<int32_t> list;
    for (Particle* p = system().cellHeads[cell]; p; p = p->next) list.push_back(p->id);
    ASSERT_EQ(list, expected[cell]) << "cell " << cell;
  }
  EXPECT_EQ(occupied, int32_t(expected.size()));
}

}  // namespace
}  // namespace sph
