// The solver's SIMD loops come in forms for the x86-64 baseline (SSE2, which
// every x86-64 CPU has), for SSSE3 (a byte shuffle packs the neighbour
// screen's results), for AVX2 with FMA (twice the lanes per instruction; a
// force sum's terms added with fused multiply-adds; candidates copied eight
// in one move) and for AVX-512 (the neighbour screen on sixteen lanes,
// packed by the compress instruction; the pair terms eight pairs of doubles
// a register, which on AMD Zen 5 takes half the time of AVX2's four, though
// it gained nothing measurable on an earlier Intel processor). The binaries
// are built for the baseline alone, so they run on any x86-64 CPU; the
// wider forms are compiled with target attributes and the widest one the
// CPU has is chosen once at start-up (a plain variable rather than the
// loader's function multiversioning, which runs too early for the
// sanitizers). Every form performs the same IEEE operations lane by lane, so
// they give the same bits; tests switch the variable to cover each form.
#pragma once

namespace sph {

// In order of width: each form has every instruction of the ones before.
enum class SimdForm { Baseline, Ssse3, Avx2, Avx512 };

bool simdFormAvailable(SimdForm form);
extern SimdForm simdForm;

}  // namespace sph

#if defined(__x86_64__) && defined(__GNUC__)
#define SPH_X86_FORMS 1
#define SPH_TARGET_SSSE3 __attribute__((target("ssse3")))
#define SPH_TARGET_AVX2 __attribute__((target("avx2,fma,popcnt")))
#define SPH_TARGET_AVX512 __attribute__((target("avx512f,avx2,fma,popcnt")))
// For loops the compiler vectorises: it keeps to 256-bit registers unless told.
#define SPH_TARGET_AVX512_WIDE __attribute__((target("avx512f,avx2,fma,popcnt,prefer-vector-width=512")))
#endif
