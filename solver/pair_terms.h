// The arithmetic of one neighbour pair in each pair pass, written once.
//
// A pair's terms read only what the pair passes do not write (positions,
// velocities, densities, pressures, sound speeds), so they do not depend on
// the order in which pairs are summed. The passes therefore compute them for
// a batch of pairs at once, in structure-of-arrays form with no branches, so
// the compiler can turn the loop into SIMD code, and then add the terms to
// the accumulators one by one in the fixed order. Lane-wise SIMD arithmetic
// is the same IEEE arithmetic as the scalar form, so the bits do not change.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "parameters.h"

namespace sph {

// The rate term F of pass 1: n / r with n = (s q) q, where s is d times the
// velocity difference v(i) - v(j) (the differences taken in double) and
// q = H2 - r^2 (float). Meaningless when r2 is 0, which the caller skips.
inline float densityRateTerm(float dx, float dy, float dz, float r2, double dvx, double dvy, double dvz) {
  const float q = float(double(H2) - double(r2));
  const double s = (double(dy) * dvy + double(dx) * dvx) + double(dz) * dvz;
  const double n = (s * double(q)) * double(q);
  const float r = std::sqrt(r2);
  return float(n / double(r));
}

// condition ? a : b as a bit mask, so a loop over pairs stays free of
// branches (a float ?: is not if-converted while division may trap).
inline float selectFloat(bool condition, float a, float b) {
  uint32_t bitsA, bitsB;
  std::memcpy(&bitsA, &a, 4);
  std::memcpy(&bitsB, &b, 4);
  const uint32_t mask = 0u - uint32_t(condition);
  const uint32_t bits = (bitsA & mask) | (bitsB & ~mask);
  float result;
  std::memcpy(&result, &bits, 4);
  return result;
}

// What pass 3 reads of a pair besides d and r^2, combined the way the
// formulas combine them (the sums in double, not rounded).
struct ForcePairInputs {
  float wx, wy, wz;      // velocity(j) - velocity(i), floats
  double densitySum;     // density(j) + density(i)
  double pressureTerm;   // pressure(j) invDensitySq(j) + pressure(i) invDensitySq(i)
  double soundSpeedSum;  // soundSpeed(j) + soundSpeed(i)
};

// f scales d into i's acceleration (i gets -mass(j) f, j gets +mass(i) f);
// g scales w into the velocity corrections (i gets +mass(j) g, j gets
// -mass(i) g).
struct ForcePairTerms {
  float f[3];
  float g[3];
};

// Pressure, viscosity (approaching pairs only) and smoothing of one pair.
// f is meaningless when r2 is 0, which the caller skips: a pair at zero
// distance has no direction. The viscosity term is formed for every pair and
// then kept or dropped, so that a batch of pairs runs without branches.
inline ForcePairTerms forcePairTerms(float dx, float dy, float dz, float r2, const ForcePairInputs& in) {
  const float q = float(double(H2) - double(r2));
  const float kernel = float(((double(q) * double(POLY6)) * double(q)) * double(q));
  const float meanInvDensity = float(2.0 / in.densitySum);
  const float r = std::sqrt(r2);
  const float a = float(double(SMOOTHING_LENGTH) - double(r));
  const float pressure = float(in.pressureTerm);
  const float u = float((-double(dx) * double(in.wx) - double(dy) * double(in.wy)) - double(dz) * double(in.wz));
  const float mu = float((double(u) * double(SMOOTHING_LENGTH)) / (double(r2) + 20.0));
  const float withViscosity =
      float((double(mu) * (double(mu) + double(mu)) - (in.soundSpeedSum * double(mu)) * 0.5) * double(meanInvDensity) +
            double(pressure));
  const float p = selectFloat(u < 0.0f, withViscosity, pressure);  // approaching pairs only
  const float s = float((((double(a) * double(SPIKY_GRAD)) * double(a)) / double(r)) * double(p));
  const float k = float((double(kernel) * 0.5) * double(meanInvDensity));
  ForcePairTerms terms;
  terms.f[0] = float(double(dx) * double(s));
  terms.f[1] = float(double(dy) * double(s));
  terms.f[2] = float(double(dz) * double(s));
  terms.g[0] = float(double(in.wx) * double(k));
  terms.g[1] = float(double(in.wy) * double(k));
  terms.g[2] = float(double(in.wz) * double(k));
  return terms;
}

// A batch of pairs in structure-of-arrays form, filled by a pass and turned
// into terms in one SIMD-friendly sweep.
inline constexpr int32_t PAIR_BATCH = 256;
// Room past a batch's last pair for whole pieces of sixteen.
inline constexpr int32_t PIECE = 16;
// Floats in a row of pass 3's terms (see PairBatch).
inline constexpr int32_t FORCE_ROW = 8;

struct PairBatch {
  int32_t run[PAIR_BATCH + PIECE];  // pair k belongs to the batch's run run[k] (see walkPairBatches)
  int32_t j[PAIR_BATCH + PIECE];
  int32_t runEnds[PAIR_BATCH];  // per i completed in the batch: where its pairs end
  float dx[PAIR_BATCH];
  float dy[PAIR_BATCH];
  float dz[PAIR_BATCH];
  float r2[PAIR_BATCH];
  double massJ[PAIR_BATCH];  // so that the sums need not read j again
  // Pass 1: velocity(i) - velocity(j) in double.
  double dvx[PAIR_BATCH];
  double dvy[PAIR_BATCH];
  double dvz[PAIR_BATCH];
  // Pass 3: see ForcePairInputs.
  float wx[PAIR_BATCH];
  float wy[PAIR_BATCH];
  float wz[PAIR_BATCH];
  double densitySum[PAIR_BATCH];
  double pressureTerm[PAIR_BATCH];
  double soundSpeedSum[PAIR_BATCH];
  // Results: pass 1's rate term F; pass 3's terms of a pair as one row, in
  // the order of a particle's velocityCorrection and acceleration fields: g,
  // then -f (i adds the row times mass(j), j times -mass(i)); the last two
  // floats are not used.
  float rate[PAIR_BATCH];
  alignas(32) float forceTerms[PAIR_BATCH][FORCE_ROW];
  // The x86 forms make the rows from columns (pair_terms.cpp).
  float gx[PAIR_BATCH];
  float gy[PAIR_BATCH];
  float gz[PAIR_BATCH];
  float minusFx[PAIR_BATCH];
  float minusFy[PAIR_BATCH];
  float minusFz[PAIR_BATCH];
  // Per run of the batch, what the pairs read of its i: taken from the
  // particle once, not once a pair.
  float runX[PAIR_BATCH + 1];
  float runY[PAIR_BATCH + 1];
  float runZ[PAIR_BATCH + 1];
  double runVelocity[PAIR_BATCH + 1][3];  // pass 1
  float runVelocityFloat[PAIR_BATCH + 1][3];  // pass 3
  double runDensity[PAIR_BATCH + 1];
  double runPressureTerm[PAIR_BATCH + 1];  // pressure(i) invDensitySq(i)
  double runSoundSpeed[PAIR_BATCH + 1];
};

// Whether j lies in [begin, end), in one unsigned compare.
inline bool inRange(int32_t j, int32_t begin, int32_t end) { return uint32_t(j - begin) < uint32_t(end - begin); }

// Whether pair k is at zero distance. Its r2, a sum of squares, is never -0,
// so an integer test of its bits does, at less cost than a float compare.
inline bool atZeroDistance(const PairBatch& batch, int32_t k) {
  uint32_t bits;
  std::memcpy(&bits, batch.r2 + k, sizeof bits);
  return bits == 0;
}

// Appends `count` pairs of the batch's run `run`, whose js are at `js`, to
// the batch at `at`, sixteen at a time: up to sixteen entries past the end
// (a whole piece when count is 0) are read (the lists have room for that)
// and written (the batch has, since `at` < PAIR_BATCH).
inline void copyListPiece(PairBatch& batch, int32_t at, const int32_t* js, int32_t run, int32_t count) {
  int32_t k = 0;
  do {
    std::memcpy(batch.j + at + k, js + k, sizeof(int32_t) * PIECE);
    for (int32_t lane = 0; lane < PIECE; ++lane) batch.run[at + k + lane] = run;
    k += PIECE;
  } while (k < count);
}

// r2[k] = (dx^2 + dy^2) + dz^2 of pair k in double, rounded to float, for
// k < count.
void computeSquaredDistances(PairBatch& batch, int32_t count);
// rate[k] = densityRateTerm of pair k, for k < count.
void computeDensityRateTerms(PairBatch& batch, int32_t count);
// forceTerms[k] from f and g of pair k, for k < count.
void computeForcePairTerms(PairBatch& batch, int32_t count);

}  // namespace sph
