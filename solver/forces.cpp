#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "neighbour_index.h"
#include "pair_terms.h"
#include "pair_terms_wasm.h"
#include "parameters.h"
#include "passes.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif

namespace sph {

namespace {

// A three-component float sum, x and y in the low lanes of one SIMD register
// (the same IEEE operations as three scalars, fewer instructions), kept in
// registers while one particle's pairs are summed.
#if defined(__wasm_simd128__)
// WebAssembly's own form: translated from the SSE2 one, the compiler would
// narrow a neighbour's x and y one lane at a time (see narrowTwo).
struct Sum3 {
  v128_t xy;
  float z;
};
inline Sum3 loadSum(const float v[3]) { return {wasm_v128_load64_zero(v), v[2]}; }
inline void storeSum(const Sum3& sum, float v[3]) {
  wasm_v128_store64_lane(v, sum.xy, 0);
  v[2] = sum.z;
}
// sum = float(sum + factor * term) per component, the sum in double, for
// the three terms at `terms` (see the SSE2 form below).
inline void addScaled(Sum3& sum, double factor, const float* terms) {
  const v128_t product =
      wasm_f64x2_mul(wasm_f64x2_splat(factor), wasm_f64x2_promote_low_f32x4(wasm_v128_load64_zero(terms)));
  sum.xy = narrowTwo(wasm_f64x2_add(wasm_f64x2_promote_low_f32x4(sum.xy), product));
  sum.z = float(double(sum.z) + factor * double(terms[2]));
}
#elif defined(__SSE2__)
struct Sum3 {
  __m128 xy;
  float z;
};
inline Sum3 loadSum(const float v[3]) {
  return {_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v))), v[2]};
}
inline void storeSum(const Sum3& sum, float v[3]) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(v), _mm_castps_si128(sum.xy));
  v[2] = sum.z;
}
// sum = float(sum + factor * term) per component, the sum in double, for
// the three terms at `terms`. With factor = +-mass (exact) the product of
// two floats is exact in double, so the sign and the order of the factors
// cannot change the result.
inline void addScaled(Sum3& sum, double factor, const float* terms) {
  const __m128d product = _mm_mul_pd(_mm_set1_pd(factor), _mm_cvtps_pd(loadSum(terms).xy));
  sum.xy = _mm_cvtpd_ps(_mm_add_pd(_mm_cvtps_pd(sum.xy), product));
  sum.z = float(double(sum.z) + factor * double(terms[2]));
}
#else
struct Sum3 {
  float v[3];
};
inline Sum3 loadSum(const float v[3]) { return {{v[0], v[1], v[2]}}; }
inline void storeSum(const Sum3& sum, float v[3]) {
  for (int axis = 0; axis < 3; ++axis) v[axis] = sum.v[axis];
}
inline void addScaled(Sum3& sum, double factor, const float* terms) {
  for (int axis = 0; axis < 3; ++axis) sum.v[axis] = float(double(sum.v[axis]) + factor * double(terms[axis]));
}
#endif

inline void addScaled(float v[3], double factor, const float* terms) {
  Sum3 sum = loadSum(v);
  addScaled(sum, factor, terms);
  storeSum(sum, v);
}

// A pair's terms as a row (PairBatch): g, then -f. i adds the row times
// mass(j): -mass(j) f to its acceleration and +mass(j) g to its velocity
// correction; j, when it is in the range too, adds the row times -mass(i). A
// pair at zero distance adds no acceleration: pressure and viscosity act
// along d, which it lacks (and r = 0 would divide by zero); its velocity
// smoothing needs no direction and is applied as usual.
inline void addPairRow(Sum3& accelerationI, Sum3& correctionI, double massI, Particle& pj, double massJ, float r2,
                       const float* row, bool updateJ) {
  if (r2 != 0.0f) {
    addScaled(accelerationI, massJ, row + 3);
    if (updateJ) addScaled(pj.acceleration, -massI, row + 3);
  }
  addScaled(correctionI, massJ, row);
  if (updateJ) addScaled(pj.velocityCorrection, -massI, row);
}

ForcePairInputs forcePairInputs(const Particle& pi, const Particle& pj) {
  return {pj.velocity[0] - pi.velocity[0],
          pj.velocity[1] - pi.velocity[1],
          pj.velocity[2] - pi.velocity[2],
          double(pj.density) + double(pi.density),
          double(pj.pressure) * double(pj.invDensitySq) + double(pi.pressure) * double(pi.invDensitySq),
          double(pj.soundSpeed) + double(pi.soundSpeed)};
}

