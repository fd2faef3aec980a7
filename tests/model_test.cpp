// Cases the standard block never meets, which no digest can see:
// coordinates outside the grid, a density that is not a number or exactly at a limit of
// its band, a particle exactly at a wall's range, a speed exactly at the
// limit, blocks that would leave the box, an exhausted heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "solver/cell_grid.h"
#include "solver/memory.h"
#include "solver/neighbour_index.h"
#include "solver/parameters.h"
#include "solver/passes.h"
#include "support/band_powers.h"
#include "support/test_support.h"

namespace sph {
namespace {

TEST(Model, CoordinatesOutsideTheGridAreClampedIntoIt) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, int32_t> table[] = {{3.85f, 0}, {3.8500001f, 1}, {336.0f, 87}, {-0.5f, 0}, {-1e30f, 0},
                                             {1e9f, 88}, {inf, 88},       {nan, 0}};
  for (auto [coordinate, cell] : table) EXPECT_EQ(cellCoordinate(coordinate, 89), cell) << coordinate;
  // rebuildGrid's own forms of it, on a particle there along every axis.
  test::forEachSimdBuild([&] {
    for (auto [coordinate, cell] : table) {
      test::FreshProgram program;
      addParticle(0, 0, 0);
      std::fill(program.system().particles[0].position, program.system().particles[0].position + 3, coordinate);
      rebuildGrid(program.system());
      EXPECT_EQ(program.system().neighbourIndex->cellOf[0], cell * (1 + 89 + 89 * 89)) << coordinate;
    }
  });
}

// Pass 2 on one particle: a density at a limit of the band stays, anything
// beyond it (a rate that moves it out, not a number) is reset.
TEST(Model, DensityBand) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float table[][3] = {{0.35f, 0.0f, 0.35f},
                            {DENSITY_LOWER_LIMIT, 0.0f, DENSITY_LOWER_LIMIT},
                            {DENSITY_UPPER_LIMIT, 0.0f, DENSITY_UPPER_LIMIT},
                            {std::nextafter(DENSITY_LOWER_LIMIT, 0.0f), 0.0f, DENSITY_RESET},
                            {std::nextafter(DENSITY_UPPER_LIMIT, 1.0f), 0.0f, DENSITY_RESET},
                            {0.35f, -10000.0f, DENSITY_RESET},
                            {nan, 0.0f, DENSITY_RESET},
                            {0.35f, std::numeric_limits<float>::infinity(), DENSITY_RESET}};
  test::FreshProgram program;
  addParticle(0.5f, 0.5f, 0.5f);
  Particle& p = program.system().particles[0];
  for (const auto& row : table) {
    p.density = row[0];
    p.densityRate = row[1];
    updateParticleState(0, 1);
    EXPECT_BITS_EQ(row[2], p.density) << row[0] << " + rate " << row[1];
    EXPECT_TRUE(std::isfinite(p.pressure) && std::isfinite(p.soundSpeed));
  }
}

// Pass 2's seventh power is pow's for every density of the band.
TEST(Model, SeventhPowerIsPowsOverTheWholeBand) {
  const test::BandPowers powers = test::compareSeventhPowersWithPow();
  EXPECT_EQ(powers.densities, 3523215);
  EXPECT_EQ(powers.mismatches, 0) << "first at density " << powers.firstMismatch;
}

// Pass 3 on a particle alone at x: its push from the walls at 0 and 336.
TEST(Model, WallPush) {
  const std::pair<float, float> table[] = {{0.0f, 1.0f}, {2.0f, 0.024099886f}, {2.1f, 0.0f}, {333.9f, 0.0f}, {336.0f, -1.0f}};
  for (auto [x, push] : table) {
    test::FreshProgram program;
    addParticle(0, 1.0f, 1.0f);
    program.system().particles[0].position[0] = x;
    rebuildGrid(program.system());
    computeForces(0, 1);
    EXPECT_BITS_EQ(push, program.system().particles[0].velocityCorrection[0]) << x;
  }
}

