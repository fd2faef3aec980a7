#include "cell_grid.h"

#include <cmath>
#include <cstdlib>

#include "memory.h"
#include "neighbour_index.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif

namespace sph {

int32_t cellsAlongAxis(float boxEdge) {
  return int32_t(std::ceil(float(double(boxEdge) * double(INV_H)))) + 1;
}

void initCellGrid(FluidSystem& system) {
  system.nx = cellsAlongAxis(BOX_X);
  system.ny = cellsAlongAxis(BOX_Y);
  system.nz = cellsAlongAxis(BOX_Z);
  system.nxy = system.nx * system.ny;
  const std::size_t cells = std::size_t(system.nxy) * std::size_t(system.nz);
  // Zeroed: every head starts null, and the pages of cells no particle ever
  // enters are never touched.
  system.cellHeads = static_cast<Particle**>(allocateZeroedOrThrow(cells, sizeof(Particle*), "the cell grid"));
  system.neighbourIndex = createNeighbourIndex(system);
}

void releaseCellGrid(FluidSystem& system) {
  std::free(system.cellHeads);
  system.cellHeads = nullptr;
  destroyNeighbourIndex(system.neighbourIndex);
  system.neighbourIndex = nullptr;
}

namespace {

// rebuildGrid's work, with each particle's cell found by `cellIndex`.
// Always inlined, so that each form below compiles all of it for its own
// target.
template <class CellIndex>
__attribute__((always_inline)) inline void rebuildGridWith(FluidSystem& system, const CellIndex& cellIndex) {
  NeighbourIndex& index = *system.neighbourIndex;
  reserveNeighbourIndex(index, system.particleCount, system.threadCount);

  // Every head (and span) the last rebuild set is in `occupied`, so clearing
  // those empties the grid; both start zeroed.
  for (int32_t k = 0; k < index.occupiedCount; ++k) {
    system.cellHeads[index.occupied[k]] = nullptr;
    index.spans[index.occupied[k]] = {0, 0};
  }

  // Thread the lists, and count each cell's particles in its span's end.
  // One walk over the particles: each particle's cell is found AHEAD places
  // before its turn, so that its scattered head and span can be fetched
  // while the particles in between are threaded.
  constexpr int32_t AHEAD = 16;
  const int32_t count = system.particleCount;
  Particle* const particles = system.particles;
  auto locate = [&](int32_t k) __attribute__((always_inline)) {
    const int32_t cell = cellIndex(particles[k]);
    index.cellOf[k] = cell;
    __builtin_prefetch(&system.cellHeads[cell], 1);
    __builtin_prefetch(&index.spans[cell], 1);
  };
  for (int32_t k = 0; k < AHEAD && k < count; ++k) locate(k);
  index.occupiedCount = 0;
  index.indexedCount = count;
  for (int32_t k = 0; k < count; ++k) {
    if (k + AHEAD < count) locate(k + AHEAD);
    Particle& p = particles[k];
    const int32_t cell = index.cellOf[k];
    Particle*& head = system.cellHeads[cell];
    // An empty cell's span is {0, 0} (see the clearing above), so its end
    // can count the cell's particles from the first.
    if (head == nullptr) index.occupied[index.occupiedCount++] = cell;
    ++index.spans[cell].end;
    p.next = head;
    head = &p;
  }

  // The cell-sorted copies, each cell in list order: a counting sort that
  // reads the particles in descending index, in place of chasing `next`.
  int32_t cursor = 0;
  for (int32_t k = 0; k < index.occupiedCount; ++k) {
    CellSpan& span = index.spans[index.occupied[k]];
    const int32_t count = span.end;
    span.begin = span.end = cursor;  // end fills up to begin + count
    cursor += count;
  }
  for (int32_t k = system.particleCount - 1; k >= 0; --k) {
    const Particle& p = system.particles[k];
    const int32_t slot = index.spans[index.cellOf[k]].end++;
    index.x[slot] = p.position[0];
    index.y[slot] = p.position[1];
    index.z[slot] = p.position[2];
    index.id[slot] = k;
  }
  // Lists gathered on the old grid no longer apply.
  if (++index.generation == 0) index.generation = 1;
}

#if defined(SPH_X86_FORMS)
// cellIndexOf with AVX2: the three coordinates in the lanes of one
// register, scaled in double, clamped (a NaN or a negative to 0, see
// cellCoordinate), truncated and weighted by the strides (the fourth lane,
// the next field's, is weighted by 0). A class, since a lambda would not be
// compiled for the target.
struct CellIndexAvx2 {
  __m256d lastCells;
  __m128i strides;
  SPH_TARGET_AVX2 int32_t operator()(const Particle& p) const {
    const __m256d scaled = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(p.position)), _mm256_set1_pd(double(INV_H)));
    // min gives its second operand, the last cell, for a NaN; the mask of
    // the ordered compare then gives 0.
    const __m256d inside =
        _mm256_and_pd(_mm256_min_pd(scaled, lastCells), _mm256_cmp_pd(scaled, _mm256_setzero_pd(), _CMP_GE_OQ));
    const __m128i weighted = _mm_mullo_epi32(_mm256_cvttpd_epi32(inside), strides);
    const __m128i pairs = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(1, 1, 1, 1))));
  }
};

SPH_TARGET_AVX2 void rebuildGridAvx2(FluidSystem& system) {
  rebuildGridWith(system, CellIndexAvx2{_mm256_setr_pd(system.nx - 1, system.ny - 1, system.nz - 1, 0.0),
                                        _mm_setr_epi32(1, system.nx, system.nxy, 0)});
}
#endif

}  // namespace

void rebuildGrid(FluidSystem& system) {
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return rebuildGridAvx2(system);
#endif
  rebuildGridWith(system, [&](const Particle& p) { return cellIndexOf(system, p); });
}
}  // namespace sph
