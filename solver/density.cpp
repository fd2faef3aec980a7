#include <cmath>

#include "neighbour_index.h"
#include "pair_terms.h"
#include "parameters.h"
#include "passes.h"

namespace sph {

void computeDensityRates(int32_t begin, int32_t end) {
  if (begin >= end) return;
  FluidSystem& system = *fluidSystem;
  RangeNeighbours& lists = gatherNeighbourLists(system, begin, end);
  PairBatch& batch = *lists.batch;
  walkPairBatches(
      system, lists,
      [&](int32_t k, const Particle& pi, const Particle& pj) {
        batch.dvx[k] = double(pi.velocity[0]) - double(pj.velocity[0]);
        batch.dvy[k] = double(pi.velocity[1]) - double(pj.velocity[1]);
        batch.dvz[k] = double(pi.velocity[2]) - double(pj.velocity[2]);
      },
      computeDensityRateTerms,
      [&](Particle& pi, int32_t first, int32_t last) {
        float rate = pi.densityRate;
        for (int32_t k = first; k < last; ++k) {
          // Two distinct particles at the same place have no direction
          // between them: the rate term (which divides by r) is skipped for
          // both.
          if (batch.r2[k] == 0.0f) continue;
          const float f = batch.rate[k];
          Particle& pj = system.particles[batch.j[k]];
          rate = float(double(pj.mass) * double(f) + double(rate));
          if (batch.j[k] >= begin && batch.j[k] < end)
            pj.densityRate = float(double(f) * double(pi.mass) + double(pj.densityRate));
        }
        pi.densityRate = rate;
      },
      [](Particle&) {});
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
