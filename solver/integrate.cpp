#include <cmath>
#include <cstddef>

#include "parameters.h"
#include "passes.h"
#include "simd_support.h"

#if defined(SPH_X86_FORMS)
#include <immintrin.h>
#endif

namespace sph {

namespace {

constexpr double KEEP = 1.0 - double(DAMPING);

// One particle's step, the model's formulas as written.
inline void integrateParticle(Particle& p) {
  const float box[3] = {BOX_X, BOX_Y, BOX_Z};
  const float old[3] = {p.position[0], p.position[1], p.position[2]};
  for (int axis = 0; axis < 3; ++axis) {
    float next = float(double(old[axis]) + (((double(old[axis]) - double(p.prevPosition[axis])) * KEEP +
                                             double(p.velocityCorrection[axis]) * double(TIME_STEP)) +
                                            double(p.acceleration[axis]) * double(TIME_STEP_SQ)));
    // Strict tests: a coordinate that is not a number passes neither.
    if (next > box[axis])
      next = box[axis];
    else if (next < 0.0f)
      next = 0.0f;
    p.position[axis] = next;
  }
  for (int axis = 0; axis < 3; ++axis) {
    p.prevPosition[axis] = old[axis];
    p.velocity[axis] = float((double(p.position[axis]) - double(old[axis])) * double(INV_TIME_STEP));
  }
  const float v2 = float((double(p.velocity[0]) * double(p.velocity[0]) + double(p.velocity[1]) * double(p.velocity[1])) +
                         double(p.velocity[2]) * double(p.velocity[2]));
  if (v2 > SPEED_LIMIT_SQ) {
    const float scale = std::sqrt(float(double(SPEED_LIMIT_SQ) / double(v2)));
    for (int axis = 0; axis < 3; ++axis) {
      p.velocity[axis] = p.velocity[axis] * scale;
      // Between the old and the clamped position, so still inside the box.
      p.position[axis] = float(double(old[axis]) + double(p.velocity[axis]) * double(TIME_STEP));
    }
  }
}

#if defined(SPH_X86_FORMS)
// The same step with AVX2, the three axes in the lanes of one register: each
// lane performs the formulas' own IEEE operations (no fused ones). The
// fields are read four floats at a time (the fourth lane, the next field's,
// is carried along and dropped), and position, prevPosition and velocity,
// nine floats in a row, are written in three moves. A particle over the
// speed limit (rare) takes the plain step instead, from its fields as they
// were.
static_assert(offsetof(Particle, prevPosition) == 3 * sizeof(float) && offsetof(Particle, velocity) == 6 * sizeof(float),
              "position, prevPosition and velocity follow each other");
SPH_TARGET_AVX2 void integrateAvx2(FluidSystem& system) {
  const __m256d keep = _mm256_set1_pd(KEEP), timeStep = _mm256_set1_pd(double(TIME_STEP));
  const __m256d timeStepSq = _mm256_set1_pd(double(TIME_STEP_SQ)), invTimeStep = _mm256_set1_pd(double(INV_TIME_STEP));
  const __m128 box = _mm_setr_ps(BOX_X, BOX_Y, BOX_Z, 0.0f), zero = _mm_setzero_ps();
  Particle* const particles = system.particles;
  for (int32_t index = 0; index < system.particleCount; ++index) {
    Particle& p = particles[index];
    const __m128 oldFloats = _mm_loadu_ps(p.position);
    const __m256d old = _mm256_cvtps_pd(oldFloats);
    const __m256d previous = _mm256_cvtps_pd(_mm_loadu_ps(p.prevPosition));
    const __m256d correction = _mm256_cvtps_pd(_mm_loadu_ps(p.velocityCorrection));
    const __m256d acceleration = _mm256_cvtps_pd(_mm_loadu_ps(p.acceleration));
    const __m256d moved = _mm256_add_pd(
        _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(old, previous), keep), _mm256_mul_pd(correction, timeStep)),
        _mm256_mul_pd(acceleration, timeStepSq));
    const __m128 next = _mm256_cvtpd_ps(_mm256_add_pd(old, moved));
    // Ordered compares: a coordinate that is not a number passes neither.
    const __m128 clamped = _mm_blendv_ps(_mm_blendv_ps(next, box, _mm_cmp_ps(next, box, _CMP_GT_OQ)), zero,
                                         _mm_cmp_ps(next, zero, _CMP_LT_OQ));
    const __m256d velocityDoubles =
        _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_mul_pd(_mm256_sub_pd(_mm256_cvtps_pd(clamped), old), invTimeStep)));
    const __m256d squares = _mm256_mul_pd(velocityDoubles, velocityDoubles);
    const __m128d xy = _mm256_castpd256_pd128(squares);
    const __m128d sum = _mm_add_sd(_mm_add_sd(xy, _mm_unpackhi_pd(xy, xy)), _mm256_extractf128_pd(squares, 1));
    if (_mm_cvtss_f32(_mm_cvtsd_ss(zero, sum)) > SPEED_LIMIT_SQ) {
      integrateParticle(p);
      continue;
    }
    const __m128 velocity = _mm256_cvtpd_ps(velocityDoubles);
    // [position, old x], [old y, old z, velocity x, velocity y], velocity z.
    _mm_storeu_ps(p.position, _mm_blend_ps(clamped, _mm_shuffle_ps(oldFloats, oldFloats, 0), 0x8));
    _mm_storeu_ps(p.prevPosition + 1, _mm_shuffle_ps(oldFloats, velocity, _MM_SHUFFLE(1, 0, 2, 1)));
    _mm_store_ss(p.velocity + 2, _mm_movehl_ps(velocity, velocity));
  }
}
#endif

}  // namespace

void integrate(FluidSystem& system) {
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2) return integrateAvx2(system);
#endif
  for (int32_t index = 0; index < system.particleCount; ++index) integrateParticle(system.particles[index]);
}

}  // namespace sph
