// The three per-particle passes of a step and the integrator. The passes take
// a half-open index range and work on the global `fluidSystem`, so several
// ranges can run at once on worker threads (see fluid_system.h for the
// ownership rule that makes that safe).
#pragma once

#include <cstdint>

#include "fluid_system.h"

namespace sph {

// Density band of the equation of state: rest density 0.35 times 0.85, 1.15
// and 1.05, each product rounded to float.
inline constexpr float DENSITY_LOWER_LIMIT = 0.35f * 0.85f;
inline constexpr float DENSITY_UPPER_LIMIT = 0.35f * 1.15f;
inline constexpr float DENSITY_RESET = 0.35f * 1.05f;

// t^7 for pass 2's equation of state, t = density / rest density (float), as
// (t^2 t)(t^2 t^2) in double (t^2 is exact) rounded to float: the float that
// pow(t, 7.0) rounds to, for every t a density in the band gives (a test
// checks each of them against the C library's pow, on every build), at a
// quarter of pow's cost.
inline float seventhPower(float t) {
  const double t1 = t, t2 = t1 * t1;
  return float((t2 * t1) * (t2 * t2));
}

inline constexpr float TIME_STEP = 0.4f;
inline constexpr float SPEED_LIMIT_SQ = 8.0f;
inline constexpr float DAMPING = 0.0f;

// Pass 1: sums each particle's densityRate from its neighbours' relative
// motion (continuity equation with the poly6 gradient).
void computeDensityRates(int32_t begin, int32_t end);
// Pass 2: advances density by its rate, keeps it in the band, derives mass,
// pressure (stiff equation of state, exponent 7) and sound speed, and clears
// the accumulators that pass 3 fills.
void updateParticleState(int32_t begin, int32_t end);
// Pass 3: pressure, artificial viscosity and gravity into acceleration;
// velocity smoothing and the wall push into velocityCorrection.
void computeForces(int32_t begin, int32_t end);
// Position-Verlet update of every particle, clamp into the box, velocity from
// the displacement, speed limit. Main thread, after pass 3 has been joined.
void integrate(FluidSystem& system);

}  // namespace sph
