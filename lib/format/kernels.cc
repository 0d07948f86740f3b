// The choice of the kernels at run time: the best instruction set that both
// the build and the processor offer, asked once.
#include "format/kernels.h"

#include <atomic>

#include "format/kernels_isa.h"

namespace {

bool ProcessorHasAvx2() {
#if TUVOLINK_HAVE_AVX2_BUILD && (defined(__GNUC__) || defined(__clang__))
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
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

}  // namespace

bool IsaAvailable(Isa isa) {
  switch (isa) {
    case Isa::Portable:
      return true;
    case Isa::Sse2:
      return TUVOLINK_HAVE_SSE2 != 0;
    case Isa::Avx2:
      return TUVOLINK_HAVE_SSE2 && ProcessorHasAvx2();
  }
  return false;
}

Isa ActiveIsa() {
  int isa = active_isa.load(std::memory_order_relaxed);
  if (isa < 0) {
    isa = static_cast<int>(AllowedIsa() == Isa::Avx2 && IsaAvailable(Isa::Avx2) ? Isa::Avx2
                                                                                : BaselineIsa());
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
    default:
      return nullptr;
  }
}

// One dispatcher per kernel, so that a program links only the kernels it
// calls.

void CountBytes(CountTables& tables, const uint8_t* data, size_t size) {
  switch (ActiveIsa()) {
#if TUVOLINK_HAVE_AVX2_BUILD
    case Isa::Avx2:
      return kernels_avx2::CountBytes(tables, data, size);
#endif
#if TUVOLINK_HAVE_SSE2
    case Isa::Sse2:
      return kernels_sse2::CountBytes(tables, data, size);
#endif
    default:
      return kernels_portable::CountBytes(tables, data, size);
  }
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  switch (ActiveIsa()) {
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
