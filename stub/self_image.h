// The stub's own executable file, opened for reading as a package source.
#ifndef TUVOLINK_STUB_SELF_IMAGE_H_
#define TUVOLINK_STUB_SELF_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "target/reader.h"

class SelfImage : public PackageSource {
 public:
  SelfImage() = default;
  SelfImage(const SelfImage&) = delete;
  SelfImage& operator=(const SelfImage&) = delete;
  ~SelfImage() override;

  // Opens the running executable; on failure writes the reason into err.
  bool Open(char* err, size_t err_size);
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  uint64_t size() const { return size_; }

 private:
  intptr_t handle_ = -1;
  uint64_t size_ = 0;
};

#endif  // TUVOLINK_STUB_SELF_IMAGE_H_