// Push of a wall at distance `distance` (< WALL_RANGE): 1 at the wall, 0 at
// WALL_RANGE. The product and the root are rounded to float, the rest is
// carried into the caller's sum.
double wallPush(float distance) {
  const float root = std::sqrt(float(double(distance) * double(INV_WALL_RANGE)));
  return 1.0 - double(root);
}

void addParticleForces(Particle& p) {
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  for (int axis = 0; axis < 3; ++axis) {
    const float farDistance = float(double(box[axis]) - double(p.position[axis]));
    if (farDistance < WALL_RANGE)
      p.velocityCorrection[axis] = float(double(p.velocityCorrection[axis]) - wallPush(farDistance));
  }
  for (int axis = 0; axis < 3; ++axis) {
    if (p.position[axis] < WALL_RANGE)
      p.velocityCorrection[axis] = float(wallPush(p.position[axis]) + double(p.velocityCorrection[axis]));
  }
  const float gravity[3] = {GRAVITY_X, GRAVITY_Y, GRAVITY_Z};
  for (int axis = 0; axis < 3; ++axis)
    p.acceleration[axis] = float(double(gravity[axis]) * double(p.mass) + double(p.acceleration[axis]));
}

// The sums of pass 3 over pairs [first, last) of i's run in the batch: i's
// own sums, and the updates to each j of the range.
void sumForceRun(Particle* particles, Particle& pi, const PairBatch& batch, int32_t first, int32_t last,
                 int32_t begin, int32_t end) {
  Sum3 acceleration = loadSum(pi.acceleration), correction = loadSum(pi.velocityCorrection);
  const double massI = pi.mass;
  for (int32_t k = first; k < last; ++k) {
    const int32_t j = batch.j[k];
    addPairRow(acceleration, correction, massI, particles[j], batch.massJ[k], batch.r2[k], batch.forceTerms[k],
               j >= begin && j < end);
  }
  storeSum(acceleration, pi.acceleration);
  storeSum(correction, pi.velocityCorrection);
}

#if defined(SPH_X86_FORMS)
// The same sums with AVX2 and FMA. A particle's velocityCorrection and
// acceleration are six floats in a row, as are a pair's terms: four of them
// widen to one register of four doubles, the other two to one of two, and
// each addition is one widening, one fused multiply-add and one narrowing
// per register. The product of two floats is exact in double, so the fused
// form rounds where float(double sum + double product) does: the sum once
// to double, then to float. (The 8-byte moves are the unaligned integer
// ones: a float array is only 4-byte aligned.)
static_assert(offsetof(Particle, acceleration) == offsetof(Particle, velocityCorrection) + 3 * sizeof(float),
              "the six sums of pass 3 follow each other");
struct SixSums {
  __m128 low, high;  // floats 0 to 3; 4 and 5 in the low lanes
};
SPH_TARGET_AVX2 inline __m128 loadTwo(const float* v) {
  return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)));
}
SPH_TARGET_AVX2 inline SixSums loadSix(const float* v) { return {_mm_loadu_ps(v), loadTwo(v + 4)}; }
SPH_TARGET_AVX2 inline void storeSix(SixSums sums, float* v) {
  _mm_storeu_ps(v, sums.low);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(v + 4), _mm_castps_si128(sums.high));
}
// float(sum + factor * term) lane by lane, the terms widened.
SPH_TARGET_AVX2 inline SixSums addScaledSix(SixSums sums, __m256d factor, __m256d termsLow, __m128d termsHigh) {
  return {_mm256_cvtpd_ps(_mm256_fmadd_pd(factor, termsLow, _mm256_cvtps_pd(sums.low))),
          _mm_cvtpd_ps(_mm_fmadd_pd(_mm256_castpd256_pd128(factor), termsHigh, _mm_cvtps_pd(sums.high)))};
}

