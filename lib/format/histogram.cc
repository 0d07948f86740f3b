// Counting bytes through the kernels, and the least-frequent-byte choice.
#include "format/histogram.h"

#include <cstring>

#include "format/kernels.h"

void ByteHistogram::Add(const uint8_t* data, size_t size) {
  CountTables tables;
  while (size > 0) {
    // 32-bit counters cannot overflow within one chunk of this size.
    size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
    std::memset(tables, 0, sizeof tables);
    CountBytes(tables, data, chunk);
    for (int v = 0; v < 256; ++v) {
      uint64_t sum = 0;
      for (int k = 0; k < 8; ++k) sum += tables[k][v];
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
