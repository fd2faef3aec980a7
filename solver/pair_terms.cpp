#include "pair_terms.h"

#include "cell_grid.h"

namespace sph {

// Plain loops over the batch arrays, which the compiler vectorises: every
// lane performs the scalar formula's own IEEE operations. Each is built twice,
// for AVX2 (four doubles a lane group) and for the baseline (two), and the
// loader picks the one the CPU runs; both give the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SPH_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SPH_SIMD_CLONES
#endif

SPH_SIMD_CLONES void computeSquaredDistances(PairBatch& batch, int32_t count) {
  for (int32_t k = 0; k < count; ++k) batch.r2[k] = squaredDistance(batch.dx[k], batch.dy[k], batch.dz[k]);
}

SPH_SIMD_CLONES void computeDensityRateTerms(PairBatch& batch, int32_t count) {
  for (int32_t k = 0; k < count; ++k)
    batch.rate[k] = densityRateTerm(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], batch.dvx[k], batch.dvy[k],
                                    batch.dvz[k]);
}

SPH_SIMD_CLONES void computeForcePairTerms(PairBatch& batch, int32_t count) {
  for (int32_t k = 0; k < count; ++k) {
    const ForcePairInputs inputs{batch.wx[k],         batch.wy[k],           batch.wz[k],
                                 batch.densitySum[k], batch.pressureTerm[k], batch.soundSpeedSum[k]};
    const ForcePairTerms terms = forcePairTerms(batch.dx[k], batch.dy[k], batch.dz[k], batch.r2[k], inputs);
    batch.fx[k] = terms.f[0];
    batch.fy[k] = terms.f[1];
    batch.fz[k] = terms.f[2];
    batch.gx[k] = terms.g[0];
    batch.gy[k] = terms.g[1];
    batch.gz[k] = terms.g[2];
  }
}

}  // namespace sph
