// Write buffering for the target: few, large system calls.
#include "target_writer.h"

#include <cstring>

bool TargetWriter::Write(const void* data, size_t size, std::string* err) {
  position_ += size;
  if (size >= DirectSize) {
    // Large enough to be worth its own system call, and without a copy the
    // kernel reads the bytes while the coder has just left them in cache.
    return Flush(err) && output_->Write(data, size, err);
  }
  if (used_ + size > BufferSize && !Flush(err)) return false;
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
  return true;
}

bool TargetWriter::Flush(std::string* err) {
  if (used_ == 0) return true;
  size_t used = used_;
  used_ = 0;
  return output_->Write(buffer_.get(), used, err);
}
