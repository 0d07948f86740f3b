// The running executable on Windows, found with GetModuleFileNameW.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "os.h"
#include "self_image.h"

SelfImage::~SelfImage() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool SelfImage::Open(ErrorLine* err) {
  // A long path does not fit MAX_PATH: grow until the name is not cut.
  wchar_t* name = nullptr;
  for (DWORD capacity = MAX_PATH; capacity <= 32768 * 2; capacity *= 2) {
    std::free(name);
    name = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
    if (name == nullptr) break;
    DWORD length = GetModuleFileNameW(nullptr, name, capacity);
    if (length == 0) break;
    if (length < capacity) {
      wchar_t* long_name = NewLongPath(name);
      HANDLE file = long_name == nullptr
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(long_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      std::free(long_name);
      std::free(name);
      LARGE_INTEGER size;
      if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        err->Set("cannot open its own image (error %lu)", GetLastError());
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        return false;
      }
      handle_ = reinterpret_cast<intptr_t>(file);
      size_ = static_cast<uint64_t>(size.QuadPart);
      return true;
    }
  }
  std::free(name);
  err->Set("cannot find its own image (error %lu)", GetLastError());
  return false;
}

bool SelfImage::ReadAt(uint64_t offset, void* buffer, size_t size) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out, want, &got, &at) || got == 0) {
      return false;
    }
    out += got;
    offset += got;
    size -= got;
  }
  return true;
}

// Windows reads only when asked: see Worker in os_win32.cc.
void SelfImage::ReadAhead(uint64_t, void*, size_t) {}
void SelfImage::Settle() {}
