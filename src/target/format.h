// Byte layout of a target file: the stub, the file records, the list terminator
// and the start offset. docs/format.md draws the layout; this header holds its
// constants and the little-endian helpers that read and write the offset.
#ifndef TUVOLINK_TARGET_FORMAT_H_
#define TUVOLINK_TARGET_FORMAT_H_

#include <cstddef>
#include <cstdint>

// Capacity of a name buffer, the terminating 0 included: a name holds at most
// MaxName - 1 = 259 characters (the classic Windows MAX_PATH).
constexpr size_t MaxName = 260;

// The byte that ends the list of records and that ends every name.
constexpr uint8_t ListTerminator = 0;

// The trailer: the list terminator, then the start offset in four bytes.
constexpr size_t StartOffsetSize = 4;
constexpr size_t TrailerSize = 1 + StartOffsetSize;

// The stub's length is the start offset, so it must fit in 32 bits.
constexpr uint64_t MaxStubSize = 0xFFFFFFFFu;

// Longest run one run code carries: its count is a single byte.
constexpr unsigned MaxRun = 255;

// A run code is C, N, V; the end marker is C, 0.
constexpr size_t RunCodeSize = 3;
constexpr size_t EndMarkerSize = 2;

inline void PutU32LE(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t GetU32LE(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

#endif  // TUVOLINK_TARGET_FORMAT_H_
