#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "neighbour_index.h"
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

inline void addPairForces(Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
  const float q = float(double(H2) - double(r2));
  const float w[3] = {pj.velocity[0] - pi.velocity[0], pj.velocity[1] - pi.velocity[1],
                      pj.velocity[2] - pi.velocity[2]};
  const float kernel = float(((double(q) * double(POLY6)) * double(q)) * double(q));
  const float meanInvDensity = float(2.0 / (double(pj.density) + double(pi.density)));

  // Pressure and viscosity act along d, so a pair at zero distance (no
  // direction, and r = 0 would divide by zero) adds no acceleration; its
  // velocity smoothing below needs no direction and is applied as usual.
  if (r2 != 0.0f) {
    const float r = std::sqrt(r2);
    const float a = float(double(SMOOTHING_LENGTH) - double(r));
    float p = float(double(pj.pressure) * double(pj.invDensitySq) + double(pi.pressure) * double(pi.invDensitySq));
    const float u = float((-double(d[0]) * double(w[0]) - double(d[1]) * double(w[1])) - double(d[2]) * double(w[2]));
    if (u < 0.0f) {  // approaching: artificial viscosity
      const float mu = float((double(u) * double(SMOOTHING_LENGTH)) / (double(r2) + 20.0));
      p = float((double(mu) * (double(mu) + double(mu)) -
                 ((double(pj.soundSpeed) + double(pi.soundSpeed)) * double(mu)) * 0.5) *
                    double(meanInvDensity) +
                double(p));
    }
    const float s = float((((double(a) * double(SPIKY_GRAD)) * double(a)) / double(r)) * double(p));
    float f[3];
    for (int axis = 0; axis < 3; ++axis) f[axis] = float(double(d[axis]) * double(s));
    accumulate(pi.acceleration, pj.mass, f, -1.0);
    if (updateJ) accumulate(pj.acceleration, pi.mass, f, 1.0);
  }

  const float k = float((double(kernel) * 0.5) * double(meanInvDensity));
  float g[3];
  for (int axis = 0; axis < 3; ++axis) g[axis] = float(double(w[axis]) * double(k));
  accumulate(pi.velocityCorrection, pj.mass, g, 1.0);
  if (updateJ) accumulate(pj.velocityCorrection, pi.mass, g, -1.0);
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
  // The pairs pass 1 found for this range in this step, when it ran.
  replayNeighbourPairs(*fluidSystem, begin, end, addPairForces, addParticleForces);
}

}  // namespace sph
