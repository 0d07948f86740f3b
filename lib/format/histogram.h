// Crunch byte selection: each record's escape byte is the value that occurs
// least often in its file, the lowest such value on a tie.
#ifndef TUVOLINK_FORMAT_HISTOGRAM_H_
#define TUVOLINK_FORMAT_HISTOGRAM_H_

#include <cstddef>
#include <cstdint>

// Occurrences of each byte value. 64-bit counters, so that files of any size
// are counted exactly.
struct ByteHistogram {
  uint64_t count[256] = {};

  // Adds the bytes of data[0, size) to the counts.
  void Add(const uint8_t* data, size_t size);
  // Adds another histogram's counts to these.
  void Merge(const ByteHistogram& other);
};

// Returns the least frequent value of the histogram; among equal counts the
// lowest value wins, so an empty histogram gives 0.
uint8_t PickCrunchByte(const ByteHistogram& histogram);

#endif  // TUVOLINK_FORMAT_HISTOGRAM_H_
