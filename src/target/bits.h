// Small bit and memory helpers shared by the coding kernels.
#ifndef TUVOLINK_TARGET_BITS_H_
#define TUVOLINK_TARGET_BITS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// Index of the lowest set bit; `mask` must not be 0.
inline unsigned LowestBit(uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long index;
  _BitScanForward64(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

// Writes the run code crunch, count, value, and one spare byte that the next
// item overwrites: a single 4-byte store. `out` must have room for 4 bytes.
// The code is built from scratch in a register, so that consecutive codes do
// not wait for each other through a merged partial register.
inline void PutRunCode(uint8_t* out, uint8_t crunch, unsigned count, uint8_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const uint32_t code = uint32_t{crunch} << 24 | (count & 0xFFu) << 16 | uint32_t{value} << 8;
#else
  const uint32_t code = uint32_t{crunch} | (count & 0xFFu) << 8 | uint32_t{value} << 16;
#endif
  std::memcpy(out, &code, 4);
}

// Number of leading bytes of data[0, size) equal to `value`, at most `size`.
inline size_t CountEqual(const uint8_t* data, size_t size, uint8_t value) {
  const uint64_t pattern = 0x0101010101010101ull * value;
  size_t n = 0;
  for (; n + 8 <= size; n += 8) {
    uint64_t word;
    std::memcpy(&word, data + n, 8);
    uint64_t diff = word ^ pattern;
    if (diff != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return n + static_cast<size_t>(__builtin_clzll(diff)) / 8;
#else
      return n + LowestBit(diff) / 8;
#endif
    }
  }
  while (n < size && data[n] == value) ++n;
  return n;
}

// Copies 64 bytes; the constant size lets the compiler use vector moves.
inline void Copy64(uint8_t* out, const uint8_t* in) { std::memcpy(out, in, 64); }

#endif  // TUVOLINK_TARGET_BITS_H_
