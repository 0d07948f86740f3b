// The entry points of each instruction set's kernels, for the run-time choice
// in kernels.cc; see kernels.h for what they do. Everything else in the
// kernels_*.cc files has internal linkage, so that code compiled for one
// instruction set is never shared with, or picked by the linker for, another.
#ifndef TUVOLINK_FORMAT_KERNELS_ISA_H_
#define TUVOLINK_FORMAT_KERNELS_ISA_H_

#include "format/kernels.h"

#if defined(__SSE2__) || defined(_M_X64)
#define TUVOLINK_HAVE_SSE2 1
#else
#define TUVOLINK_HAVE_SSE2 0
#endif
// Set by the build where it compiles kernels_avx2.cc for AVX2, and
// kernels_avx512.cc for AVX-512.
#ifndef TUVOLINK_HAVE_AVX2_BUILD
#define TUVOLINK_HAVE_AVX2_BUILD 0
#endif
#ifndef TUVOLINK_HAVE_AVX512_BUILD
#define TUVOLINK_HAVE_AVX512_BUILD 0
#endif

// The highest instruction set that the environment (TUVOLINK_ISA) allows,
// and the best one that needs no question to the processor.
Isa AllowedIsa();
Isa BaselineIsa();

#define TUVOLINK_KERNEL_ENTRIES                                                              \
  void CountBytes(uint64_t* counts, const uint8_t* data, size_t size);                       \
  size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,         \
                     size_t* consumed);                                                      \
  bool DecodeItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out, \
                   uint8_t* out_end);                                                        \
  bool ScanItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded);

namespace kernels_portable {
TUVOLINK_KERNEL_ENTRIES
}
namespace kernels_sse2 {
TUVOLINK_KERNEL_ENTRIES
}
// AVX2 and AVX-512 have kernels of their own only where they pay; the
// others are SSE2's.
namespace kernels_avx2 {
void CountBytes(uint64_t* counts, const uint8_t* data, size_t size);
size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed);
}  // namespace kernels_avx2
namespace kernels_avx512 {
void CountBytes(uint64_t* counts, const uint8_t* data, size_t size);
size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed);
}  // namespace kernels_avx512

#undef TUVOLINK_KERNEL_ENTRIES

#endif  // TUVOLINK_FORMAT_KERNELS_ISA_H_