// integrate on one particle: the clamp at the walls, the speed limit (v² of
// exactly 8 is kept), the position of a limited particle.
TEST(Model, Integrate) {
  struct Row {
    float position[3], previous[3], correction[3], expectedPosition[3], expectedVelocity[3];
  } const table[] = {
      {{335.5f, 100, 100}, {331.0f, 100, 100}, {}, {336.0f, 100, 100}, {1.25f, 0, 0}},
      {{100, 0.5f, 100}, {100, 1.5f, 100}, {}, {100, 0.0f, 100}, {0, -1.25f, 0}},
      {{100, 100, 100}, {98.0f, 100, 100}, {}, {101.13137f, 100, 100}, {2.8284268f, 0, 0}},
      {{334.0f, 100, 100}, {329.0f, 100, 100}, {}, {335.13138f, 100, 100}, {2.8284268f, 0, 0}},
      {{0, 0, 100}, {0, 0, 100}, {2.0f, 2.0f, 0}, {0.8f, 0.8f, 100}, {2.0f, 2.0f, 0}},
  };
  test::forEachSimdBuild([&] {
    for (const Row& row : table) {
      test::FreshProgram program;
      addParticle(0, 0, 0);
      Particle& p = program.system().particles[0];
      std::copy(row.position, row.position + 3, p.position);
      std::copy(row.previous, row.previous + 3, p.prevPosition);
      std::copy(row.correction, row.correction + 3, p.velocityCorrection);
      integrate(program.system());
      for (int axis = 0; axis < 3; ++axis) {
        EXPECT_BITS_EQ(row.expectedPosition[axis], p.position[axis]) << &row - table << " axis " << axis;
        EXPECT_BITS_EQ(row.expectedVelocity[axis], p.velocity[axis]) << &row - table << " axis " << axis;
        EXPECT_BITS_EQ(row.position[axis], p.prevPosition[axis]);
      }
    }
  });
}

// The layer limit is the box's: along each axis the last of MAX_BLOCK_LAYERS
// layers lies inside, one more would not.
TEST(Model, TheLayerLimitIsWhatFitsInTheBox) {
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  for (int axis = 0; axis < 3; ++axis) {
    for (const int32_t count : {MAX_BLOCK_LAYERS, MAX_BLOCK_LAYERS + 1}) {
      int32_t counts[3] = {1, 1, 1};
      counts[axis] = count;
      test::FreshProgram program(1, {counts[0], counts[1], counts[2]});
      EXPECT_EQ(program.system().particles[count - 1].position[axis] <= box[axis], count == MAX_BLOCK_LAYERS)
          << "axis " << axis << ", " << count << " layers";
    }
  }
}

// Running out of memory throws, naming what could not be had, and leaves a
// block being grown as it was.
TEST(Model, AnExhaustedHeapThrowsWithAMessage) {
  const std::size_t impossible = std::numeric_limits<std::size_t>::max() / 2;
  const auto message = [](auto&& allocate) {
    try {
      allocate();
    } catch (const OutOfMemory& error) {
      return std::string(error.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message([&] { allocateOrThrow(impossible, "the particle array"); }),
            "out of memory: could not allocate " + std::to_string(impossible) + " bytes for the particle array");
  auto* block = static_cast<char*>(allocateOrThrow(16, "a small block"));
  block[15] = 'x';
  EXPECT_EQ(message([&] { reallocateOrThrow(block, impossible, "the cell grid"); }),
            "out of memory: could not allocate " + std::to_string(impossible) + " bytes for the cell grid");
  EXPECT_EQ(block[15], 'x');
  EXPECT_EQ(message([&] { allocateZeroedOrThrow(impossible, 1, "cell spans"); }),
            "out of memory: could not allocate " + std::to_string(impossible) + " bytes for cell spans");
  EXPECT_EQ(message([&] { allocateAlignedOrThrow(64, impossible, "pair batches"); }),
            "out of memory: could not allocate " + std::to_string(impossible) + " bytes for pair batches");
  std::free(block);
}

}  // namespace
}  // namespace sph
