// Acceleration structures kept beside the cell grid. They change how fast
// neighbours are found and summed, never which neighbours or in what order,
// so every sum comes out bit-identical to a walk of the linked cell lists.
//
// - A cell-sorted copy of what the neighbour search reads (x, y, z, id),
//   laid out cell by cell with each cell in list order (descending index),
//   so that scanning a cell reads a few contiguous floats instead of chasing
//   `next` through 112-byte records. rebuildGrid refreshes it by a counting
//   sort.
// - The occupied cells of the last rebuild, so the next rebuild clears only
//   those heads instead of all 704969.
// - The cells' spans sit inside a margin of nxy + nx + 1 empty spans on each
//   side, so the 27 cells around any cell are looked up without bounds
//   tests: below the first z layer or above the last the index falls into
//   the margin; off an x or y face it wraps onto a real cell on the far side
//   of the box, at least 87 cells away, whose particles the distance screen
//   drops like any other far candidate. Empty cells are then passed over
//   without a branch, and a cell's candidates copied eight at a time.
// - Per-range neighbour lists: pass 1 gathers, for every particle i of its
//   range, the neighbours j that the traversal admits, in visit order. It
//   works cell by cell: a cell's candidates (the particles of its 27
//   neighbour cells, in visit order) are collected once and screened for
//   each of its particles with branch-free SIMD compares of distance and
//   ownership (candidate_screen.h), since branches on short, irregular cell
//   lists mispredict more than the arithmetic costs. The positions do not
//   change until integrate, so pass 3 of the same step and range replays
//   the lists instead of searching again. Lists are filed under their
//   worker's number, which is the range's first index divided by the
//   split's chunk (particles / workers, parallel/run_parallel.h): the
//   non-empty ranges of one pass have different numbers, so workers never
//   touch each other's lists, and the scratch grows with the workers, not
//   with the particles. A range of another split (a test or benchmark
//   calling a pass directly, one range at a time) still finds only its own
//   lists: they are filed with their range, and a lookup for another range
//   finds none and gathers anew.
// - Both pair passes walk the lists in batches (walkPairBatches below): the
//   pair terms of a batch are computed at once in SIMD loops
//   (pair_terms.h), then summed pair by pair in visit order.
// - The pair passes read a neighbour j's position, velocity and mass from
//   its particle record; the batch carries mass(j), so the in-order sums do
//   not read j again. The density rates are summed in a 4-byte array of
//   their own, taken from the range's particles when the density pass
//   starts on it and put back when it ends; in between only that pass's
//   worker writes them (a pair updates j only when j is in its range), the
//   same ownership as the particles'. Compact per-particle copies of what
//   the passes read of j were tried: a 32-byte record of position,
//   velocity and mass bought 1 to 3 % at 16000 particles but took the
//   peak memory at 4096000 past its bound; the force pass's density, sound
//   speed and pressure term (16 bytes), and the force sums kept apart like
//   the rates (32), bought nothing measurable. So all of it stays in the
//   particles.
#pragma once

#include <cstdint>

#include "cell_grid.h"
#include "fluid_system.h"
#include "pair_terms.h"

