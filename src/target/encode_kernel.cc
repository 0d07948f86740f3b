// Encoder kernel builds for the x86-64 baseline (SSE2) and for any other
// processor, and the choice of the best one at run time.
#include "target/encode_kernel.h"

#include <cstring>

#include "target/cpu.h"
#include "target/encode_loop.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TUVOLINK_HAVE_SSE2 1
#endif

namespace {

struct PortableMasks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    uint64_t same = 0, run = 0, hit = 0;
    for (unsigned i = 0; i < 64; ++i) {
      uint64_t bit = uint64_t{1} << i;
      if (w[i] == w[i + 1]) same |= bit;
      if (w[i] == w[i + 1] && w[i] == w[i + 2]) run |= bit;
      if (w[i] == crunch) hit |= bit;
    }
    *pairs = same;
    *events = run | hit;
  }
  static size_t RunLength(const uint8_t* p, size_t size, uint8_t value) {
    return CountEqual(p, size, value);
  }
  static void Copy64(uint8_t* out, const uint8_t* in) { std::memcpy(out, in, 64); }
};

#ifdef TUVOLINK_HAVE_SSE2
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
};
#endif

}  // namespace

// Defined in encode_kernel_avx2.cc, which is compiled for AVX2.
size_t EncodeItemsAvx2(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                       size_t* consumed);

bool EncodeItemsWith(EncodeIsa isa, const uint8_t* data, size_t size, uint8_t crunch,
                     uint8_t* out, size_t* consumed, size_t* written) {
  switch (isa) {
    case EncodeIsa::Portable:
      *written = EncodeLoop<PortableMasks>(data, size, crunch, out, consumed);
      return true;
    case EncodeIsa::Sse2:
#ifdef TUVOLINK_HAVE_SSE2
      *written = EncodeLoop<Sse2Masks>(data, size, crunch, out, consumed);
      return true;
#else
      return false;
#endif
    case EncodeIsa::Avx2:
      if (!CpuHasAvx2()) return false;
      *written = EncodeItemsAvx2(data, size, crunch, out, consumed);
      return true;
  }
  return false;
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  static const bool avx2 = CpuHasAvx2();
  if (avx2) return EncodeItemsAvx2(data, size, crunch, out, consumed);
#ifdef TUVOLINK_HAVE_SSE2
  return EncodeLoop<Sse2Masks>(data, size, crunch, out, consumed);
#else
  return EncodeLoop<PortableMasks>(data, size, crunch, out, consumed);
#endif
}
