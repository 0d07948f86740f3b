// The fast paths of the record decoder: copies literal stretches and fills runs
// 64 input bytes at a time, finding the crunch bytes of a window with vector
// compares; and a scanner that walks the same items only to find the end
// marker and the decoded size. Header only, free of exceptions and of the
// standard library, so that the extractor stub builds it with the reader.
#ifndef TUVOLINK_TARGET_DECODE_KERNEL_H_
#define TUVOLINK_TARGET_DECODE_KERNEL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TUVOLINK_DECODE_SSE2 1
#endif

#include "target/bits.h"

namespace decode_kernel {

// Input that must follow a window's start: the window, the two bytes of a run
// code that begins at its last byte, and a literal copy of 64 bytes that may
// start anywhere inside it.
constexpr size_t InputReach = 128;
// Output room the kernel keeps before each item: a run filled in whole
// 16-byte stores (at most 256 bytes) and then a 64-byte literal copy.
constexpr size_t OutputReach = 256 + 64;
// Input that the scanner needs after a window's start: the window and the two
// bytes of a run code that begins at its last byte.
constexpr size_t ScanReach = 64 + 2;

#ifdef TUVOLINK_DECODE_SSE2

// Bit i set where w[i] == crunch, for i in [0, 64).
inline uint64_t CrunchMask(const uint8_t* w, __m128i c) {
  uint64_t mask = 0;
  for (unsigned k = 0; k < 4; ++k) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * k));
    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, c))))
            << (16 * k);
  }
  return mask;
}

// Decodes items from *in (an item start) while a whole window of input and
// OutputReach bytes of output room remain, advancing *in and *out. Returns
// true when it consumed the end marker. Output bytes behind *out may be
// scratched.
inline bool DecodeItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                        uint8_t* out_end) {
  const __m128i c = _mm_set1_epi8(static_cast<char>(crunch));
  const uint8_t* p = *in;
  uint8_t* o = *out;
  bool end_marker = false;
  bool stop = false;
  while (!stop && static_cast<size_t>(in_end - p) >= InputReach) {
    uint64_t mask = CrunchMask(p, c);
    unsigned cur = 0;  // the item start, inside the window
    for (;;) {
      if (static_cast<size_t>(out_end - o) < OutputReach) {
        p += cur;
        stop = true;
        break;
      }
      uint64_t pending = mask >> cur << cur;
      std::memcpy(o, p + cur, 64);  // the literals up to the next run code
      if (pending == 0) {
        o += 64 - cur;
        p += 64;
        break;
      }
      unsigned at = LowestBit(pending);
      o += at - cur;
      unsigned count = p[at + 1];
      if (count == 0) {
        p += at + 2;
        end_marker = true;
        stop = true;
        break;
      }
      const __m128i value = _mm_set1_epi8(static_cast<char>(p[at + 2]));
      for (unsigned k = 0; k < count; k += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + k), value);
      }
      o += count;
      unsigned next = at + 3;
      if (next >= 64) {
        p += next;
        break;
      }
      cur = next;
    }
  }
  *in = p;
  *out = o;
  return end_marker;
}

// Walks the items of the window at p (an item start) one by one: adds what
// they stand for to *size and returns the offset of the next item start, or
// 0 after the end marker, which ends at *end.
inline unsigned ScanWindowExactly(const uint8_t* p, uint64_t mask, uint64_t* size, unsigned* end) {
  unsigned cur = 0;
  for (;;) {
    uint64_t pending = mask >> cur << cur;
    if (pending == 0) {
      *size += 64 - cur;
      return 64;
    }
    unsigned at = LowestBit(pending);
    unsigned count = p[at + 1];
    *size += at - cur + count;
    if (count == 0) {
      *end = at + 2;
      return 0;
    }
    cur = at + 3;
    if (cur >= 64) return cur;
  }
}

// Walks items from *in (an item start) while a whole window of input
// remains, without producing output: adds the bytes the items stand for to
// *decoded and advances *in. Returns true when it consumed the end marker.
inline bool ScanItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end,
                      uint64_t* decoded) {
  const __m128i c = _mm_set1_epi8(static_cast<char>(crunch));
  const uint8_t* p = *in;
  uint64_t size = *decoded;
  bool end_marker = false;
  while (static_cast<size_t>(in_end - p) >= ScanReach) {
    uint64_t mask = CrunchMask(p, c);
    if (mask == 0) {
      size += 64;
      p += 64;
      continue;
    }
    // Every item of the window in one pass without a branch per item: each
    // run code found clears the two bits of its count and value, whatever
    // they hold. An end marker (a count of 0) is left to the exact walk.
    unsigned items = 0, sum = 0, zero = 0, last = 0;
    for (uint64_t m = mask; m != 0;) {
      last = LowestBit(m);
      unsigned count = p[last + 1];
      sum += count;
      zero |= count == 0;
      ++items;
      m &= ~(uint64_t{7} << last);
    }
    if (zero == 0) {
      unsigned used = last + 3 > 64 ? last + 3 : 64;
      size += used - 3 * items + sum;
      p += used;
      continue;
    }
    unsigned end = 0;
    unsigned next = ScanWindowExactly(p, mask, &size, &end);
    if (next == 0) {
      p += end;
      end_marker = true;
      break;
    }
    p += next;
  }
  *in = p;
  *decoded = size;
  return end_marker;
}

#else

// Without SSE2 the reader's own span loop does all the work.
inline bool DecodeItems(uint8_t, const uint8_t**, const uint8_t*, uint8_t**, uint8_t*) {
  return false;
}
inline bool ScanItems(uint8_t, const uint8_t**, const uint8_t*, uint64_t*) { return false; }

#endif

}  // namespace decode_kernel

#endif  // TUVOLINK_TARGET_DECODE_KERNEL_H_
