// The choice of the kernels at run time: the best instruction set that both
// the build and the processor offer, asked once.
#include "format/kernels.h"

#include <atomic>

#if TUVOLINK_HAVE_AVX512_BUILD
#include <cpuid.h>
#endif

#include "format/kernels_isa.h"

namespace {

bool ProcessorHasAvx2() {
#if TUVOLINK_HAVE_AVX2_BUILD && (defined(__GNUC__) || defined(__clang__))
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
#else
  return false;
#endif
}

#if TUVOLINK_HAVE_AVX512_BUILD
// True if the operating system saves the AVX-512 registers (the mask
// registers and both halves of the 32 vector registers) with the others:
// bits 1, 2, 5, 6 and 7 of XCR0, readable once OSXSAVE is set.
bool SystemSavesAvx512State() {
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
  unsigned xcr0_low, xcr0_high;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & 0xE6) == 0xE6;
}
#endif

bool ProcessorHasAvx512() {
#if TUVOLINK_HAVE_AVX512_BUILD
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("avx512bitalg") && __builtin_cpu_supports("gfni") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt") &&
         SystemSavesAvx512State();
#else
  return false;
#endif
}

// Chosen on first use. A plain atomic rather than a function-local static,
// whose guard would bring the C++ runtime's exception support into the stub;
// two threads that both choose make the same choice.
std::atomic<int> active_isa{-1};

const KernelSet PortableSet = {Isa::Portable, kernels_portable::CountBytes,
                               kernels_portable::EncodeItems, kernels_portable::DecodeItems,
                               kernels_portable::ScanItems};
#if TUVOLINK_HAVE_SSE2
const KernelSet Sse2Set = {Isa::Sse2, kernels_sse2::CountBytes, kernels_sse2::EncodeItems,
                           kernels_sse2::DecodeItems, kernels_sse2::ScanItems};
#endif
#if TUVOLINK_HAVE_AVX2_BUILD
const KernelSet Avx2Set = {Isa::Avx2, kernels_avx2::CountBytes, kernels_avx2::EncodeItems,
                           kernels_sse2::DecodeItems, kernels_sse2::ScanItems};
#endif
#if TUVOLINK_HAVE_AVX512_BUILD
const KernelSet Avx512Set = {Isa::Avx512, kernels_avx512::CountBytes, kernels_avx512::EncodeItems,
                             kernels_sse2::DecodeItems, kernels_sse2::ScanItems};
#endif

}  // namespace

bool IsaAvailable(Isa isa) {
  switch (isa) {
    case Isa::Portable:
      return true;
    case Isa::Sse2:
      return TUVOLINK_HAVE_SSE2 != 0;
    case Isa::Avx2:
      return TUVOLINK_HAVE_SSE2 && ProcessorHasAvx2();
    case Isa::Avx512:
      return TUVOLINK_HAVE_SSE2 && ProcessorHasAvx512();
  }
  return false;
}

Isa ActiveIsa() {
  int isa = active_isa.load(std::memory_order_relaxed);
  if (isa < 0) {
    // The highest allowed one above the baseline that this processor runs.
    const Isa allowed = AllowedIsa();
    Isa choice = BaselineIsa();
    if (allowed >= Isa::Avx2 && IsaAvailable(Isa::Avx2)) choice = Isa::Avx2;
    if (allowed >= Isa::Avx512 && IsaAvailable(Isa::Avx512)) choice = Isa::Avx512;
    isa = static_cast<int>(choice);
    active_isa.store(isa, std::memory_order_relaxed);
  }
  return static_cast<Isa>(isa);
}

const KernelSet* KernelsFor(Isa isa) {
  if (!IsaAvailable(isa)) return nullptr;
  switch (isa) {
    case Isa::Portable:
      return &PortableSet;
#if TUVOLINK_HAVE_SSE2
    case Isa::Sse2:
      return &Sse2Set;
#endif
#if TUVOLINK_HAVE_AVX2_BUILD
    case Isa::Avx2:
      return &Avx2Set;
#endif
#if TUVOLINK_HAVE_AVX512_BUILD
    case Isa::Avx512:
      return &Avx512Set;
#endif
    default:
      return nullptr;
  }
}

// One dispatcher per kernel, so that a program links only the kernels it
// calls.

void CountBytes(uint64_t* counts, const uint8_t* data, size_t size) {
  switch (ActiveIsa()) {
#if TUVOLINK_HAVE_AVX512_BUILD
    case Isa::Avx512:
      return kernels_avx512::CountBytes(counts, data, size);
#endif
#if TUVOLINK_HAVE_AVX2_BUILD
    case Isa::Avx2:
      return kernels_avx2::CountBytes(counts, data, size);
#endif
#if TUVOLINK_HAVE_SSE2
    case Isa::Sse2:
      return kernels_sse2::CountBytes(counts, data, size);
#endif
    default:
      return kernels_portable::CountBytes(counts, data, size);
  }
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  switch (ActiveIsa()) {
#if TUVOLINK_HAVE_AVX512_BUILD
    case Isa::Avx512:
      return kernels_avx512::EncodeItems(data, size, crunch, out, consumed);
#endif
#if TUVOLINK_HAVE_AVX2_BUILD
    case Isa::Avx2:
      return kernels_avx2::EncodeItems(data, size, crunch, out, consumed);
#endif
#if TUVOLINK_HAVE_SSE2
    case Isa::Sse2:
      return kernels_sse2::EncodeItems(data, size, crunch, out, consumed);
#endif
    default:
      return kernels_portable::EncodeItems(data, size, crunch, out, consumed);
  }
}
