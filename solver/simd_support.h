// The solver's SIMD loops come in two builds: the x86-64 baseline (SSE2) and
// AVX2, which does twice the lanes per instruction. Which one runs is decided
// once at start-up from the CPU (a plain flag rather than the loader's
// function multiversioning, which runs too early for the sanitizers). Both
// builds perform the same IEEE operations lane by lane, so they give the same
// bits; tests switch the flag to cover both.
#pragma once

namespace sph {

bool avx2Available();
extern bool useAvx2;

}  // namespace sph

#if defined(__x86_64__) && defined(__GNUC__)
#define SPH_AVX2_BUILD 1
#define SPH_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#endif
