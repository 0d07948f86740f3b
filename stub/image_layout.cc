// Reading just enough of the ELF and PE headers to know where the image ends.
// The headers are untrusted bytes like the rest of the file: every read is
// checked and every sum is made in 64 bits from values of at most 32.
#include "image_layout.h"

#include <cstring>

#include "format/layout.h"

namespace {

uint64_t Max(uint64_t a, uint64_t b) { return a > b ? a : b; }

// The headers are read in many pieces of a few dozen bytes, most of them in
// the same block: the block last read serves them, so that finding the
// package costs a few system calls rather than one per header.
class BlockCache : public PackageSource {
 public:
  BlockCache(PackageSource* source, uint64_t file_size) : source_(source), file_size_(file_size) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    uint64_t block = offset - offset % sizeof data_;
    if (offset - block + size > sizeof data_) return source_->ReadAt(offset, buffer, size);
    if (!held_ || block != block_) {
      size_t length = file_size_ - block < sizeof data_ ? static_cast<size_t>(file_size_ - block)
                                                        : sizeof data_;
      held_ = source_->ReadAt(block, data_, length);
      if (!held_) return false;
      block_ = block;
      length_ = length;
    }
    if (offset - block + size > length_) return false;
    std::memcpy(buffer, data_ + (offset - block), size);
    return true;
  }

 private:
  PackageSource* source_;
  uint64_t file_size_;
  bool held_ = false;
  uint64_t block_ = 0;
  size_t length_ = 0;
  uint8_t data_[4096];
};

// Reads `size` bytes at `offset` if they lie inside the file.
bool ReadIn(PackageSource* source, uint64_t file_size, uint64_t offset, void* out, size_t size) {
  if (offset > file_size || size > file_size - offset) return false;
  return source->ReadAt(offset, out, size);
}

// ELF: the image ends after the last of the section header table, the
// sections that occupy file space and the segments.
uint64_t ElfImageSize(PackageSource* source, uint64_t file_size, const uint8_t* header) {
  bool wide = header[4] == 2;    // EI_CLASS: 1 is 32-bit, 2 is 64-bit
  if (header[5] != 1) return 0;  // EI_DATA: only little-endian images
  uint64_t phoff = wide ? GetU64LE(header + 0x20) : GetU32LE(header + 0x1C);
  uint64_t shoff = wide ? GetU64LE(header + 0x28) : GetU32LE(header + 0x20);
  const uint8_t* counts = header + (wide ? 0x36 : 0x2A);
  uint64_t phentsize = GetU16LE(counts), phnum = GetU16LE(counts + 2);
  uint64_t shentsize = GetU16LE(counts + 4), shnum = GetU16LE(counts + 6);
  if (shoff > file_size || phoff > file_size) return 0;
  uint64_t end = Max(wide ? 64 : 52, shoff + shnum * shentsize);
  uint8_t entry[64];
  for (uint64_t i = 0; i < phnum && phentsize >= (wide ? 56u : 32u); ++i) {
    if (!ReadIn(source, file_size, phoff + i * phentsize, entry, wide ? 56 : 32)) return 0;
    uint64_t offset = wide ? GetU64LE(entry + 8) : GetU32LE(entry + 4);
    uint64_t size = wide ? GetU64LE(entry + 0x20) : GetU32LE(entry + 0x10);
    if (offset > file_size || size > file_size) return 0;
    end = Max(end, offset + size);
  }
  constexpr uint64_t NoBits = 8;  // SHT_NOBITS: takes no room in the file
  for (uint64_t i = 0; i < shnum && shentsize >= (wide ? 64u : 40u); ++i) {
    if (!ReadIn(source, file_size, shoff + i * shentsize, entry, wide ? 64 : 40)) return 0;
    if (GetU32LE(entry + 4) == NoBits) continue;
    uint64_t offset = wide ? GetU64LE(entry + 0x18) : GetU32LE(entry + 0x10);
    uint64_t size = wide ? GetU64LE(entry + 0x20) : GetU32LE(entry + 0x14);
    if (offset > file_size || size > file_size) return 0;
    end = Max(end, offset + size);
  }
  // Headers that claim more than the file holds (a file cut short) are
  // damaged ones.
  return end <= file_size ? end : 0;
}

