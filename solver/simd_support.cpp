#include "simd_support.h"

#include <initializer_list>

namespace sph {

bool simdFormAvailable(SimdForm form) {
  if (form == SimdForm::Baseline) return true;
#if defined(SPH_X86_FORMS)
  __builtin_cpu_init();  // may run before main, from the initialiser below
  if (form == SimdForm::Ssse3) return __builtin_cpu_supports("ssse3");
  const bool avx2 =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
  if (form == SimdForm::Avx2) return avx2;
  return avx2 && __builtin_cpu_supports("avx512f");
#else
  return false;
#endif
}

namespace {
SimdForm widestAvailable() {
  for (const SimdForm form : {SimdForm::Avx512, SimdForm::Avx2, SimdForm::Ssse3})
    if (simdFormAvailable(form)) return form;
  return SimdForm::Baseline;
}
}  // namespace

SimdForm simdForm = widestAvailable();

}  // namespace sph
