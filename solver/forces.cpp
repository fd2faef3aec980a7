#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "neighbour_index.h"
#include "pair_terms.h"
#include "parameters.h"
#include "passes.h"

namespace sph {

namespace {

// accumulator[k] = accumulator[k] + sign * (mass * term[k]), each in double
// and rounded once. The product of two floats is exact in double, so this is
// the one rounding of every accumulation in the pair terms, whichever order
// its operands are written in.
inline void accumulate(float accumulator[3], double mass, const float term[3], double sign) {
#if defined(__SSE2__)
  // x and y together in the two lanes of an SSE2 register: the same IEEE
  // operations, half the instructions.
  const double factor = sign * mass;  // exact: sign is +1 or -1
  const __m128d xy = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(accumulator))));
  const __m128d termXY = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(term))));
  const __m128d sum = _mm_add_pd(xy, _mm_mul_pd(_mm_set1_pd(factor), termXY));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(accumulator), _mm_castps_si128(_mm_cvtpd_ps(sum)));
  accumulator[2] = float(double(accumulator[2]) + factor * double(term[2]));
#else
  for (int axis = 0; axis < 3; ++axis)
    accumulator[axis] = float(double(accumulator[axis]) + sign * (mass * double(term[axis])));
#endif
}

// Adds a pair's terms to i and, when it is in the range too, to j. A pair
// at zero distance adds no acceleration: pressure and viscosity act along d,
// which it lacks (and r = 0 would divide by zero); its velocity smoothing
// needs no direction and is applied as usual.
inline void addPairTerms(Particle& pi, Particle& pj, float r2, const ForcePairTerms& terms, bool updateJ) {
  if (r2 != 0.0f) {
    accumulate(pi.acceleration, pj.mass, terms.f, -1.0);
    if (updateJ) accumulate(pj.acceleration, pi.mass, terms.f, 1.0);
  }
  accumulate(pi.velocityCorrection, pj.mass, terms.g, 1.0);
  if (updateJ) accumulate(pj.velocityCorrection, pi.mass, terms.g, -1.0);
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

}  // namespace

void computeForces(int32_t begin, int32_t end) {
  FluidSystem& system = *fluidSystem;
  RangeNeighbours* lists = gatheredNeighbours(*system.neighbourIndex, begin, end);
  if (lists == nullptr) {
    // Pass 1 gathered nothing for this range and grid: walk the grid.
    forEachNeighbourPair(
        system, begin, end,
        [](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
          addPairTerms(pi, pj, r2, forcePairTerms(d[0], d[1], d[2], r2, forcePairInputs(pi, pj)), updateJ);
        },
        addParticleForces);
    return;
  }
  // The pairs pass 1 found for this range in this step.
  PairBatch& batch = *lists->batch;
  walkPairBatches(
      system, *lists, false,
      [&](int32_t k, const Particle& pi, const Particle& pj) {
        const ForcePairInputs inputs = forcePairInputs(pi, pj);
        batch.wx[k] = inputs.wx;
        batch.wy[k] = inputs.wy;
        batch.wz[k] = inputs.wz;
        batch.densitySum[k] = inputs.densitySum;
        batch.pressureTerm[k] = inputs.pressureTerm;
        batch.soundSpeedSum[k] = inputs.soundSpeedSum;
      },
      computeForcePairTerms,
      [&](int32_t k, Particle& pi, Particle& pj, bool updateJ) {
        const ForcePairTerms terms{{batch.fx[k], batch.fy[k], batch.fz[k]}, {batch.gx[k], batch.gy[k], batch.gz[k]}};
        addPairTerms(pi, pj, batch.r2[k], terms, updateJ);
      },
      addParticleForces);
}

}  // namespace sph
