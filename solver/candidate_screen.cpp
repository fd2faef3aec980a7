#include "candidate_screen.h"

#include "cell_grid.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(SPH_X86_FORMS)
#include <tmmintrin.h>
#endif
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace sph {

namespace {

// The exact neighbour test of candidate k for a particle at (x, y, z).
inline bool exactlyWithinH(const Candidates& c, int32_t k, float x, float y, float z) {
  return squaredDistance(x - c.x[k], y - c.y[k], z - c.z[k]) < H2;
}

// Lanes of `unsure` (float distance within a hair of h) that pass the exact
// test, as a lane mask. Rare, so plainly scalar.
int exactLanes(const Candidates& c, int32_t k, int unsure, float x, float y, float z) {
  int bits = 0;
  for (int lane = 0; unsure >> lane != 0; ++lane)
    if (((unsure >> lane) & 1) != 0 && exactlyWithinH(c, k + lane, x, y, z)) bits |= 1 << lane;
  return bits;
}

#if defined(__SSE2__)
static_assert(CANDIDATE_GROUP % 4 == 0, "the four-lane loop reads whole groups of four");

// For each 4-bit lane mask: the selected lanes, in lane order, as lane
// indices and as a byte shuffle that moves those lanes to the front.
struct LaneSelection {
  alignas(16) uint8_t shuffle[16];
  int8_t lanes[4];
  int32_t count;
};
constexpr LaneSelection selectionFor(int bits) {
  LaneSelection selection{};
  for (int lane = 0; lane < 4; ++lane) {
    if (!(bits & (1 << lane))) continue;
    for (int byte = 0; byte < 4; ++byte) selection.shuffle[selection.count * 4 + byte] = uint8_t(lane * 4 + byte);
    selection.lanes[selection.count++] = int8_t(lane);
  }
  return selection;
}
constexpr LaneSelection LANE_SELECTIONS[16] = {selectionFor(0),  selectionFor(1),  selectionFor(2),  selectionFor(3),
                                               selectionFor(4),  selectionFor(5),  selectionFor(6),  selectionFor(7),
                                               selectionFor(8),  selectionFor(9),  selectionFor(10), selectionFor(11),
                                               selectionFor(12), selectionFor(13), selectionFor(14), selectionFor(15)};

// Ways to write four ids to `out`, the selected lanes first, returning how
// many were selected: branch-free compaction. Copying lane by lane works on
// any SSE2 CPU; one byte shuffle does it where SSSE3 is available.
struct CopyLanes {
  static inline int32_t append(int32_t* out, __m128i /*ids*/, const int32_t* idsInMemory, int bits) {
    const LaneSelection& selection = LANE_SELECTIONS[bits];
    for (int lane = 0; lane < 4; ++lane) out[lane] = idsInMemory[selection.lanes[lane]];
    return selection.count;
  }
};

#if defined(SPH_X86_FORMS)
struct ShuffleLanes {
  SPH_TARGET_SSSE3 static inline int32_t append(int32_t* out, __m128i ids, const int32_t* /*idsInMemory*/, int bits) {
    const LaneSelection& selection = LANE_SELECTIONS[bits];
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(selection.shuffle));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(ids, shuffle));
    return selection.count;
  }
};
#endif

// Four lanes of SSE2. Always inlined, so that each caller compiles it for
// its own target: the SSSE3 form's shuffle is then inlined too.
template <class Compaction>
__attribute__((always_inline)) inline int32_t screenFourLanes(const Candidates& c, float x, float y, float z,
                                                              int32_t i, int32_t end, int32_t* out) {
  int32_t used = 0;
  const __m128 xi = _mm_set1_ps(x), yi = _mm_set1_ps(y), zi = _mm_set1_ps(z);
  const __m128 surelyIn = _mm_set1_ps(H2_SURELY_IN), maybeIn = _mm_set1_ps(H2_MAYBE_IN);
  const __m128i self = _mm_set1_epi32(i), lastInRange = _mm_set1_epi32(end - 1);
  for (int32_t k = 0; k < c.count; k += 4) {
    const __m128 dx = _mm_sub_ps(xi, _mm_loadu_ps(c.x + k));
    const __m128 dy = _mm_sub_ps(yi, _mm_loadu_ps(c.y + k));
    const __m128 dz = _mm_sub_ps(zi, _mm_loadu_ps(c.z + k));
    const __m128 r2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
    const __m128i ids = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.id + k));
    const __m128 admitted =
        _mm_castsi128_ps(_mm_or_si128(_mm_cmpgt_epi32(self, ids), _mm_cmpgt_epi32(ids, lastInRange)));
    int bits = _mm_movemask_ps(_mm_and_ps(_mm_cmplt_ps(r2, surelyIn), admitted));
    const int unsure = _mm_movemask_ps(_mm_and_ps(_mm_cmplt_ps(r2, maybeIn), admitted)) & ~bits;
    if (unsure != 0) bits |= exactLanes(c, k, unsure, x, y, z);
    used += Compaction::append(out + used, ids, c.id + k, bits);
  }
  return used;
}

