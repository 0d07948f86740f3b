// Counting bytes through the kernels, and the least-frequent-byte choice.
#include "format/histogram.h"

#include <algorithm>
#include <cstdint>

#include "format/kernels.h"

void ByteHistogram::Add(const uint8_t* data, size_t size) { CountBytes(count, data, size); }

void ByteHistogram::Merge(const ByteHistogram& other) {
  for (int v = 0; v < 256; ++v) count[v] += other.count[v];
}

uint8_t PickCrunchByte(const ByteHistogram& histogram) {
  // The least count first, in four independent chains rather than one long
  // one, then the first value that has it.
  uint64_t least[4] = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
  for (unsigned v = 0; v < 256; v += 4) {
    for (unsigned k = 0; k < 4; ++k) {
      least[k] = histogram.count[v + k] < least[k] ? histogram.count[v + k] : least[k];
    }
  }
  const uint64_t low = std::min(std::min(least[0], least[1]), std::min(least[2], least[3]));
  unsigned choice = 0;
  while (histogram.count[choice] != low) ++choice;
  return static_cast<uint8_t>(choice);
}
