// tuvo.exe, the extractor stub at the head of every package: it finds the
// records behind its own image through the trailer and lists them.
#include <cinttypes>
#include <cstdio>

#include "self_image.h"
#include "target/reader.h"

namespace {

// Exit status of the stub's own failures, apart from any program's status.
constexpr int StubFailure = 125;

int ListRecords(PackageSource* image, uint64_t end) {
  PackageReader reader;
  ReadError err;
  if (!reader.Open(image, end, &err)) {
    std::fprintf(stderr, "tuvo: no package attached to this program (%s)\n", err.text);
    return StubFailure;
  }
  RecordInfo info;
  for (;;) {
    PackageReader::Status status = reader.Next(&info, nullptr, &err);
    if (status == PackageReader::End) return 0;
    if (status == PackageReader::Error) {
      std::fprintf(stderr, "tuvo: malformed package: %s\n", err.text);
      return StubFailure;
    }
    std::printf("%12" PRIu64 "  %s\n", info.decoded_size, info.name);
  }
}

}  // namespace

int main() {
  SelfImage image;
  char err[256];
  if (!image.Open(err, sizeof err)) {
    std::fprintf(stderr, "tuvo: %s\n", err);
    return StubFailure;
  }
  return ListRecords(&image, image.size());
}
