// The pair-term loops for WebAssembly SIMD (pair_terms_wasm.cpp): the same
// results as computeSquaredDistances, computeDensityRateTerms and
// computeForcePairTerms, bit for bit, for the pairs of the batch's whole
// groups of four; each returns how many pairs that is, and the caller's
// plain loop takes the rest. Only the web build has them.
#pragma once

#include <cstdint>

#include "pair_terms.h"

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>

namespace sph {

// The value as it stands: the empty asm keeps the compiler from looking
// through it to rewrite what comes next.
inline v128_t opaque(v128_t value) {
  __asm__("" : "+r"(value));
  return value;
}
// Two doubles rounded to float, as float(double) does, into the low two
// floats. Seeing only those two lanes used, the compiler would otherwise
// narrow them one at a time in scalar code.
inline v128_t narrowTwo(v128_t doubles) { return opaque(wasm_f32x4_demote_f64x2_zero(doubles)); }

int32_t squaredDistanceGroupsWasm(PairBatch& batch, int32_t count);
int32_t densityRateGroupsWasm(PairBatch& batch, int32_t count);
int32_t forcePairGroupsWasm(PairBatch& batch, int32_t count);
}  // namespace sph
#endif
