// The pair-term loops for WebAssembly SIMD (pair_terms_wasm.cpp): the same
// results as computeSquaredDistances, computeDensityRateTerms and
// computeForcePairTerms, bit for bit. Only the web build has them.
#pragma once

#include <cstdint>

#include "pair_terms.h"

#if defined(__wasm_simd128__)
namespace sph {
void squaredDistanceLoopWasm(PairBatch& batch, int32_t count);
void densityRateLoopWasm(PairBatch& batch, int32_t count);
void forcePairLoopWasm(PairBatch& batch, int32_t count);
}  // namespace sph
#endif
