// The encoder kernel for AVX2, compiled with AVX2 enabled and called only
// after the processor has been found to support it.
#include "target/cpu.h"
#include "target/encode_loop.h"

#if TUVOLINK_HAVE_AVX2_BUILD
#include <immintrin.h>

namespace {

struct Avx2Masks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    const __m256i c = _mm256_set1_epi8(static_cast<char>(crunch));
    uint64_t same = 0, event = 0;
    for (unsigned k = 0; k < 2; ++k) {
      const uint8_t* q = w + 32 * k;
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
      __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2));
      uint64_t e1 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b)));
      uint64_t e2 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, d)));
      uint64_t ec = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, c)));
      same |= e1 << (32 * k);
      event |= ((e1 & e2) | ec) << (32 * k);
    }
    *pairs = same;
    *events = event;
  }
};

}  // namespace

size_t EncodeItemsAvx2(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                       size_t* consumed) {
  return EncodeLoop<Avx2Masks>(data, size, crunch, out, consumed);
}

#else

// Never called: CpuHasAvx2() is false in a build without AVX2 support.
size_t EncodeItemsAvx2(const uint8_t*, size_t, uint8_t, uint8_t*, size_t* consumed) {
  *consumed = 0;
  return 0;
}

#endif
