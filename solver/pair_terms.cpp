#include "pair_terms.h"

#include "cell_grid.h"
#include "pair_terms_wasm.h"
#include "simd_support.h"

namespace sph {

namespace {

// Plain loops over the batch arrays from pair `from` on, which the compiler
// vectorises: every lane performs the scalar formula's own IEEE operations.
// Each is built for the baseline (two doubles a register) and for AVX2
// (four); in WebAssembly they take the pairs after the last whole group of
// four (pair_terms_wasm.h).
inline void squaredDistanceLoop(PairBatch& batch, int32_t from, int32_t count) {
  for (int32_t k = from; k < count; ++k) batch.r2[k] = squaredDistance(batch.dx[k], batch.dy[k], batch.dz[k]);
}

inline void densityRateLoop(PairBatch& batch, int32_t from, int32_t count) {
  for (int32_t k = from; k < count; ++k)
    batch.rate[k] =
        densityRateTerm(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], batch.dvx[k], batch.dvy[k], batch.dvz[k]);
}

inline void forcePairLoop(PairBatch& batch, int32_t from, int32_t count) {
  for (int32_t k = from; k < count; ++k) {
    const ForcePairInputs inputs{batch.wx[k],         batch.wy[k],           batch.wz[k],
                                 batch.densitySum[k], batch.pressureTerm[k], batch.soundSpeedSum[k]};
    const ForcePairTerms terms = forcePairTerms(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], inputs);
    float* const row = batch.forceTerms[k];
    row[0] = terms.g[0];
    row[1] = terms.g[1];
    row[2] = terms.g[2];
    row[3] = -terms.f[0];
    row[4] = -terms.f[1];
    row[5] = -terms.f[2];
    row[6] = row[7] = 0.0f;
  }
}

#if defined(SPH_X86_FORMS)
SPH_TARGET_AVX2 void squaredDistanceLoopAvx2(PairBatch& batch, int32_t count) { squaredDistanceLoop(batch, 0, count); }
SPH_TARGET_AVX2 void densityRateLoopAvx2(PairBatch& batch, int32_t count) { densityRateLoop(batch, 0, count); }
SPH_TARGET_AVX2 void forcePairLoopAvx2(PairBatch& batch, int32_t count) { forcePairLoop(batch, 0, count); }
#endif

}  // namespace

void computeSquaredDistances(PairBatch& batch, int32_t count) {
#if defined(__wasm_simd128__)
  return squaredDistanceLoop(batch, squaredDistanceGroupsWasm(batch, count), count);
#endif
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return squaredDistanceLoopAvx2(batch, count);
#endif
  squaredDistanceLoop(batch, 0, count);
}

void computeDensityRateTerms(PairBatch& batch, int32_t count) {
#if defined(__wasm_simd128__)
  return densityRateLoop(batch, densityRateGroupsWasm(batch, count), count);
#endif
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return densityRateLoopAvx2(batch, count);
#endif
  densityRateLoop(batch, 0, count);
}

void computeForcePairTerms(PairBatch& batch, int32_t count) {
#if defined(__wasm_simd128__)
  return forcePairLoop(batch, forcePairGroupsWasm(batch, count), count);
#endif
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return forcePairLoopAvx2(batch, count);
#endif
  forcePairLoop(batch, 0, count);
}

}  // namespace sph
