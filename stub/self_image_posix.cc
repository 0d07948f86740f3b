// The running executable through /proc/self/exe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "self_image.h"

SelfImage::~SelfImage() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool SelfImage::Open(char* err, size_t err_size) {
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    std::snprintf(err, err_size, "cannot open its own image: %s", std::strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  handle_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SelfImage::ReadAt(uint64_t offset, void* buffer, size_t size) {
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