SPH_TARGET_AVX2 void sumForceRunAvx2(Particle* particles, Particle& pi, const PairBatch& batch, int32_t first,
                                     int32_t last, int32_t begin, int32_t end) {
  SixSums own = loadSix(pi.velocityCorrection);
  const double massI = pi.mass;
  const __m256d minusMassI = _mm256_set1_pd(-massI);
  for (int32_t k = first; k < last; ++k) {
    const int32_t j = batch.j[k];
    const bool updateJ = inRange(j, begin, end);
    Particle& pj = particles[j];
    const float* const row = batch.forceTerms[k];
    if (atZeroDistance(batch, k)) {  // rare: the pair adds no acceleration (see addPairRow)
      storeSix(own, pi.velocityCorrection);
      Sum3 acceleration = loadSum(pi.acceleration), correction = loadSum(pi.velocityCorrection);
      addPairRow(acceleration, correction, massI, pj, batch.massJ[k], 0.0f, row, updateJ);
      storeSum(acceleration, pi.acceleration);
      storeSum(correction, pi.velocityCorrection);
      own = loadSix(pi.velocityCorrection);
      continue;
    }
    const __m256d termsLow = _mm256_cvtps_pd(_mm_load_ps(row));
    const __m128d termsHigh = _mm_cvtps_pd(loadTwo(row + 4));
    own = addScaledSix(own, _mm256_broadcast_sd(&batch.massJ[k]), termsLow, termsHigh);
    if (updateJ)
      storeSix(addScaledSix(loadSix(pj.velocityCorrection), minusMassI, termsLow, termsHigh), pj.velocityCorrection);
  }
  storeSix(own, pi.velocityCorrection);
}
#endif

// The batched walk of pass 3 over the lists of a range, summing with
// `sumRun`. Always inlined, so that each form below compiles all of it,
// the fills included, for its own target.
template <class SumRun>
__attribute__((always_inline)) inline void walkForces(FluidSystem& system, RangeNeighbours& lists, SumRun sumRun) {
  PairBatch& batch = *lists.batch;
  Particle* const particles = system.particles;
  walkPairBatches(
      system, lists,
      [&](int32_t m, const Particle& pi) __attribute__((always_inline)) {
        for (int axis = 0; axis < 3; ++axis) batch.runVelocityFloat[m][axis] = pi.velocity[axis];
        batch.runDensity[m] = pi.density;
        batch.runPressureTerm[m] = double(pi.pressure) * double(pi.invDensitySq);
        batch.runSoundSpeed[m] = pi.soundSpeed;
      },
      [&](int32_t k, int32_t m, const Particle& pj) __attribute__((always_inline)) {
        // forcePairInputs, i's part taken once for its run.
        batch.wx[k] = pj.velocity[0] - batch.runVelocityFloat[m][0];
        batch.wy[k] = pj.velocity[1] - batch.runVelocityFloat[m][1];
        batch.wz[k] = pj.velocity[2] - batch.runVelocityFloat[m][2];
        batch.densitySum[k] = double(pj.density) + batch.runDensity[m];
        batch.pressureTerm[k] = double(pj.pressure) * double(pj.invDensitySq) + batch.runPressureTerm[m];
        batch.soundSpeedSum[k] = double(pj.soundSpeed) + batch.runSoundSpeed[m];
      },
      computeForcePairTerms,
      [&](Particle& pi, int32_t first, int32_t last) __attribute__((always_inline)) {
        sumRun(particles, pi, batch, first, last, lists.begin, lists.end);
      },
      addParticleForces);
}

void walkForcesBaseline(FluidSystem& system, RangeNeighbours& lists) { walkForces(system, lists, sumForceRun); }
#if defined(SPH_X86_FORMS)
SPH_TARGET_AVX2 void walkForcesAvx2(FluidSystem& system, RangeNeighbours& lists) {
  walkForces(system, lists, sumForceRunAvx2);
}
#endif

}  // namespace

void computeForces(int32_t begin, int32_t end) {
  FluidSystem& system = *fluidSystem;
  RangeNeighbours* lists = gatheredNeighbours(*system.neighbourIndex, begin, end);
  if (lists == nullptr) {
    // Pass 1 gathered nothing for this range and grid: walk the grid.
    forEachNeighbourPair(
        system, begin, end,
        [](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
          Sum3 acceleration = loadSum(pi.acceleration), correction = loadSum(pi.velocityCorrection);
          const ForcePairTerms t = forcePairTerms(d[0], d[1], d[2], r2, forcePairInputs(pi, pj));
          const float row[6] = {t.g[0], t.g[1], t.g[2], -t.f[0], -t.f[1], -t.f[2]};
          addPairRow(acceleration, correction, pi.mass, pj, pj.mass, r2, row, updateJ);
          storeSum(acceleration, pi.acceleration);
          storeSum(correction, pi.velocityCorrection);
        },
        addParticleForces);
    return;
  }
  // The pairs pass 1 found for this range in this step.
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return walkForcesAvx2(system, *lists);
#endif
  walkForcesBaseline(system, *lists);
}

}  // namespace sph
