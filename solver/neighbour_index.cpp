#include "neighbour_index.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "candidate_screen.h"
#include "memory.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif

namespace sph {

namespace {
// Candidates are copied eight at a time and padded to whole screen groups.
constexpr int32_t COPY = 8;
constexpr int32_t GROUP = CANDIDATE_GROUP;
static_assert(GROUP % COPY == 0, "whole copies per screen group");

template <class T>
T* resized(T* block, int32_t count, const char* what) {
  return static_cast<T*>(reallocateOrThrow(block, sizeof(T) * std::size_t(count), what));
}
}  // namespace

NeighbourIndex* createNeighbourIndex(const FluidSystem& grid) {
  auto* index = static_cast<NeighbourIndex*>(allocateOrThrow(sizeof(NeighbourIndex), "the neighbour index"));
  std::memset(index, 0, sizeof(NeighbourIndex));
  index->generation = 1;
  for (int32_t k = 0; k < 27; ++k) {
    const CellOffset& offset = NEIGHBOUR_OFFSETS[k];
    index->offsetDeltas[k] = offset.dx + offset.dy * grid.nx + offset.dz * grid.nxy;
  }
  // A cell's 27 neighbours lie within nxy + nx + 1 indices of it; why the
  // margins need no bounds tests is in neighbour_index.h.
  const std::size_t margin = std::size_t(grid.nxy + grid.nx + 1);
  const std::size_t cellCount = std::size_t(grid.nxy) * std::size_t(grid.nz);
  try {
    index->spanBlock = static_cast<CellSpan*>(allocateZeroedOrThrow(cellCount + 2 * margin, sizeof(CellSpan), "cell spans"));
  } catch (...) {
    std::free(index);
    throw;
  }
  index->spans = index->spanBlock + margin;
  return index;
}

void destroyNeighbourIndex(NeighbourIndex* index) {
  if (index == nullptr) return;
  for (int32_t k = 0; k < index->workerCapacity; ++k) {
    RangeNeighbours& lists = index->workers[k];
    std::free(lists.neighbours);
    std::free(lists.listStarts);
    std::free(lists.listEnds);
    std::free(lists.candidateX);
    std::free(lists.candidateY);
    std::free(lists.candidateZ);
    std::free(lists.candidateId);
    std::free(lists.batch);
  }
  std::free(index->workers);
  std::free(index->x);
  std::free(index->y);
  std::free(index->z);
  std::free(index->id);
  std::free(index->spanBlock);
  std::free(index->occupied);
  std::free(index->cellOf);
  std::free(index->densityRates);
  std::free(index);
}

namespace {
void growParticleArrays(NeighbourIndex& index, int32_t capacity) {
  // Room for a copy read past the last particle (see copyCandidates).
  index.x = resized(index.x, capacity + GROUP, "sorted positions");
  index.y = resized(index.y, capacity + GROUP, "sorted positions");
  index.z = resized(index.z, capacity + GROUP, "sorted positions");
  index.id = resized(index.id, capacity + GROUP, "sorted ids");
  for (int32_t k = 0; k < capacity + GROUP; ++k) {
    index.x[k] = index.y[k] = index.z[k] = 0.0f;
    index.id[k] = 0;
  }
  index.occupied = resized(index.occupied, capacity, "occupied cells");
  index.cellOf = resized(index.cellOf, capacity, "particle cells");
  index.densityRates = resized(index.densityRates, capacity, "density rates");
  index.particleCapacity = capacity;
}
}  // namespace

// Every block is grown before anything the index describes changes, so a
// failed allocation (OutOfMemory) leaves the index as it was: blocks already
// grown are only larger than their capacity says.
void reserveNeighbourIndex(NeighbourIndex& index, int32_t particleCount, int32_t threadCount) {
  const int32_t workers = threadCount < 1 ? 1 : threadCount;  // as runParallel counts them
  if (workers > index.workerCapacity) {
    index.workers = resized(index.workers, workers, "neighbour lists");
    std::memset(index.workers + index.workerCapacity, 0,
                sizeof(RangeNeighbours) * std::size_t(workers - index.workerCapacity));
    index.workerCapacity = workers;
  }
  if (particleCount > index.particleCapacity) growParticleArrays(index, particleCount);
  index.workerCount = workers;
}

namespace {
// The lists of the worker whose range starts at `begin`, under the split of
// the last rebuild's particles among its workers.
RangeNeighbours& workerLists(NeighbourIndex& index, int32_t begin) {
  const int32_t chunk = index.indexedCount / index.workerCount;
  const int32_t worker = chunk > 0 ? begin / chunk : 0;
  return index.workers[worker < index.workerCount ? worker : index.workerCount - 1];
}
}  // namespace

RangeNeighbours* gatheredNeighbours(NeighbourIndex& index, int32_t begin, int32_t end) {
  if (begin < 0 || begin >= end || !coversRange(index, end)) return nullptr;
  RangeNeighbours& lists = workerLists(index, begin);
  const bool current = lists.generation == index.generation && lists.begin == begin && lists.end == end;
  return current ? &lists : nullptr;
}

namespace {

// Doubles from 1024 until `needed` fits, at most to the largest int32_t.
int32_t grownCapacity(int32_t capacity, int64_t needed) {
  int64_t grown = capacity < 1024 ? 1024 : capacity;
  while (grown < needed) grown *= 2;
  return int32_t(grown < INT32_MAX ? grown : INT32_MAX);
}

void reserveNeighbours(RangeNeighbours& lists, int64_t needed) {
  if (needed <= lists.neighbourCapacity) return;
  // Lists are indexed by int32_t; a range with more pairs than that cannot
  // be held (nor, long before, allocated).
  if (needed > INT32_MAX) failAllocation(std::size_t(needed) * sizeof(int32_t), "neighbour lists");
  const int32_t capacity = grownCapacity(lists.neighbourCapacity, needed);
  lists.neighbours = resized(lists.neighbours, capacity, "neighbour lists");
  lists.neighbourCapacity = capacity;
}

void reserveCandidates(RangeNeighbours& lists, int32_t needed) {
  if (needed <= lists.candidateCapacity) return;
  const int32_t capacity = grownCapacity(lists.candidateCapacity, needed);
  lists.candidateX = resized(lists.candidateX, capacity, "candidates");
  lists.candidateY = resized(lists.candidateY, capacity, "candidates");
  lists.candidateZ = resized(lists.candidateZ, capacity, "candidates");
  lists.candidateId = resized(lists.candidateId, capacity, "candidates");
  lists.candidateCapacity = capacity;
}

RangeNeighbours& startGathering(NeighbourIndex& index, int32_t begin, int32_t end) {
  RangeNeighbours& lists = workerLists(index, begin);
  // Filed as gathered for nothing until the gathering is done: a range whose
  // gathering runs out of memory has no lists.
  lists.generation = 0;
  if (lists.batch == nullptr)
    lists.batch = static_cast<PairBatch*>(allocateAlignedOrThrow(alignof(PairBatch), sizeof(PairBatch), "pair batches"));
  if (lists.listCapacity < end - begin) {
    lists.listStarts = resized(lists.listStarts, end - begin, "neighbour lists");
    lists.listEnds = resized(lists.listEnds, end - begin, "neighbour lists");
    lists.listCapacity = end - begin;
  }
  lists.begin = begin;
  lists.end = end;
  return lists;
}

// Whether a cell's span holds a particle of [begin, end). The span holds
// descending ids.
bool holdsRangeParticle(const NeighbourIndex& index, CellSpan span, int32_t begin, int32_t end) {
  for (int32_t k = span.begin; k < span.end; ++k)
    if (index.id[k] < end) return index.id[k] >= begin;
  return false;
}

// The four arrays of candidates, sorted or scratch.
struct CandidateArrays {
  float* x;
  float* y;
  float* z;
  int32_t* id;
};

// Copies `count` candidates (x, y, z and id) from the sorted arrays at
// `from` to the scratch at `to`, eight at a time, so up to seven more are
// read and written past the end: both sides have room for them, and the
// next copy or the padding overwrites what lands there. Most cells hold
// fewer than eight particles, so most copies are one turn of fixed shape,
// which beats memcpy's size dispatch and a loop's mispredicted exit. The
// arrays come by value: a copy may write anywhere as far as the compiler
// knows, so pointers read through the index would be read again after
// every one.
__attribute__((always_inline)) inline void copyCandidates(CandidateArrays source, int32_t from,
                                                          CandidateArrays scratch, int32_t to, int32_t count) {
  int32_t k = 0;
  do {
    std::memcpy(scratch.x + to + k, source.x + from + k, 4 * COPY);
    std::memcpy(scratch.y + to + k, source.y + from + k, 4 * COPY);
    std::memcpy(scratch.z + to + k, source.z + from + k, 4 * COPY);
    std::memcpy(scratch.id + to + k, source.id + from + k, 4 * COPY);
    k += COPY;
  } while (k < count);
}

// The non-empty spans of the 27 cells around `cell`, in visit order, and
// their particles' count. Thanks to the margins around the spans, no cell
// needs a bounds test, and the empty ones are skipped without a branch.
struct Pieces {
  CellSpan spans[27];  // written at count <= k, so 27 suffice
  int32_t count, total;
};
__attribute__((always_inline)) inline void findPieces(const NeighbourIndex& index, int32_t cell, Pieces& pieces) {
  int32_t count = 0, total = 0;
#pragma GCC unroll 27
  for (int32_t k = 0; k < 27; ++k) {
    const CellSpan span = index.spans[cell + index.offsetDeltas[k]];
    pieces.spans[count] = span;
    count += span.begin != span.end;
    total += span.end - span.begin;
  }
  pieces.count = count;
  pieces.total = total;
}

// Copies the candidates of the particles of `cell` into the scratch: the
// particles of the 27 cells around it, in visit order. (The screen's id test
// drops the ones a particle may not own; trimming them here costs more in
// short, mispredicted loops than screening them.) Pads to whole screen
// groups with entries at NaN, which no screen accepts. Returns the padded
// count.
int32_t collectCandidatesBaseline(const NeighbourIndex& index, RangeNeighbours& lists, int32_t cell) {
  Pieces pieces;
  findPieces(index, cell, pieces);
  const int32_t padded = (pieces.total + GROUP - 1) / GROUP * GROUP;
  reserveCandidates(lists, padded + GROUP);
  const CandidateArrays source{index.x, index.y, index.z, index.id};
  const CandidateArrays scratch{lists.candidateX, lists.candidateY, lists.candidateZ, lists.candidateId};
  int32_t count = 0;
  for (int32_t k = 0; k < pieces.count; ++k) {
    copyCandidates(source, pieces.spans[k].begin, scratch, count, pieces.spans[k].end - pieces.spans[k].begin);
    count += pieces.spans[k].end - pieces.spans[k].begin;
  }
  // One group's worth of padding, whatever the count: the scratch has room
  // for a group past the padded count.
  constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
  for (int32_t k = 0; k < GROUP; ++k) {
    scratch.x[count + k] = scratch.y[count + k] = scratch.z[count + k] = NOT_A_NUMBER;
    scratch.id[count + k] = 0;
  }
  return padded;
}

#if defined(SPH_X86_FORMS)
// The same with AVX2, written out: eight candidates of each array in one
// 32-byte move, and the padding in four. (The compiler's own copy of a
// 32-byte memcpy takes two 16-byte moves, recomputes every address each
// piece and guards the padding with overlap tests.)
static_assert(GROUP == 8 && COPY == 8, "a group is one 32-byte move");
SPH_TARGET_AVX2 int32_t collectCandidatesAvx2(const NeighbourIndex& index, RangeNeighbours& lists, int32_t cell) {
  Pieces pieces;
  findPieces(index, cell, pieces);
  const int32_t padded = (pieces.total + GROUP - 1) / GROUP * GROUP;
  reserveCandidates(lists, padded + GROUP);
  const float *const x = index.x, *const y = index.y, *const z = index.z;
  const int32_t* const id = index.id;
  // The destinations move on by each piece's length.
  float *toX = lists.candidateX, *toY = lists.candidateY, *toZ = lists.candidateZ;
  int32_t* toId = lists.candidateId;
  for (int32_t k = 0; k < pieces.count; ++k) {
    const int32_t from = pieces.spans[k].begin, length = pieces.spans[k].end - from;
    int32_t m = 0;
    do {
      _mm256_storeu_ps(toX + m, _mm256_loadu_ps(x + from + m));
      _mm256_storeu_ps(toY + m, _mm256_loadu_ps(y + from + m));
      _mm256_storeu_ps(toZ + m, _mm256_loadu_ps(z + from + m));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(toId + m),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(id + from + m)));
      m += COPY;
    } while (m < length);
    toX += length;
    toY += length;
    toZ += length;
    toId += length;
  }
  const __m256 notANumber = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
  _mm256_storeu_ps(toX, notANumber);
  _mm256_storeu_ps(toY, notANumber);
  _mm256_storeu_ps(toZ, notANumber);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(toId), _mm256_setzero_si256());
  return padded;
}
#endif

}  // namespace

