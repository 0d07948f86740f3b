// The kernels for AVX2 (with BMI1), compiled for it by the build and chosen
// only after the processor has been found to support it.
#include "format/kernels_isa.h"

#if TUVOLINK_HAVE_AVX2_BUILD
#include <immintrin.h>

#include "format/kernel_loops.h"

namespace {

struct Avx2Masks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    const __m256i c = _mm256_set1_epi8(static_cast<char>(crunch));
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 1));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 33));
    uint64_t same = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a0, b0))) |
                    uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a1, b1)))}
                        << 32;
    uint64_t hit = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a0, c))) |
                   uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a1, c)))}
                       << 32;
    // Byte i starts a run of three if it equals bytes i + 1 and i + 2; for
    // i = 63 the second pair lies past the window.
    uint64_t next = (same >> 1) | (uint64_t{w[64] == w[65]} << 63);
    *pairs = same;
    *events = (same & next) | hit;
  }
  static void Copy64(uint8_t* out, const uint8_t* in) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), x);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), y);
  }
  static size_t RunLength(const uint8_t* p, size_t size, uint8_t value) {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
    size_t n = 0;
    for (; n + 32 <= size; n += 32) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n));
      uint32_t equal = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, v)));
      if (equal != 0xFFFFFFFFu) return n + LowestBit(~equal);
    }
    return n + CountEqual(p + n, size - n, value);
  }
  static bool Uniform64(const uint8_t* p, uint8_t value) {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i both = _mm256_and_si256(_mm256_cmpeq_epi8(x, v), _mm256_cmpeq_epi8(y, v));
    return static_cast<uint32_t>(_mm256_movemask_epi8(both)) == 0xFFFFFFFFu;
  }
};

}  // namespace

namespace kernels_avx2 {

void CountBytes(uint64_t* counts, const uint8_t* data, size_t size) {
  CountInChunks<LoopCounter<Avx2Masks>>(counts, data, size);
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  return EncodeLoop<Avx2Masks>(data, size, crunch, out, consumed);
}

}  // namespace kernels_avx2

#endif  // TUVOLINK_HAVE_AVX2_BUILD
