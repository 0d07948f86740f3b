// The vector kernels of the format: the byte count behind the crunch byte,
// the run encoder, and the run decoder and scanner. Each instruction set has
// its own copy in a file of its own (kernels_portable.cc, kernels_sse2.cc,
// kernels_avx2.cc, kernels_avx512.cc); the functions below choose one at run
// time, once.
#ifndef TUVOLINK_FORMAT_KERNELS_H_
#define TUVOLINK_FORMAT_KERNELS_H_

#include <cstddef>
#include <cstdint>

// In increasing order. Avx512 stands for AVX-512 F, BW, VBMI, VBMI2 and
// BITALG with GFNI, and the operating system's support for their registers.
enum class Isa { Portable, Sse2, Avx2, Avx512 };
constexpr int IsaCount = 4;

// True if the kernels for `isa` were built and this processor can run them.
bool IsaAvailable(Isa isa);
// The best available instruction set, chosen on the first call. The
// environment variable TUVOLINK_ISA (portable, sse2, avx2 or avx512) lowers
// it, so that every path can be run end to end on any machine.
Isa ActiveIsa();
const char* IsaName(Isa isa);

// Adds to counts[v] the number of bytes of data[0, size) equal to v, for
// each of the 256 values; exact for any size (but counts must not overflow).
void CountBytes(uint64_t* counts, const uint8_t* data, size_t size);

// Codes items of data[0, size), the first byte being the start of an item (no
// run carried in), into `out`, which must hold 3 * size bytes. It stops where
// the rest is too short for its windows or where a run may continue past
// `size`; *consumed receives the number of input bytes coded, and the caller
// codes the rest, which is shorter than EncodeTail bytes, by the per-byte
// rules. Returns the number of bytes written. Bytes behind the written ones
// may be scratched.
size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed);
constexpr size_t EncodeTail = 400;

// Decodes items from *in (an item start) while a whole window of input and
// DecodeOutputReach bytes of output room remain, advancing *in and *out.
// Returns true when it consumed the end marker. Output bytes behind *out may
// be scratched. The caller decodes what is left, item by item.
bool DecodeItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                 uint8_t* out_end);
// A run filled in whole 16-byte stores, then a 64-byte literal copy.
constexpr size_t DecodeOutputReach = 256 + 64;

// Walks items from *in (an item start) while a whole window of input remains,
// without producing output: adds the bytes the items stand for to *decoded
// and advances *in. Returns true when it consumed the end marker.
bool ScanItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded);

// The kernels of one instruction set, for tests and benchmarks.
struct KernelSet {
  Isa isa;
  void (*count_bytes)(uint64_t* counts, const uint8_t* data, size_t size);
  size_t (*encode_items)(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                         size_t* consumed);
  bool (*decode_items)(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                       uint8_t* out_end);
  bool (*scan_items)(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded);
};
// The kernels of `isa`, or null when it is not available.
const KernelSet* KernelsFor(Isa isa);

#endif  // TUVOLINK_FORMAT_KERNELS_H_
