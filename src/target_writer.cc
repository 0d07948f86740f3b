// Write buffering for the target: few, large system calls.
#include "target_writer.h"

#include <cstring>

bool TargetWriter::Write(const void* data, size_t size, std::string* err) {
  position_ += size;
  if (used_ + size <= BufferSize) {
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
    return true;
  }
  if (!Flush(err)) return false;
  if (size >= BufferSize / 2) return output_->Write(data, size, err);
  std::memcpy(buffer_.get(), data, size);
  used_ = size;
  return true;
}

bool TargetWriter::Flush(std::string* err) {
  if (used_ == 0) return true;
  size_t used = used_;
  used_ = 0;
  return output_->Write(buffer_.get(), used, err);
}
