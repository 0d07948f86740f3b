// The count and encoder kernels for the x86-64 baseline, SSE2: every 64-byte
// window is turned into bit masks by vector compares, and the items are read
// off the masks. The decoder's are in kernels_sse2_decode.cc, apart, so that
// a program that only decodes (the stub) links none of these.
#include "format/kernels_isa.h"

#if TUVOLINK_HAVE_SSE2
#include <emmintrin.h>

#include <cstring>

#include "format/kernel_loops.h"

namespace {

struct Sse2Masks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    const __m128i c = _mm_set1_epi8(static_cast<char>(crunch));
    uint64_t same = 0, event = 0;
    for (unsigned k = 0; k < 4; ++k) {
      const uint8_t* q = w + 16 * k;
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
      __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
      uint64_t e1 = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
      uint64_t e2 = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, d)));
      uint64_t ec = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, c)));
      same |= e1 << (16 * k);
      event |= ((e1 & e2) | ec) << (16 * k);
    }
    *pairs = same;
    *events = event;
  }
  static size_t RunLength(const uint8_t* p, size_t size, uint8_t value) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    size_t n = 0;
    for (; n + 16 <= size; n += 16) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
      unsigned differ = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, v))) ^ 0xFFFFu;
      if (differ != 0) return n + LowestBit(differ);
    }
    return n + CountEqual(p + n, size - n, value);
  }
  static void Copy64(uint8_t* out, const uint8_t* in) {
    const __m128i* from = reinterpret_cast<const __m128i*>(in);
    __m128i* to = reinterpret_cast<__m128i*>(out);
    __m128i a = _mm_loadu_si128(from), b = _mm_loadu_si128(from + 1);
    __m128i c = _mm_loadu_si128(from + 2), d = _mm_loadu_si128(from + 3);
    _mm_storeu_si128(to, a);
    _mm_storeu_si128(to + 1, b);
    _mm_storeu_si128(to + 2, c);
    _mm_storeu_si128(to + 3, d);
  }
  static bool Uniform64(const uint8_t* p, uint8_t value) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    const __m128i* q = reinterpret_cast<const __m128i*>(p);
    __m128i all = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q), v),
                                              _mm_cmpeq_epi8(_mm_loadu_si128(q + 1), v)),
                                _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q + 2), v),
                                              _mm_cmpeq_epi8(_mm_loadu_si128(q + 3), v)));
    return _mm_movemask_epi8(all) == 0xFFFF;
  }
};

}  // namespace

namespace kernels_sse2 {

void CountBytes(uint64_t* counts, const uint8_t* data, size_t size) {
  CountInChunks<LoopCounter<Sse2Masks>>(counts, data, size);
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  return EncodeLoop<Sse2Masks>(data, size, crunch, out, consumed);
}

}  // namespace kernels_sse2

#endif  // TUVOLINK_HAVE_SSE2
