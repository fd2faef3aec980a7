// Pass 2's seventh power against the C library's pow, for every float density
// the band allows: a check that can be exhaustive because the band is narrow.
// Shared by the test suite and the web build's check under Node.js, whose pow
// is Emscripten's, not glibc's.
#pragma once

#include <cmath>
#include <cstdint>

#include "solver/parameters.h"
#include "solver/passes.h"

namespace sph::test {

struct BandPowers {
  int64_t densities = 0, mismatches = 0;
  float firstMismatch = 0.0f;  // a density whose power differs, if any
};

inline BandPowers compareSeventhPowersWithPow() {
  BandPowers result;
  for (float rho = DENSITY_LOWER_LIMIT; rho <= DENSITY_UPPER_LIMIT; rho = std::nextafter(rho, 1.0f)) {
    const float t = float(double(rho) * double(INV_REST_DENSITY));  // as pass 2 forms it
    ++result.densities;
    if (seventhPower(t) == float(std::pow(double(t), 7.0))) continue;
    if (result.mismatches++ == 0) result.firstMismatch = rho;
  }
  return result;
}

}  // namespace sph::test
