#include <cmath>

#include "neighbour_index.h"
#include "pair_terms.h"
#include "parameters.h"
#include "passes.h"
#include "simd_support.h"

namespace sph {

namespace {

// densityRate(i) += mass(j) F and, when j is in the range too,
// densityRate(j) += F mass(i), each rounded to float. Two distinct particles
// at the same place have no direction between them: the rate term (which
// divides by r) is skipped for both.
inline void addRateTerm(float& rateI, float& rateJ, double massJ, double massI, float r2, float f, bool updateJ) {
  if (r2 == 0.0f) return;
  rateI = float(massJ * double(f) + double(rateI));
  if (updateJ) rateJ = float(double(f) * massI + double(rateJ));
}

// The sums of pass 1 over pairs [first, last) of i's run in the batch, in
// the compact array of rates.
void sumRateRun(float* rates, const Particle& pi, const PairBatch& batch, int32_t first, int32_t last, int32_t begin,
                int32_t end) {
  float rate = rates[pi.id];  // in a register while i's pairs are added
  const double massI = pi.mass;
  for (int32_t k = first; k < last; ++k) {
    const int32_t j = batch.j[k];
    addRateTerm(rate, rates[j], batch.massJ[k], massI, batch.r2[k], batch.rate[k], j >= begin && j < end);
  }
  rates[pi.id] = rate;
}

#if defined(SPH_X86_FORMS)
// The same sums with fused multiply-adds: the product of two floats is
// exact in double, so fma(mass, F, rate) rounds where mass F + rate does.
SPH_TARGET_AVX2 void sumRateRunFma(float* rates, const Particle& pi, const PairBatch& batch, int32_t first,
                                   int32_t last, int32_t begin, int32_t end) {
  float rate = rates[pi.id];
  const double massI = pi.mass;
  for (int32_t k = first; k < last; ++k) {
    const int32_t j = batch.j[k];
    if (atZeroDistance(batch, k)) continue;  // see addRateTerm
    const double f = batch.rate[k];
    rate = float(__builtin_fma(batch.massJ[k], f, double(rate)));
    if (inRange(j, begin, end)) rates[j] = float(__builtin_fma(f, massI, double(rates[j])));
  }
  rates[pi.id] = rate;
}
#endif

// The batched walk of pass 1 over the lists of a range, summing with
// `sumRun`. Always inlined, so that each form below compiles all of it,
// the fills included, for its own target.
template <class SumRun>
__attribute__((always_inline)) inline void walkDensityRates(FluidSystem& system, RangeNeighbours& lists, float* rates,
                                                            SumRun sumRun) {
  PairBatch& batch = *lists.batch;
  walkPairBatches(
      system, lists,
      [&](int32_t m, const Particle& pi) __attribute__((always_inline)) {
        for (int axis = 0; axis < 3; ++axis) batch.runVelocity[m][axis] = pi.velocity[axis];
      },
      [&](int32_t k, int32_t m, const Particle& pj) __attribute__((always_inline)) {
        batch.dvx[k] = batch.runVelocity[m][0] - double(pj.velocity[0]);
        batch.dvy[k] = batch.runVelocity[m][1] - double(pj.velocity[1]);
        batch.dvz[k] = batch.runVelocity[m][2] - double(pj.velocity[2]);
      },
      computeDensityRateTerms,
      [&](Particle& pi, int32_t first, int32_t last) __attribute__((always_inline)) {
        sumRun(rates, pi, batch, first, last, lists.begin, lists.end);
      },
      [](Particle&) {});
}

void walkDensityRatesBaseline(FluidSystem& system, RangeNeighbours& lists, float* rates) {
  walkDensityRates(system, lists, rates, sumRateRun);
}
#if defined(SPH_X86_FORMS)
SPH_TARGET_AVX2 void walkDensityRatesAvx2(FluidSystem& system, RangeNeighbours& lists, float* rates) {
  walkDensityRates(system, lists, rates, sumRateRunFma);
}
#endif

}  // namespace

void computeDensityRates(int32_t begin, int32_t end) {
  if (begin >= end) return;
  FluidSystem& system = *fluidSystem;
  if (!coversRange(*system.neighbourIndex, end)) {
    // Particles were added since the grid was built (never so in a step):
    // walk the grid's lists, which is what the gathered lists stand for.
    forEachNeighbourPair(
        system, begin, end,
        [](Particle& pi, Particle& pj, const float d[3], float r2, bool updateJ) {
          const float f = densityRateTerm(d[0], d[1], d[2], r2, double(pi.velocity[0]) - double(pj.velocity[0]),
                                          double(pi.velocity[1]) - double(pj.velocity[1]),
                                          double(pi.velocity[2]) - double(pj.velocity[2]));
          addRateTerm(pi.densityRate, pj.densityRate, pj.mass, pi.mass, r2, f, updateJ);
        },
        [](Particle&) {});
    return;
  }
  RangeNeighbours& lists = gatherNeighbourLists(system, begin, end);
  // The range's rates are summed in the compact array, then put back.
  float* const rates = system.neighbourIndex->densityRates;
  Particle* const particles = system.particles;
  for (int32_t k = begin; k < end; ++k) rates[k] = particles[k].densityRate;
#if defined(SPH_X86_FORMS)
  if (simdForm >= SimdForm::Avx2)
    walkDensityRatesAvx2(system, lists, rates);
  else
#endif
    walkDensityRatesBaseline(system, lists, rates);
  for (int32_t k = begin; k < end; ++k) particles[k].densityRate = rates[k];
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
    const float t7 = seventhPower(t);
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
