#include "pair_terms.h"

#include "cell_grid.h"
#include "pair_terms_wasm.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif

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
  }
}

#if defined(SPH_X86_FORMS)
SPH_TARGET_AVX2 void squaredDistanceLoopAvx2(PairBatch& batch, int32_t count) { squaredDistanceLoop(batch, 0, count); }
SPH_TARGET_AVX2 void densityRateLoopAvx2(PairBatch& batch, int32_t count) { densityRateLoop(batch, 0, count); }

// Pass 3's terms written out in AVX2, four pairs a turn, so that the rows
// are made by a transposition in registers: the compiler's own
// vectorisation of forcePairLoop stores them through many more shuffles.
// Each lane performs forcePairTerms' own IEEE operations in its order; a
// rounding point is one narrowing and one widening. Pairs past the last
// whole group of four are left to the plain loop.
SPH_TARGET_AVX2 inline __m256d widened(const float* at) { return _mm256_cvtps_pd(_mm_loadu_ps(at)); }
SPH_TARGET_AVX2 inline __m256d rounded(__m256d value) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(value)); }

SPH_TARGET_AVX2 void forcePairLoopAvx2(PairBatch& batch, int32_t count) {
  const __m256d zero = _mm256_setzero_pd(), signBit = _mm256_set1_pd(-0.0);
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m256d r2 = widened(batch.r2 + k);
    const __m256d dx = widened(batch.dx + k), dy = widened(batch.dy + k), dz = widened(batch.dz + k);
    const __m256d wx = widened(batch.wx + k), wy = widened(batch.wy + k), wz = widened(batch.wz + k);
    const __m256d q = rounded(_mm256_sub_pd(_mm256_set1_pd(double(H2)), r2));
    const __m256d kernel = rounded(_mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(q, _mm256_set1_pd(double(POLY6))), q), q));
    const __m256d meanInvDensity =
        rounded(_mm256_div_pd(_mm256_set1_pd(2.0), _mm256_loadu_pd(batch.densitySum + k)));
    const __m256d r = _mm256_cvtps_pd(_mm_sqrt_ps(_mm_loadu_ps(batch.r2 + k)));
    const __m256d a = rounded(_mm256_sub_pd(_mm256_set1_pd(double(SMOOTHING_LENGTH)), r));
    const __m256d pressure = rounded(_mm256_loadu_pd(batch.pressureTerm + k));
    const __m256d minusDx = _mm256_xor_pd(dx, signBit);
    const __m256d u = rounded(
        _mm256_sub_pd(_mm256_sub_pd(_mm256_mul_pd(minusDx, wx), _mm256_mul_pd(dy, wy)), _mm256_mul_pd(dz, wz)));
    const __m256d mu = rounded(_mm256_div_pd(_mm256_mul_pd(u, _mm256_set1_pd(double(SMOOTHING_LENGTH))),
                                             _mm256_add_pd(r2, _mm256_set1_pd(20.0))));
    const __m256d withViscosity = rounded(_mm256_add_pd(
        _mm256_mul_pd(_mm256_sub_pd(_mm256_mul_pd(mu, _mm256_add_pd(mu, mu)),
                                    _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(batch.soundSpeedSum + k), mu),
                                                  _mm256_set1_pd(0.5))),
                      meanInvDensity),
        pressure));
    // Approaching pairs only; u < 0 is false for NaN, as in the scalar form.
    const __m256d p = _mm256_blendv_pd(pressure, withViscosity, _mm256_cmp_pd(u, zero, _CMP_LT_OQ));
    const __m256d s = rounded(_mm256_mul_pd(
        _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(a, _mm256_set1_pd(double(SPIKY_GRAD))), a), r), p));
    const __m256d kk = rounded(_mm256_mul_pd(_mm256_mul_pd(kernel, _mm256_set1_pd(0.5)), meanInvDensity));
    // The row of each pair: g, then -f (the negation of a rounded value is
    // the rounding of the negated one).
    const __m128 gx = _mm256_cvtpd_ps(_mm256_mul_pd(wx, kk)), gy = _mm256_cvtpd_ps(_mm256_mul_pd(wy, kk));
    const __m128 gz = _mm256_cvtpd_ps(_mm256_mul_pd(wz, kk));
    const __m128 fx = _mm256_cvtpd_ps(_mm256_mul_pd(minusDx, s));
    const __m128 fy = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_xor_pd(dy, signBit), s));
    const __m128 fz = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_xor_pd(dz, signBit), s));
    // Four floats of each pair: transpose (gx, gy, gz, fx); then fy, fz.
    const __m128 xy01 = _mm_unpacklo_ps(gx, gy), xy23 = _mm_unpackhi_ps(gx, gy);
    const __m128 zf01 = _mm_unpacklo_ps(gz, fx), zf23 = _mm_unpackhi_ps(gz, fx);
    const __m128 yz01 = _mm_unpacklo_ps(fy, fz), yz23 = _mm_unpackhi_ps(fy, fz);
    float(*const rows)[FORCE_ROW] = batch.forceTerms + k;
    _mm_storeu_ps(rows[0], _mm_movelh_ps(xy01, zf01));
    _mm_storeu_ps(rows[1], _mm_movehl_ps(zf01, xy01));
    _mm_storeu_ps(rows[2], _mm_movelh_ps(xy23, zf23));
    _mm_storeu_ps(rows[3], _mm_movehl_ps(zf23, xy23));
    _mm_storel_pi(reinterpret_cast<__m64*>(rows[0] + 4), yz01);
    _mm_storeh_pi(reinterpret_cast<__m64*>(rows[1] + 4), yz01);
    _mm_storel_pi(reinterpret_cast<__m64*>(rows[2] + 4), yz23);
    _mm_storeh_pi(reinterpret_cast<__m64*>(rows[3] + 4), yz23);
  }
  forcePairLoop(batch, k, count);
}
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
