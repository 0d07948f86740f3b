// Histogram and least-frequent-byte choice behind each record's crunch byte.
#include "target/crunch.h"

#include <cstring>
#include <memory>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TUVOLINK_HISTOGRAM_SSE2 1
#endif

#include "platform.h"

namespace {

// Counters per table, so that the bytes of one word land in different tables
// and runs of one value do not make every increment wait for the one before.
using Tables = uint32_t[8][256];

inline void Count8(Tables& table, const uint8_t* p) {
  uint32_t a, b;
  std::memcpy(&a, p, 4);
  std::memcpy(&b, p + 4, 4);
  ++table[0][a & 0xFF];
  ++table[1][(a >> 8) & 0xFF];
  ++table[2][(a >> 16) & 0xFF];
  ++table[3][a >> 24];
  ++table[4][b & 0xFF];
  ++table[5][(b >> 8) & 0xFF];
  ++table[6][(b >> 16) & 0xFF];
  ++table[7][b >> 24];
}

// True if the 64 bytes at p all equal `value`: such stretches are counted
// with one addition (zero-filled and sparse files are full of them).
inline bool Uniform64(const uint8_t* p, uint8_t value) {
#ifdef TUVOLINK_HISTOGRAM_SSE2
  const __m128i v = _mm_set1_epi8(static_cast<char>(value));
  const __m128i* q = reinterpret_cast<const __m128i*>(p);
  __m128i all = _mm_and_si128(
      _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q), v), _mm_cmpeq_epi8(_mm_loadu_si128(q + 1), v)),
      _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q + 2), v),
                    _mm_cmpeq_epi8(_mm_loadu_si128(q + 3), v)));
  return _mm_movemask_epi8(all) == 0xFFFF;
#else
  uint64_t word[8];
  std::memcpy(word, p, 64);
  const uint64_t pattern = 0x0101010101010101ull * value;
  uint64_t diff = 0;
  for (int k = 0; k < 8; ++k) diff |= word[k] ^ pattern;
  return diff == 0;
#endif
}

// Counts data[0, size) into `table`; size must stay below 2^32.
void CountChunk(Tables& table, const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  while (end - p >= 64) {
    const uint8_t value = p[0];
    if (Uniform64(p, value)) {
      // Follow the stretch without touching the table, which would make
      // each step wait for the addition of the one before.
      const uint8_t* q = p + 64;
      while (end - q >= 64 && Uniform64(q, value)) q += 64;
      table[0][value] += static_cast<uint32_t>(q - p);
      p = q;
      continue;
    }
    for (int k = 0; k < 64; k += 8) Count8(table, p + k);
    p += 64;
  }
  for (; p < end; ++p) ++table[0][*p];
}

}  // namespace

void ByteHistogram::Add(const uint8_t* data, size_t size) {
  Tables table;
  while (size > 0) {
    // 32-bit counters cannot overflow within one chunk of this size.
    size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
    std::memset(table, 0, sizeof table);
    CountChunk(table, data, chunk);
    for (int v = 0; v < 256; ++v) {
      uint64_t sum = 0;
      for (int k = 0; k < 8; ++k) sum += table[k][v];
      count[v] += sum;
    }
    data += chunk;
    size -= chunk;
  }
}

void ByteHistogram::Merge(const ByteHistogram& other) {
  for (int v = 0; v < 256; ++v) count[v] += other.count[v];
}

uint8_t PickCrunchByte(const ByteHistogram& histogram) {
  unsigned choice = 0;
  for (unsigned v = 1; v < 256; ++v) {
    if (histogram.count[v] < histogram.count[choice]) choice = v;
  }
  return static_cast<uint8_t>(choice);
}

bool CalcCrunchByte(InputFile* file, uint8_t* crunch, uint64_t* size, std::string* err) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[InputFile::BlockSize]);
  ByteHistogram histogram;
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!file->Read(buffer.get(), InputFile::BlockSize, &got, err)) return false;
    if (got == 0) break;
    histogram.Add(buffer.get(), got);
    total += got;
  }
  *crunch = PickCrunchByte(histogram);
  *size = total;
  return true;
}

bool CalcCrunchByte(const char* name, uint8_t* crunch, std::string* err) {
  InputFile file;
  uint64_t size = 0;
  return file.Open(name, err) && CalcCrunchByte(&file, crunch, &size, err);
}
