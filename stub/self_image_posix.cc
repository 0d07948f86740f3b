// The running executable through /proc/self/exe, read with pread; a second
// thread reads the next window while the current one is scanned or decoded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "self_image.h"

SelfImage::~SelfImage() {
  if (started_) {
    worker_.Lock();
    closing_ = true;
    worker_.WakeAll();
    worker_.Unlock();
    worker_.Join();
  }
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool SelfImage::Open(ErrorLine* err) {
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    err->Set("cannot open its own image: %s", std::strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  handle_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SelfImage::ReadNow(uint64_t offset, void* buffer, size_t size) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ssize_t n = pread(static_cast<int>(handle_), out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SelfImage::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (started_) {
    worker_.Lock();
    while (pending_) worker_.Wait();
    bool hit = ahead_buffer_ == buffer && ahead_offset_ == offset && ahead_size_ == size;
    bool ok = ahead_ok_;
    ahead_buffer_ = nullptr;
    worker_.Unlock();
    if (hit) return ok;
  }
  return ReadNow(offset, buffer, size);
}

void SelfImage::ReadAhead(uint64_t offset, void* buffer, size_t size) {
  if (!started_) {
    // A thread pays only for a package read in many windows; without one,
    // reading ahead is left to ReadAt.
    constexpr uint64_t MinSize = uint64_t{8} << 20;
    if (size_ < MinSize || !worker_.Start(RunReader, this)) return;
    started_ = true;
  }
  worker_.Lock();
  while (pending_) worker_.Wait();
  ahead_offset_ = offset;
  ahead_buffer_ = buffer;
  ahead_size_ = size;
  requested_ = true;
  pending_ = true;
  worker_.WakeAll();
  worker_.Unlock();
}

void SelfImage::Settle() {
  if (!started_) return;
  worker_.Lock();
  while (pending_) worker_.Wait();
  ahead_buffer_ = nullptr;
  worker_.Unlock();
}

void SelfImage::RunReader(void* self) { static_cast<SelfImage*>(self)->ReaderLoop(); }

void SelfImage::ReaderLoop() {
  worker_.Lock();
  for (;;) {
    while (!requested_ && !closing_) worker_.Wait();
    if (closing_) break;
    requested_ = false;
    uint64_t offset = ahead_offset_;
    void* buffer = ahead_buffer_;
    size_t size = ahead_size_;
    worker_.Unlock();
    bool ok = ReadNow(offset, buffer, size);
    worker_.Lock();
    ahead_ok_ = ok;
    pending_ = false;
    worker_.WakeAll();
  }
  worker_.Unlock();
}
