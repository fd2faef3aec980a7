// The web build's check of the equation of state (support/band_powers.h),
// run by Node.js: every density of the band, its seventh power against pow.
#include <cstdio>

#include "support/band_powers.h"

int main() {
  const sph::test::BandPowers powers = sph::test::compareSeventhPowersWithPow();
  if (powers.mismatches != 0) std::printf("first density whose power differs from pow's: %.9g\n", powers.firstMismatch);
  std::printf("%lld passed, %lld failed\n", static_cast<long long>(powers.densities - powers.mismatches),
              static_cast<long long>(powers.mismatches));
  return powers.mismatches == 0 && powers.densities == 3523215 ? 0 : 1;
}