RangeNeighbours& gatherNeighbourLists(FluidSystem& system, int32_t begin, int32_t end) {
  NeighbourIndex& index = *system.neighbourIndex;
  RangeNeighbours& lists = startGathering(index, begin, end);
  int32_t (*collect)(const NeighbourIndex&, RangeNeighbours&, int32_t) = collectCandidatesBaseline;
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) collect = collectCandidatesAvx2;
#endif
  int32_t used = 0;
  for (int32_t c = 0; c < index.occupiedCount; ++c) {
    const int32_t cell = index.occupied[c];
    const CellSpan span = index.spans[cell];
    if (!holdsRangeParticle(index, span, begin, end)) continue;
    const int32_t count = collect(index, lists, cell);
    for (int32_t k = span.begin; k < span.end; ++k) {
      const int32_t i = index.id[k];
      if (i < begin || i >= end) continue;
      reserveNeighbours(lists, int64_t(used) + count + PIECE);  // room for copyListPiece
      lists.listStarts[i - begin] = used;
      const Candidates candidates{lists.candidateX, lists.candidateY, lists.candidateZ, lists.candidateId, count};
      used += screenCandidates(candidates, index.x[k], index.y[k], index.z[k], i, end, lists.neighbours + used);
      lists.listEnds[i - begin] = used;
    }
  }
  lists.generation = index.generation;
  return lists;
}

}  // namespace sph
