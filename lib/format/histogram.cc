// Counting bytes through the kernels, and the least-frequent-byte choice.
#include "format/histogram.h"

#include <cstring>

#include "format/kernels.h"

namespace {

// Below this size the bytes go straight into the totals: clearing and
// summing the kernel's 2,048 counters would cost more than the counting.
constexpr size_t DirectLimit = 256;
// 32-bit counters cannot overflow within one chunk of this size.
constexpr size_t MaxChunk = size_t{1} << 30;

}  // namespace

void ByteHistogram::Add(const uint8_t* data, size_t size) {
  if (size < DirectLimit) {
    for (size_t i = 0; i < size; ++i) ++count[data[i]];
    return;
  }
  CountTables tables;
  while (size > 0) {
    size_t chunk = size < MaxChunk ? size : MaxChunk;
    std::memset(tables, 0, sizeof tables);
    CountBytes(tables, data, chunk);
    // Table by table, so that the additions run as vectors.
    uint32_t sum[256];
    std::memcpy(sum, tables[0], sizeof sum);
    for (int k = 1; k < 8; ++k) {
      for (int v = 0; v < 256; ++v) sum[v] += tables[k][v];
    }
    for (int v = 0; v < 256; ++v) count[v] += sum[v];
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
