// The run coder's writing half: a record's data is its file's bytes coded
// with the crunch byte C as the escape, closed by the end marker C, 0
// (docs/format.md).
#ifndef TUVOLINK_FORMAT_RUN_ENCODER_H_
#define TUVOLINK_FORMAT_RUN_ENCODER_H_

#include <cstddef>
#include <cstdint>

#include "format/layout.h"

// Run-length coder of one record's data, fed in blocks of any size: the output
// is the same whatever the block boundaries.
class RunEncoder {
 public:
  explicit RunEncoder(uint8_t crunch) : crunch_(crunch) {}

  // Most bytes that Encode can write for `size` input bytes (every input byte
  // may be a lone C, a run code each, plus the run carried in).
  static constexpr size_t MaxEncodedSize(size_t size) { return RunCodeSize * size + RunCodeSize; }
  // Most bytes that Finish writes: the held-back run and the end marker.
  static constexpr size_t MaxFinishSize = RunCodeSize + EndMarkerSize;

  // Codes data[0, size) into `out`, which must hold MaxEncodedSize(size)
  // bytes; returns the number of bytes written. The last run may be held back
  // until the next block or Finish.
  size_t Encode(const uint8_t* data, size_t size, uint8_t* out);
  // Writes the held-back run and the end marker; returns the bytes written.
  size_t Finish(uint8_t* out);
  // Writes the held-back run, at most RunCodeSize bytes, and no end marker;
  // returns the bytes written. Coding a record in pieces that start where
  // the byte value changes, each piece flushed so, gives the bytes of
  // coding it whole.
  size_t Flush(uint8_t* out);

 private:
  uint8_t crunch_;
  uint8_t value_ = 0;   // value of the run being counted
  unsigned count_ = 0;  // its length so far, 0 before the first byte
};

#endif  // TUVOLINK_FORMAT_RUN_ENCODER_H_
