// Acceleration structures kept beside the cell grid. They change how fast
// neighbours are found, never which neighbours or in what order, so every
// sum comes out bit-identical to a walk of the linked cell lists.
//
// - A cell-sorted copy of what the neighbour search reads (x, y, z, id),
//   laid out cell by cell with each cell in list order (descending index),
//   so that scanning a cell reads a few contiguous floats instead of chasing
//   `next` through 112-byte records. rebuildGrid refreshes it.
// - The occupied cells of the last rebuild, so the next rebuild clears only
//   those heads instead of all 704969.
// - Per-range neighbour lists: pass 1 gathers, for every particle i of its
//   range, the neighbours j that the traversal admits, in visit order. The
//   positions do not change until integrate, so pass 3 of the same step and
//   range replays the lists instead of searching again. Lists are filed
//   under their range's first index, which no other non-empty range of the
//   same pass shares, so workers never touch each other's lists.
#pragma once

#include <cstdint>

#include "cell_grid.h"
#include "fluid_system.h"

namespace sph {

struct CellSpan {
  int32_t begin, end;  // positions in the cell-sorted arrays
};

struct RangeNeighbours {
  int32_t begin, end;    // the range the lists were gathered for
  uint32_t generation;   // the grid they belong to; 0 = never gathered
  int32_t* neighbours;   // j indices, particle by particle, each in visit order
  int32_t* listEnds;     // per particle of the range: end of its list
  int32_t neighbourCapacity;
  int32_t listEndCapacity;
};

struct NeighbourIndex {
  uint32_t generation;  // advanced by every rebuildGrid, never 0
  int32_t particleCapacity;
  // Cell-sorted copies: cell by cell, each cell in list order.
  float* x;
  float* y;
  float* z;
  int32_t* id;
  CellSpan* spans;  // per cell; meaningful only where cellHeads is non-null
  int32_t* occupied;  // cells given a head by the last rebuild
  int32_t occupiedCount;
  bool headsCleared;  // false until the first rebuild has cleared every head
  RangeNeighbours* ranges;  // filed by range begin; particleCapacity entries
  int32_t offsetDeltas[27];  // NEIGHBOUR_OFFSETS as cell index differences
};

NeighbourIndex* createNeighbourIndex(const FluidSystem& grid);
void destroyNeighbourIndex(NeighbourIndex* index);

// Makes room for `particleCount` particles (main thread, between passes).
void reserveNeighbourIndex(NeighbourIndex& index, int32_t particleCount);

// The lists gathered for exactly [begin, end) on the current grid, or null.
const RangeNeighbours* gatheredNeighbours(const NeighbourIndex& index, int32_t begin, int32_t end);

// The lists of [begin, end) (begin < end), emptied and filed for gathering
// on the current grid; only the worker of that range may call this.
RangeNeighbours& startGathering(NeighbourIndex& index, int32_t begin, int32_t end);
// Makes room for `count` more neighbours after the first `used`.
void reserveNeighbours(RangeNeighbours& lists, int32_t used, int32_t count);

// Squared distances are first screened in float with a margin far above
// float's rounding error (a few units in the last place), so every pair the
// exact double-precision test accepts passes the screen; the exact test then
// decides.
inline constexpr float H2_SCREEN = H2 * 1.0001f;

// Appends to `out` every j of sorted positions [from, to) whose float
// squared distance from (xi, yi, zi) passes the screen. Branch-free: each
// candidate is written and kept by advancing the count.
inline int32_t screenCandidates(const NeighbourIndex& index, int32_t from, int32_t to, float xi, float yi,
                                float zi, int32_t* out, int32_t used) {
  for (int32_t k = from; k < to; ++k) {
    const float dx = xi - index.x[k], dy = yi - index.y[k], dz = zi - index.z[k];
    out[used] = index.id[k];
    used += int32_t(dx * dx + dy * dy + dz * dz < H2_SCREEN);
  }
  return used;
}

// How many ids of a cell's span are at least `value`. The ids descend, so
// most cells are decided by their first and last id alone.
inline int32_t countIdsAtLeast(const NeighbourIndex& index, CellSpan span, int32_t value) {
  if (index.id[span.begin] < value) return 0;
  if (index.id[span.end - 1] >= value) return span.end - span.begin;
  int32_t count = 0;
  for (int32_t k = span.begin; k < span.end; ++k) count += int32_t(index.id[k] >= value);
  return count;
}

// Gathers the lists of [begin, end) from the cell-sorted copies and calls
// pairAction(i, j, d, r2, updateJ) for each pair in visit order: the same
// pairs, in the same order, with the same d and r2 as forEachNeighbourPair.
template <class PairAction>
void gatherNeighbourPairs(FluidSystem& system, int32_t begin, int32_t end, PairAction&& pairAction) {
  if (begin >= end) return;
  NeighbourIndex& index = *system.neighbourIndex;
  RangeNeighbours& lists = startGathering(index, begin, end);
  Particle* const particles = system.particles;
  const uint32_t nx = uint32_t(system.nx), ny = uint32_t(system.ny), nz = uint32_t(system.nz);
  int32_t used = 0;
  for (int32_t i = begin; i < end; ++i) {
    Particle& pi = particles[i];
    const float xi = pi.position[0], yi = pi.position[1], zi = pi.position[2];
    const int32_t cx = cellCoordinate(xi, system.nx);
    const int32_t cy = cellCoordinate(yi, system.ny);
    const int32_t cz = cellCoordinate(zi, system.nz);
    const int32_t home = cx + cy * system.nx + cz * system.nxy;
    // Away from the grid's faces all 27 cells exist and need no test.
    const bool interior = uint32_t(cx - 1) < nx - 2 && uint32_t(cy - 1) < ny - 2 && uint32_t(cz - 1) < nz - 2;
    const int32_t listStart = used;
    for (int32_t k = 0; k < 27; ++k) {
      if (!interior) {
        const CellOffset offset = NEIGHBOUR_OFFSETS[k];
        const uint32_t ax = uint32_t(cx + offset.dx), ay = uint32_t(cy + offset.dy), az = uint32_t(cz + offset.dz);
        if (ax >= nx || ay >= ny || az >= nz) continue;  // also catches -1
      }
      const int32_t cell = home + index.offsetDeltas[k];
      if (system.cellHeads[cell] == nullptr) continue;
      const CellSpan span = index.spans[cell];
      if (lists.neighbourCapacity - used < span.end - span.begin)
        reserveNeighbours(lists, used, span.end - span.begin);
      // A cell holds descending ids, so the ids the ownership rule admits
      // (j >= end, or j < i) are a prefix and a suffix of its span.
      const int32_t atLeastEnd = countIdsAtLeast(index, span, end);
      const int32_t atLeastI = countIdsAtLeast(index, span, i);
      used = screenCandidates(index, span.begin, span.begin + atLeastEnd, xi, yi, zi, lists.neighbours, used);
      used = screenCandidates(index, span.begin + atLeastI, span.end, xi, yi, zi, lists.neighbours, used);
    }
    // The exact test, then the pair action; the list keeps only true pairs.
    int32_t kept = listStart;
    for (int32_t n = listStart; n < used; ++n) {
      const int32_t j = lists.neighbours[n];
      Particle& pj = particles[j];
      const float d[3] = {xi - pj.position[0], yi - pj.position[1], zi - pj.position[2]};
      const float r2 = squaredDistance(d[0], d[1], d[2]);
      if (!(r2 < H2)) continue;
      lists.neighbours[kept++] = j;
      pairAction(pi, pj, d, r2, j >= begin && j < end);
    }
    used = kept;
    lists.listEnds[i - begin] = used;
  }
}

// Replays the lists gathered for [begin, end) on the current grid: the
// pairs of every particle i in visit order, then particleWork(i). Falls back
// to a fresh traversal when no such lists exist.
template <class PairAction, class ParticleWork>
void replayNeighbourPairs(FluidSystem& system, int32_t begin, int32_t end, PairAction&& pairAction,
                          ParticleWork&& particleWork) {
  const RangeNeighbours* lists = gatheredNeighbours(*system.neighbourIndex, begin, end);
  if (lists == nullptr) {
    forEachNeighbourPair(system, begin, end, pairAction, particleWork);
    return;
  }
  Particle* const particles = system.particles;
  int32_t n = 0;
  for (int32_t i = begin; i < end; ++i) {
    Particle& pi = particles[i];
    for (const int32_t listEnd = lists->listEnds[i - begin]; n < listEnd; ++n) {
      const int32_t j = lists->neighbours[n];
      Particle& pj = particles[j];
      const float d[3] = {pi.position[0] - pj.position[0], pi.position[1] - pj.position[1],
                          pi.position[2] - pj.position[2]};
      pairAction(pi, pj, d, squaredDistance(d[0], d[1], d[2]), j >= begin && j < end);
    }
    particleWork(pi);
  }
}

}  // namespace sph
