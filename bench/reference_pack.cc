// The per-byte reference packer: the same package as tuvolink, built with one
// stdio call for every byte read and every byte written, as the format rules
// describe it. bench/compare.sh times it as the baseline and checks that its
// output and tuvolink's are identical.
//
// Usage: tuvolink_reference STUB OUTFILE FILE...
#include <cstdint>
#include <cstdio>

#include "reference_coder.h"

namespace {

bool CrunchOf(const char* name, uint8_t* crunch) {
  std::FILE* in = std::fopen(name, "rb");
  if (in == nullptr) return false;
  uint64_t count[256] = {};
  int c;
  while ((c = std::getc(in)) != EOF) count[c] += 1;
  std::fclose(in);
  unsigned best = 0;
  for (unsigned v = 1; v < 256; ++v) {
    if (count[v] < count[best]) best = v;
  }
  *crunch = static_cast<uint8_t>(best);
  return true;
}

bool AppendRecord(std::FILE* out, const char* name, uint8_t crunch) {
  std::FILE* in = std::fopen(name, "rb");
  if (in == nullptr) return false;
  for (const char* p = name; *p != 0; ++p) std::putc(*p, out);
  std::putc(0, out);
  std::putc(crunch, out);
  auto put = [out](uint8_t b) { std::putc(b, out); };
  reference::Encoder encoder(crunch);
  int c;
  while ((c = std::getc(in)) != EOF) encoder.Byte(static_cast<uint8_t>(c), put);
  encoder.End(put);
  std::fclose(in);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tuvolink_reference STUB OUTFILE FILE...\n");
    return 2;
  }
  std::FILE* stub = std::fopen(argv[1], "rb");
  std::FILE* out = std::fopen(argv[2], "wb");
  if (stub == nullptr || out == nullptr) {
    std::fprintf(stderr, "tuvolink_reference: cannot open the stub or the output\n");
    return 1;
  }
  std::printf("\nTuvo V1.0\nSelf-extracting packages from a program and its data files\n\n");
  std::printf("Linking...\nAdding Executable...\n");
  uint32_t start = 0;
  int c;
  while ((c = std::getc(stub)) != EOF) {
    std::putc(c, out);
    ++start;
  }
  std::fclose(stub);
  // Records in the reverse order of naming, as the packer's input list holds them.
  for (int i = argc - 1; i >= 3; --i) {
    uint8_t crunch = 0;
    std::printf("Processing %s...\n", argv[i]);
    if (!CrunchOf(argv[i], &crunch)) {
      std::fprintf(stderr, "tuvolink_reference: cannot read '%s'\n", argv[i]);
      return 1;
    }
    std::printf("  CrunchByte: %u\n  Compressing...\n", static_cast<unsigned>(crunch));
    if (!AppendRecord(out, argv[i], crunch)) {
      std::fprintf(stderr, "tuvolink_reference: cannot read '%s'\n", argv[i]);
      return 1;
    }
  }
  std::printf("Terminating Target...\n");
  std::putc(0, out);
  for (int k = 0; k < 4; ++k) std::putc(static_cast<int>((start >> (8 * k)) & 0xFF), out);
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "tuvolink_reference: cannot write '%s'\n", argv[2]);
    return 1;
  }
  return 0;
}