// The baseline form.
int32_t screenBaseline(const Candidates& c, float x, float y, float z, int32_t i, int32_t end, int32_t* out) {
  return screenFourLanes<CopyLanes>(c, x, y, z, i, end, out);
}

#if defined(SPH_X86_FORMS)
SPH_TARGET_SSSE3 int32_t screenSsse3(const Candidates& c, float x, float y, float z, int32_t i, int32_t end,
                                     int32_t* out) {
  return screenFourLanes<ShuffleLanes>(c, x, y, z, i, end, out);
}
#endif
#else
// The baseline build without SSE2: one candidate at a time, still without a
// branch per candidate.
int32_t screenBaseline(const Candidates& c, float x, float y, float z, int32_t i, int32_t end, int32_t* out) {
  int32_t used = 0;
  for (int32_t k = 0; k < c.count; ++k) {
    out[used] = c.id[k];
    used += int32_t((c.id[k] < i || c.id[k] >= end) && exactlyWithinH(c, k, x, y, z));
  }
  return used;
}
#endif

#if defined(__wasm_simd128__)
// WebAssembly: the SSE screen above, translated by Emscripten, reloads the
// candidate arrays' addresses for every group (its stores may alias
// anything) and masks every shuffle index. This one performs the same
// compares, eight candidates a turn, in WebAssembly SIMD.
static_assert(CANDIDATE_GROUP % 8 == 0, "the loop below reads whole groups of eight");
int32_t screenWasm(const Candidates& c, float x, float y, float z, int32_t i, int32_t end, int32_t* out) {
  const float *const cx = c.x, *const cy = c.y, *const cz = c.z;
  const int32_t* const cid = c.id;
  const int32_t count = c.count;
  const v128_t xi = wasm_f32x4_splat(x), yi = wasm_f32x4_splat(y), zi = wasm_f32x4_splat(z);
  const v128_t surelyIn = wasm_f32x4_splat(H2_SURELY_IN), maybeIn = wasm_f32x4_splat(H2_MAYBE_IN);
  const v128_t self = wasm_i32x4_splat(i), lastInRange = wasm_i32x4_splat(end - 1);
  int32_t used = 0;
  const auto screenFour = [&](int32_t k) {
    const v128_t dx = wasm_f32x4_sub(xi, wasm_v128_load(cx + k));
    const v128_t dy = wasm_f32x4_sub(yi, wasm_v128_load(cy + k));
    const v128_t dz = wasm_f32x4_sub(zi, wasm_v128_load(cz + k));
    const v128_t r2 = wasm_f32x4_add(wasm_f32x4_add(wasm_f32x4_mul(dx, dx), wasm_f32x4_mul(dy, dy)), wasm_f32x4_mul(dz, dz));
    const v128_t ids = wasm_v128_load(cid + k);
    const v128_t admitted = wasm_v128_or(wasm_i32x4_gt(self, ids), wasm_i32x4_gt(ids, lastInRange));
    int bits = int(wasm_i32x4_bitmask(wasm_v128_and(wasm_f32x4_lt(r2, surelyIn), admitted)));
    const int unsure = int(wasm_i32x4_bitmask(wasm_v128_and(wasm_f32x4_lt(r2, maybeIn), admitted))) & ~bits;
    if (unsure != 0) bits |= exactLanes(c, k, unsure, x, y, z);
    const LaneSelection& selection = LANE_SELECTIONS[bits];
    wasm_v128_store(out + used, wasm_i8x16_swizzle(ids, wasm_v128_load(selection.shuffle)));
    used += selection.count;
  };
  for (int32_t k = 0; k < count; k += 8) {
    screenFour(k);
    screenFour(k + 4);
  }
  return used;
}
#endif

#if defined(SPH_X86_FORMS)
static_assert(CANDIDATE_GROUP % 8 == 0, "the eight-lane loop reads whole groups of eight");

// For each 8-bit lane mask: the selected lanes, in lane order, first, as a
// lane permutation.
struct WideSelections {
  alignas(32) int32_t lanes[256][8];
};
constexpr WideSelections wideSelections() {
  WideSelections selections{};
  for (int bits = 0; bits < 256; ++bits) {
    int count = 0;
    for (int lane = 0; lane < 8; ++lane)
      if (bits & (1 << lane)) selections.lanes[bits][count++] = lane;
  }
  return selections;
}
constexpr WideSelections WIDE_SELECTIONS = wideSelections();

