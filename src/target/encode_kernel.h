// The fast path of the record encoder: codes a block from an item start on,
// resolving literal stretches and runs from vector compare masks over 64-byte
// windows. RunEncoder wraps it with the run carried between blocks.
#ifndef TUVOLINK_TARGET_ENCODE_KERNEL_H_
#define TUVOLINK_TARGET_ENCODE_KERNEL_H_

#include <cstddef>
#include <cstdint>

// Codes items of data[0, size), the first byte being the start of an item (no
// run carried in), into `out`, which must hold 3 * size bytes. It stops where
// the rest is too short for its windows or where a run may continue past
// `size`; *consumed receives the number of input bytes coded, and the caller
// codes the rest, which is shorter than 400 bytes, by the per-byte rules.
// Returns the number of bytes written. Bytes behind the written ones may be
// scratched.
size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed);

// The same with a given instruction set, for tests and benchmarks. Each
// returns false if this processor or build lacks it.
enum class EncodeIsa { Portable, Sse2, Avx2 };
bool EncodeItemsWith(EncodeIsa isa, const uint8_t* data, size_t size, uint8_t crunch,
                     uint8_t* out, size_t* consumed, size_t* written);

#endif  // TUVOLINK_TARGET_ENCODE_KERNEL_H_