// PE: the image ends after the headers, the raw data of the last section and
// the COFF symbols, if any. The security directory holds a file offset (not
// an address) and the size of the Authenticode certificate table.
uint64_t PeImageSize(PackageSource* source, uint64_t file_size, const uint8_t* dos,
                     uint64_t* cert_offset, uint64_t* cert_size) {
  uint64_t pe = GetU32LE(dos + 0x3C);
  uint8_t coff[24];
  if (!ReadIn(source, file_size, pe, coff, sizeof coff)) return 0;
  if (std::memcmp(coff, "PE\0\0", 4) != 0) return 0;
  uint64_t sections = GetU16LE(coff + 6), optional_size = GetU16LE(coff + 20);
  uint64_t symbols = GetU32LE(coff + 8), symbol_count = GetU32LE(coff + 12);
  uint8_t opt[240] = {};
  if (optional_size < 96 || optional_size > sizeof opt) return 0;
  if (!ReadIn(source, file_size, pe + 24, opt, static_cast<size_t>(optional_size))) return 0;
  bool plus = GetU16LE(opt) == 0x20B;  // PE32+ rather than PE32
  uint64_t end = GetU32LE(opt + 60);   // SizeOfHeaders
  size_t directories = plus ? 112 : 96;
  uint64_t directory_count = GetU32LE(opt + (plus ? 108 : 92));
  constexpr uint64_t Security = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
  if (directory_count > Security && directories + Security * 8 + 8 <= optional_size) {
    *cert_offset = GetU32LE(opt + directories + Security * 8);
    *cert_size = GetU32LE(opt + directories + Security * 8 + 4);
  }
  uint8_t section[40];
  for (uint64_t i = 0; i < sections; ++i) {
    if (!ReadIn(source, file_size, pe + 24 + optional_size + i * 40, section, 40)) return 0;
    uint64_t raw_size = GetU32LE(section + 16), raw_offset = GetU32LE(section + 20);
    if (raw_size > 0) end = Max(end, raw_offset + raw_size);
  }
  if (symbols != 0) {
    uint8_t strings[4];  // the string table follows the symbols, led by its size
    uint64_t table = symbols + symbol_count * 18;
    if (!ReadIn(source, file_size, table, strings, 4)) return 0;
    end = Max(end, table + GetU32LE(strings));
  }
  return end <= file_size ? end : 0;
}

// A signer pads the file to a multiple of 8 bytes before the certificate
// table. The package ends at the padding's start, found as the trailer that
// names the image's size, followed by zero bytes only.
uint64_t EndBeforePadding(PackageSource* source, uint64_t table, uint64_t image_size) {
  // The trailer and up to seven bytes of padding: the last 12 bytes before
  // the table, at the end of `tail`.
  uint8_t tail[16] = {};
  if (table < 13 || !source->ReadAt(table - 13, tail + 3, 13)) return table;
  for (uint64_t pad = 0; pad < 8; ++pad) {
    const uint8_t* trailer = tail + 16 - pad - 5;
    bool zeros = true;
    for (uint64_t i = 0; i < pad; ++i) zeros = zeros && tail[16 - 1 - i] == 0;
    if (!zeros) break;
    uint32_t start = 0;
    if (ParseTrailer(trailer, &start) && start == image_size) return table - pad;
  }
  return table;
}

}  // namespace

void LocatePackage(PackageSource* source, uint64_t file_size, PackageSpan* span) {
  BlockCache cache(source, file_size);
  source = &cache;
  span->image_size = 0;
  span->end = file_size;
  uint8_t header[64] = {};
  if (!ReadIn(source, file_size, 0, header, file_size < 64 ? static_cast<size_t>(file_size) : 64)) {
    return;
  }
  if (std::memcmp(header,
                  "\x7F"
                  "ELF",
                  4) == 0) {
    span->image_size = ElfImageSize(source, file_size, header);
    return;
  }
  if (header[0] != 'M' || header[1] != 'Z') return;
  uint64_t cert_offset = 0, cert_size = 0;
  span->image_size = PeImageSize(source, file_size, header, &cert_offset, &cert_size);
  if (cert_size == 0 || cert_offset > file_size || cert_size > file_size - cert_offset) return;
  if (cert_offset + cert_size == file_size) {
    // Signed after packing: the certificate table is not part of the package.
    span->end = cert_offset;
    if (span->image_size != 0) span->end = EndBeforePadding(source, cert_offset, span->image_size);
  } else if (span->image_size != 0) {
    // A stub signed before packing: its certificate table is part of the image.
    span->image_size = Max(span->image_size, cert_offset + cert_size);
  }
}
