// The choice of the decoder's kernels: SSE2 is part of the x86-64 baseline,
// and the decoder has no kernel beyond it, so the choice needs no question
// to the processor and a program that only decodes (the stub) links no code
// for asking. kernels.cc makes the choice for the other kernels.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "format/kernels.h"
#include "format/kernels_isa.h"

namespace {

// Chosen on first use, like the active instruction set in kernels.cc.
std::atomic<int> baseline_isa{-1};

}  // namespace

// The highest instruction set that the environment allows: the one it
// names, or any when it names none.
Isa AllowedIsa() {
  const char* wanted = std::getenv("TUVOLINK_ISA");
  for (int isa = 0; wanted != nullptr && isa < IsaCount; ++isa) {
    if (std::strcmp(wanted, IsaName(static_cast<Isa>(isa))) == 0) return static_cast<Isa>(isa);
  }
  return static_cast<Isa>(IsaCount - 1);
}

// Without asking the processor, which a program that only decodes (the stub)
// need not link code for: SSE2 is part of the x86-64 baseline.
Isa BaselineIsa() {
  int isa = baseline_isa.load(std::memory_order_relaxed);
  if (isa < 0) {
    isa = static_cast<int>(TUVOLINK_HAVE_SSE2 && AllowedIsa() != Isa::Portable ? Isa::Sse2
                                                                               : Isa::Portable);
    baseline_isa.store(isa, std::memory_order_relaxed);
  }
  return static_cast<Isa>(isa);
}

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::Portable:
      return "portable";
    case Isa::Sse2:
      return "sse2";
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
  }
  return "unknown";
}

// The portable decoder and scanner have no fast path: the item loops of
// RunDecoder do all the work.
namespace kernels_portable {

bool DecodeItems(uint8_t, const uint8_t**, const uint8_t*, uint8_t**, uint8_t*) { return false; }

bool ScanItems(uint8_t, const uint8_t**, const uint8_t*, uint64_t*) { return false; }

}  // namespace kernels_portable

bool DecodeItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                 uint8_t* out_end) {
#if TUVOLINK_HAVE_SSE2
  if (BaselineIsa() == Isa::Sse2)
    return kernels_sse2::DecodeItems(crunch, in, in_end, out, out_end);
#endif
  return kernels_portable::DecodeItems(crunch, in, in_end, out, out_end);
}

bool ScanItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded) {
#if TUVOLINK_HAVE_SSE2
  if (BaselineIsa() == Isa::Sse2) return kernels_sse2::ScanItems(crunch, in, in_end, decoded);
#endif
  return kernels_portable::ScanItems(crunch, in, in_end, decoded);
}
