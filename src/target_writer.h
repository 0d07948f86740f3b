// Buffered, forward-only writer of the target file, over the temporary that
// replaces the target once it is complete.
#ifndef TUVOLINK_TARGET_WRITER_H_
#define TUVOLINK_TARGET_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform.h"

class TargetWriter {
 public:
  static constexpr size_t BufferSize = size_t{4} << 20;
  // Writes of at least this size go to the output without a copy.
  static constexpr size_t DirectSize = size_t{128} << 10;

  explicit TargetWriter(TempOutput* output) : output_(output), buffer_(new uint8_t[BufferSize]) {}

  // Appends data[0, size); large writes bypass the buffer.
  bool Write(const void* data, size_t size, std::string* err);
  // Writes out what is buffered.
  bool Flush(std::string* err);
  // Bytes written so far, buffered ones included.
  uint64_t position() const { return position_; }

 private:
  TempOutput* output_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t used_ = 0;
  uint64_t position_ = 0;
};

#endif  // TUVOLINK_TARGET_WRITER_H_
