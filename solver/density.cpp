#include <cmath>

#include "neighbour_index.h"
#include "parameters.h"
#include "passes.h"

namespace sph {

void computeDensityRates(int32_t begin, int32_t end) {
  gatherNeighbourPairs(
      *fluidSystem, begin, end,
      [](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
        // Two distinct particles at the same place have no direction between
        // them: the rate term (which divides by r) is skipped for both.
        if (r2 == 0.0f) return;
        const float q = float(double(H2) - double(r2));
        const double s = (double(d[1]) * (double(pi.velocity[1]) - double(pj.velocity[1])) +
                          double(d[0]) * (double(pi.velocity[0]) - double(pj.velocity[0]))) +
                         double(d[2]) * (double(pi.velocity[2]) - double(pj.velocity[2]));
        const double n = (s * double(q)) * double(q);
        const float r = std::sqrt(r2);
        const float f = float(n / double(r));
        pi.densityRate = float(double(pj.mass) * double(f) + double(pi.densityRate));
        if (updateJ) pj.densityRate = float(double(f) * double(pi.mass) + double(pj.densityRate));
      });
}

void updateParticleState(int32_t begin, int32_t end) {
  Particle* const particles = fluidSystem->particles;
  for (int32_t index = begin; index < end; ++index) {
    Particle& p = particles[index];
    float rho = float(double(p.densityRate) * double(POLY6_GRAD) + double(p.density));
    // A density that is not a number is outside the band like any other and
    // is reset; a density exactly at a limit stays.
    if (!(rho >= DENSITY_LOWER_LIMIT && rho <= DENSITY_UPPER_LIMIT)) rho = DENSITY_RESET;
    p.density = rho;
    const float iota = float(1.0 / double(rho));
    p.invDensity = iota;
    p.invDensitySq = float(double(iota) * double(iota));
    const float m = float(double(rho) * double(PARTICLE_VOLUME));
    p.mass = m;
    p.invMass = float(1.0 / double(m));
    const float t = float(double(rho) * double(INV_REST_DENSITY));
    const float t7 = float(std::pow(double(t), 7.0));
    const float pressure = float((double(t7) - 1.0) * (double(rho) * double(5.6f)));
    p.pressure = pressure;
    p.soundSpeed = float(std::sqrt(std::fabs(double(float(double(pressure) * double(iota))))));
    for (int axis = 0; axis < 3; ++axis) {
      p.acceleration[axis] = 0.0f;
      p.velocityCorrection[axis] = 0.0f;
    }
    p.densityRate = 0.0f;
  }
}

}  // namespace sph