namespace sph {

struct CellSpan {
  int32_t begin, end;  // positions in the cell-sorted arrays
};

struct RangeNeighbours {
  int32_t begin, end;   // the range the lists were gathered for
  uint32_t generation;  // the grid they belong to; 0 = never gathered
  // j indices, list by list, each list in visit order, with room for PIECE
  // more after the last (see copyListPiece).
  int32_t* neighbours;
  int32_t* listStarts;  // per particle of the range: its list in `neighbours`
  int32_t* listEnds;
  int32_t neighbourCapacity;
  int32_t listCapacity;
  // Scratch: the candidates of one cell (its 27 neighbour cells' particles
  // in visit order), padded to whole screen groups.
  float* candidateX;
  float* candidateY;
  float* candidateZ;
  int32_t* candidateId;
  int32_t candidateCapacity;
  PairBatch* batch;  // scratch of the pair passes
};

struct NeighbourIndex {
  uint32_t generation;  // advanced by every rebuildGrid, never 0
  int32_t particleCapacity;
  // Cell-sorted copies: cell by cell, each cell in list order.
  float* x;
  float* y;
  float* z;
  int32_t* id;
  // Per cell; empty ({0, 0}) where cellHeads is null. Inside a zeroed block
  // with nxy + nx + 1 empty spans before and after the grid (see above).
  CellSpan* spans;
  CellSpan* spanBlock;  // the allocation
  int32_t* occupied;  // cells given a head by the last rebuild
  int32_t* cellOf;    // per particle: its cell in the last rebuild
  // Per particle: the density rate while the density pass sums it. Kept
  // apart from the particles so that the updates to a neighbour's rate touch
  // 4 bytes of a small array rather than a 112-byte record.
  float* densityRates;
  int32_t occupiedCount;
  int32_t indexedCount;  // particles the last rebuild saw
  RangeNeighbours* workers;  // filed by worker number; workerCapacity entries
  int32_t workerCapacity;
  int32_t workerCount;       // the threadCount of the last rebuild, at least 1
  int32_t offsetDeltas[27];  // NEIGHBOUR_OFFSETS as cell index differences
};

NeighbourIndex* createNeighbourIndex(const FluidSystem& grid);
void destroyNeighbourIndex(NeighbourIndex* index);

// Makes room for `particleCount` particles and the lists of `threadCount`
// workers (main thread, between passes).
void reserveNeighbourIndex(NeighbourIndex& index, int32_t particleCount, int32_t threadCount);

// Whether the last rebuildGrid saw every particle of [0, end): otherwise
// particles were added since, and the lists cannot be used.
inline bool coversRange(const NeighbourIndex& index, int32_t end) { return end <= index.indexedCount; }

// The lists gathered for exactly [begin, end) on the current grid, or null.
RangeNeighbours* gatheredNeighbours(NeighbourIndex& index, int32_t begin, int32_t end);

// Builds, for every particle i of [begin, end) (begin < end), the list of
// neighbours j that the traversal admits, in visit order, and files the
// lists for this range and grid. Only the worker of that range may call it.
// It reads the copies rebuildGrid made, so the particles (their count and
// positions) must be as they were at the last rebuildGrid, as they are in a
// step; end must not exceed the particle count then (see coversRange).
// Works cell by cell: the candidates of a cell are collected once and
// screened for each of its particles, a SIMD group at a time.
RangeNeighbours& gatherNeighbourLists(FluidSystem& system, int32_t begin, int32_t end);

// Walks the lists gathered for `lists`' range in batches of pairs. For each
// batch it records every pair's j and run (the batch's runs are the is whose
// pairs it holds, in order: run m is particle firstI + m), copying each list
// sixteen js at a time (so that no loop's length depends on one list's,
// whose end would mispredict); calls prepareRun(m, pi) for each run, where
// the pass takes what its pairs read of i into the batch's run arrays once;
// then, in one flat loop over the pairs, records d and mass(j) and calls
// fill(k, m, pj) for pair k's pass-specific inputs; then forms every r2 and
// calls compute(batch, count) for all pairs at once; then calls
// sumPairs(pi, first, last) for each run of consecutive batch pairs that
// belong to one i, in visit order, with particleWork(pi) after each i's last
// pair: the same pairs, order, d and r2 as forEachNeighbourPair. (Handing
// the pass a whole run lets it keep i's sums in registers.)
template <class PrepareRun, class Fill, class Compute, class SumPairs, class ParticleWork>
__attribute__((always_inline)) inline void walkPairBatches(FluidSystem& system, RangeNeighbours& lists,
                                                           PrepareRun&& prepareRun, Fill&& fill, Compute&& compute,
                                                           SumPairs&& sumPairs, ParticleWork&& particleWork) {
  const int32_t begin = lists.begin, end = lists.end;
  PairBatch& batch = *lists.batch;
  Particle* const particles = system.particles;
  int32_t i = begin;
  int32_t n = lists.listStarts[0];  // the next pair of i's list
  while (i < end) {
    // Record pairs until the batch is full; an i whose list does not fit
    // goes on in the next batch.
    const int32_t firstI = i;
    int32_t count = 0, completed = 0;
    while (i < end && count < PAIR_BATCH && completed < PAIR_BATCH) {
      const int32_t stop = lists.listEnds[i - begin];
      const int32_t room = PAIR_BATCH - count;
      const int32_t take = stop - n < room ? stop - n : room;
      copyListPiece(batch, count, lists.neighbours + n, completed, take);
      count += take;
      n += take;
      if (n < stop) break;
      batch.runEnds[completed++] = count;
      if (++i < end) n = lists.listStarts[i - begin];
    }
    // The completed runs and the one that goes on, if any (one past them is
    // harmless: the run arrays have room).
    for (int32_t m = 0; m <= completed && firstI + m < end; ++m) {
      const Particle& pi = particles[firstI + m];
      batch.runX[m] = pi.position[0];
      batch.runY[m] = pi.position[1];
      batch.runZ[m] = pi.position[2];
      prepareRun(m, pi);
    }
    for (int32_t k = 0; k < count; ++k) {
      const int32_t m = batch.run[k];
      const Particle& pj = particles[batch.j[k]];
      batch.dx[k] = batch.runX[m] - pj.position[0];
      batch.dy[k] = batch.runY[m] - pj.position[1];
      batch.dz[k] = batch.runZ[m] - pj.position[2];
      batch.massJ[k] = pj.mass;
      fill(k, m, pj);
    }
    computeSquaredDistances(batch, count);
    compute(batch, count);
    // Sum in order: i = firstI + m owns the batch pairs up to runEnds[m];
    // the pairs after the last completed i belong to the i that goes on.
    int32_t k = 0;
    for (int32_t m = 0; m < completed; ++m) {
      Particle& pi = particles[firstI + m];
      if (k < batch.runEnds[m]) sumPairs(pi, k, batch.runEnds[m]);
      k = batch.runEnds[m];
      particleWork(pi);
    }
    if (k < count) sumPairs(particles[firstI + completed], k, count);
  }
}

}  // namespace sph
