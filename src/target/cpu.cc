// Run-time detection of the optional instruction sets.
#include "target/cpu.h"

#include <cstdlib>

bool CpuHasAvx2() {
#if TUVOLINK_HAVE_AVX2_BUILD && (defined(__GNUC__) || defined(__clang__))
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                           __builtin_cpu_supports("popcnt") &&
                           std::getenv("TUVOLINK_NO_AVX2") == nullptr;
  return has;
#else
  return false;
#endif
}
