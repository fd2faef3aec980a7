#include "simd_support.h"

namespace sph {

bool avx2Available() {
#if defined(SPH_AVX2_BUILD)
  __builtin_cpu_init();  // may run before main, from the initialiser below
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

bool useAvx2 = avx2Available();

}  // namespace sph
