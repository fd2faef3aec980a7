// The batched pair walk seen one pair at a time, as the list walk
// (forEachNeighbourPair) shows it: the tests hold the search and the walk to
// the list walk through these.
#pragma once

#include "solver/cell_grid.h"
#include "solver/neighbour_index.h"

namespace sph::test {

// Calls pairAction(i, j, d, r2, updateJ) for batch pairs first..last-1 of i.
template <class PairAction>
void sumPairsOneByOne(FluidSystem& system, const RangeNeighbours& lists, Particle& pi, int32_t first, int32_t last,
                      PairAction& pairAction) {
  const PairBatch& batch = *lists.batch;
  for (int32_t k = first; k < last; ++k) {
    const int32_t j = batch.j[k];
    const float d[3] = {batch.dx[k], batch.dy[k], batch.dz[k]};
    pairAction(pi, system.particles[j], d, batch.r2[k], j >= lists.begin && j < lists.end);
  }
}

// Gathers the lists of [begin, end) and calls pairAction(i, j, d, r2,
// updateJ) for each pair, i in increasing order and each i's pairs in visit
// order: the same pairs, order, d and r2 as forEachNeighbourPair.
template <class PairAction>
void gatherNeighbourPairs(FluidSystem& system, int32_t begin, int32_t end, PairAction&& pairAction) {
  if (begin >= end) return;
  RangeNeighbours& lists = gatherNeighbourLists(system, begin, end);
  walkPairBatches(
      system, lists, [](int32_t, const Particle&, const Particle&) {}, [](PairBatch&, int32_t) {},
      [&](Particle& pi, int32_t first, int32_t last) { sumPairsOneByOne(system, lists, pi, first, last, pairAction); },
      [](Particle&) {});
}

// Replays the lists gathered for [begin, end) on the current grid: the
// pairs of every particle i in visit order, then particleWork(i). Falls back
// to a fresh traversal when no such lists exist.
template <class PairAction, class ParticleWork>
void replayNeighbourPairs(FluidSystem& system, int32_t begin, int32_t end, PairAction&& pairAction,
                          ParticleWork&& particleWork) {
  RangeNeighbours* lists = gatheredNeighbours(*system.neighbourIndex, begin, end);
  if (lists == nullptr) {
    forEachNeighbourPair(system, begin, end, pairAction, particleWork);
    return;
  }
  walkPairBatches(
      system, *lists, [](int32_t, const Particle&, const Particle&) {}, [](PairBatch&, int32_t) {},
      [&](Particle& pi, int32_t first, int32_t last) { sumPairsOneByOne(system, *lists, pi, first, last, pairAction); },
      particleWork);
}

}  // namespace sph::test
