// The stub's own executable file, opened for reading as a package source.
#ifndef TUVOLINK_STUB_SELF_IMAGE_H_
#define TUVOLINK_STUB_SELF_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "format/package_reader.h"
#include "os.h"

class SelfImage : public PackageSource {
 public:
  SelfImage() = default;
  SelfImage(const SelfImage&) = delete;
  SelfImage& operator=(const SelfImage&) = delete;
  ~SelfImage() override;

  // Opens the running executable; false with *err set on failure.
  bool Open(ErrorLine* err);
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  // On POSIX, a thread of its own reads ahead in a file of 8 MiB or more;
  // elsewhere ReadAt does all.
  void ReadAhead(uint64_t offset, void* buffer, size_t size) override;
  void Settle() override;
  uint64_t size() const { return size_; }

 private:
  bool ReadNow(uint64_t offset, void* buffer, size_t size);
  static void RunReader(void* self);
  void ReaderLoop();

  intptr_t handle_ = -1;
  uint64_t size_ = 0;
  Worker worker_;
  bool started_ = false;  // the reading thread runs
  // The read ahead, under the worker's lock.
  uint64_t ahead_offset_ = 0;
  void* ahead_buffer_ = nullptr;
  size_t ahead_size_ = 0;
  bool requested_ = false;  // waits for the thread
  bool pending_ = false;    // requested or being read
  bool ahead_ok_ = false;
  bool closing_ = false;
};

#endif  // TUVOLINK_STUB_SELF_IMAGE_H_
