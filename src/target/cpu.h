// What the processor offers beyond the build's baseline, asked once.
#ifndef TUVOLINK_TARGET_CPU_H_
#define TUVOLINK_TARGET_CPU_H_

// Set by the build for the files it compiles with AVX2 enabled (x86-64 with
// GCC or Clang); CpuHasAvx2() is false wherever it is not.
#ifndef TUVOLINK_HAVE_AVX2_BUILD
#define TUVOLINK_HAVE_AVX2_BUILD 0
#endif

// True if the AVX2 kernels (which also use BMI1 and POPCNT) were built and
// this processor can run them. The environment variable TUVOLINK_NO_AVX2 (any
// value) turns them off.
bool CpuHasAvx2();

#endif  // TUVOLINK_TARGET_CPU_H_
