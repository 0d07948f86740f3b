// Fuzz target: finding where the executable image ends in ELF and PE headers
// (and where a package signed after packing ends). Whatever the bytes, the
// finder stays inside the file and gives bounds inside it; and a file that
// is exactly an image keeps its size when a package is appended, which is
// how the stub finds its records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "format/layout.h"
#include "fuzz_check.h"
#include "image_layout.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A source that fails any read outside the file: the finder must not ask.
class MemorySource : public PackageSource {
 public:
  explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    FUZZ_CHECK(offset <= bytes_.size() && size <= bytes_.size() - offset);
    if (size > 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  const Bytes& bytes_;
};

PackageSpan Locate(const Bytes& file) {
  MemorySource source(file);
  PackageSpan span;
  LocatePackage(&source, file.size(), &span);
  FUZZ_CHECK(span.image_size <= file.size());
  FUZZ_CHECK(span.end <= file.size());
  return span;
}

// A package of one record, named by `name_length` letters, behind an image
// of `start` bytes.
Bytes PackageAfter(uint32_t start, size_t name_length) {
  Bytes package(name_length, 'a');
  const uint8_t record[] = {0, 0x7F, 'x', 'y', 0x7F, 0};
  package.insert(package.end(), record, record + sizeof record);
  uint8_t trailer[TrailerSize];
  PutTrailer(start, trailer);
  package.insert(package.end(), trailer, trailer + TrailerSize);
  return package;
}

// True if the package appended to `image` starts where the image ends and
// ends the file.
bool FoundBehind(const Bytes& image, size_t name_length) {
  Bytes packed = image;
  const Bytes package = PackageAfter(static_cast<uint32_t>(image.size()), name_length);
  packed.insert(packed.end(), package.begin(), package.end());
  const PackageSpan after = Locate(packed);
  return after.image_size == image.size() && after.end == packed.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);
  const PackageSpan span = Locate(file);
  // An image (a stub, or a stub signed before packing, whose certificate
  // table then ends the file) with a package behind it: the records start
  // where the image ended and the package ends the file. Headers can be made
  // to claim a certificate table that ends exactly where the package does,
  // so one of two package sizes must do.
  const bool whole_image = span.image_size == size || (span.image_size != 0 && span.end < size);
  if (whole_image && size > 0 && size <= MaxStubSize) {
    FUZZ_CHECK(FoundBehind(file, 1) || FoundBehind(file, 9));
  }
  return 0;
}
