// The pair-term loops for WebAssembly SIMD (pair_terms_wasm.cpp): the same
// results as computeSquaredDistances, computeDensityRateTerms and
// computeForcePairTerms, bit for bit, for the pairs of the batch's whole
// groups of four; each returns how many pairs that is, and the caller's
// plain loop takes the rest. Only the web build has them.
#pragma once

#include <cstdint>

#include "pair_terms.h"

#if defined(__wasm_simd128__)
namespace sph {
int32_t squaredDistanceGroupsWasm(PairBatch& batch, int32_t count);
int32_t densityRateGroupsWasm(PairBatch& batch, int32_t count);
int32_t forcePairGroupsWasm(PairBatch& batch, int32_t count);
}  // namespace sph
#endif