SPH_TARGET_AVX2 int32_t screenEightLanes(const Candidates& c, float x, float y, float z, int32_t i, int32_t end,
                                         int32_t* out) {
  // Locals, which the stores to `out` cannot alias (see below).
  const float *const cx = c.x, *const cy = c.y, *const cz = c.z;
  const int32_t* const cid = c.id;
  const int32_t count = c.count;
  int32_t used = 0;
  const __m256 xi = _mm256_set1_ps(x), yi = _mm256_set1_ps(y), zi = _mm256_set1_ps(z);
  const __m256 surelyIn = _mm256_set1_ps(H2_SURELY_IN), maybeIn = _mm256_set1_ps(H2_MAYBE_IN);
  const __m256i self = _mm256_set1_epi32(i), lastInRange = _mm256_set1_epi32(end - 1);
  for (int32_t k = 0; k < count; k += 8) {
    const __m256 dx = _mm256_sub_ps(xi, _mm256_loadu_ps(cx + k));
    const __m256 dy = _mm256_sub_ps(yi, _mm256_loadu_ps(cy + k));
    const __m256 dz = _mm256_sub_ps(zi, _mm256_loadu_ps(cz + k));
    const __m256 r2 = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    const __m256i ids = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cid + k));
    const __m256 admitted =
        _mm256_castsi256_ps(_mm256_or_si256(_mm256_cmpgt_epi32(self, ids), _mm256_cmpgt_epi32(ids, lastInRange)));
    // Ordered compares: a NaN distance (the padding) is never below.
    int bits = _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(r2, surelyIn, _CMP_LT_OQ), admitted));
    const int unsure = _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(r2, maybeIn, _CMP_LT_OQ), admitted)) & ~bits;
    if (unsure != 0) bits |= exactLanes(c, k, unsure, x, y, z);
    const __m256i permutation = _mm256_load_si256(reinterpret_cast<const __m256i*>(WIDE_SELECTIONS.lanes[bits]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + used), _mm256_permutevar8x32_epi32(ids, permutation));
    used += _mm_popcnt_u32(unsigned(bits));
  }
  return used;
}
#endif

#if defined(SPH_X86_FORMS)
// Sixteen lanes. The count is a multiple of eight, so a last group of eight
// is read and written under a mask. The compress runs on a register: its
// form that stores to memory is microcoded, and slow, on some processors.
SPH_TARGET_AVX512 int32_t screenSixteenLanes(const Candidates& c, float x, float y, float z, int32_t i, int32_t end,
                                             int32_t* out) {
  // The arrays' addresses in locals: the stores to `out` might otherwise
  // alias `c` and force a reload every turn (the eight-lane form above too).
  const float *const cx = c.x, *const cy = c.y, *const cz = c.z;
  const int32_t* const cid = c.id;
  const int32_t count = c.count;
  int32_t used = 0;
  const __m512 xi = _mm512_set1_ps(x), yi = _mm512_set1_ps(y), zi = _mm512_set1_ps(z);
  const __m512 surelyIn = _mm512_set1_ps(H2_SURELY_IN), maybeIn = _mm512_set1_ps(H2_MAYBE_IN);
  const __m512i self = _mm512_set1_epi32(i), lastInRange = _mm512_set1_epi32(end - 1);
  for (int32_t k = 0; k < count; k += 16) {
    const __mmask16 valid = count - k >= 16 ? __mmask16(0xFFFF) : __mmask16(0x00FF);
    const __m512 dx = _mm512_sub_ps(xi, _mm512_maskz_loadu_ps(valid, cx + k));
    const __m512 dy = _mm512_sub_ps(yi, _mm512_maskz_loadu_ps(valid, cy + k));
    const __m512 dz = _mm512_sub_ps(zi, _mm512_maskz_loadu_ps(valid, cz + k));
    const __m512 r2 = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy)), _mm512_mul_ps(dz, dz));
    const __m512i ids = _mm512_maskz_loadu_epi32(valid, cid + k);
    const __mmask16 admitted =
        valid & (_mm512_cmpgt_epi32_mask(self, ids) | _mm512_cmpgt_epi32_mask(ids, lastInRange));
    // Ordered compares: a NaN distance (the padding) is never below.
    int bits = int(_mm512_mask_cmp_ps_mask(admitted, r2, surelyIn, _CMP_LT_OQ));
    const int unsure = int(_mm512_mask_cmp_ps_mask(admitted, r2, maybeIn, _CMP_LT_OQ)) & ~bits;
    if (unsure != 0) bits |= exactLanes(c, k, unsure, x, y, z);
    const __m512i packed = _mm512_maskz_compress_epi32(__mmask16(bits), ids);
    _mm512_mask_storeu_epi32(out + used, valid, packed);
    used += _mm_popcnt_u32(unsigned(bits));
  }
  return used;
}
#endif

}  // namespace

int32_t screenCandidates(const Candidates& candidates, float x, float y, float z, int32_t i, int32_t end,
                         int32_t* out) {
#if defined(__wasm_simd128__)
  return screenWasm(candidates, x, y, z, i, end, out);
#endif
#if defined(SPH_X86_FORMS)
  if (simdForm == SimdForm::Avx512) return screenSixteenLanes(candidates, x, y, z, i, end, out);
  if (simdForm == SimdForm::Avx2) return screenEightLanes(candidates, x, y, z, i, end, out);
  if (simdForm == SimdForm::Ssse3) return screenSsse3(candidates, x, y, z, i, end, out);
#endif
  return screenBaseline(candidates, x, y, z, i, end, out);
}

}  // namespace sph
