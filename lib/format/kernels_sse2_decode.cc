// The decoder and scanner kernels for the x86-64 baseline, SSE2: the run codes
// of each 64-byte window are found from one vector compare mask with C. Apart
// from the other kernels (kernels_sse2.cc), which the stub does not link.
#include "format/kernels_isa.h"

#if TUVOLINK_HAVE_SSE2
#include <emmintrin.h>

#include <cstring>

#include "format/kernel_loops.h"

namespace {

// Input that must follow a window's start: the window, the two bytes of a run
// code that begins at its last byte, and a literal copy of 64 bytes that may
// start anywhere inside it.
constexpr size_t InputReach = 128;
// Input that the scanner needs after a window's start: the window and the two
// bytes of a run code that begins at its last byte.
constexpr size_t ScanReach = 64 + 2;

// Bit i set where w[i] == crunch, for i in [0, 64).
uint64_t CrunchMask(const uint8_t* w, __m128i c) {
  uint64_t mask = 0;
  for (unsigned k = 0; k < 4; ++k) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * k));
    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, c))))
            << (16 * k);
  }
  return mask;
}

// Decodes items from *in (an item start) while a whole window of input and
// DecodeOutputReach bytes of output room remain, advancing *in and *out. Returns
// true when it consumed the end marker. Output bytes behind *out may be
// scratched.
bool DecodeWindows(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                   const uint8_t* out_end) {
  const __m128i c = _mm_set1_epi8(static_cast<char>(crunch));
  const uint8_t* p = *in;
  uint8_t* o = *out;
  bool end_marker = false;
  bool stop = false;
  while (!stop && static_cast<size_t>(in_end - p) >= InputReach) {
    uint64_t mask = CrunchMask(p, c);
    unsigned cur = 0;  // the item start, inside the window
    for (;;) {
      if (static_cast<size_t>(out_end - o) < DecodeOutputReach) {
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
unsigned ScanWindowExactly(const uint8_t* p, uint64_t mask, uint64_t* size, unsigned* end) {
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
bool ScanWindows(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded) {
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

}  // namespace

namespace kernels_sse2 {

bool DecodeItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint8_t** out,
                 uint8_t* out_end) {
  return DecodeWindows(crunch, in, in_end, out, out_end);
}

bool ScanItems(uint8_t crunch, const uint8_t** in, const uint8_t* in_end, uint64_t* decoded) {
  return ScanWindows(crunch, in, in_end, decoded);
}

}  // namespace kernels_sse2

#endif  // TUVOLINK_HAVE_SSE2
