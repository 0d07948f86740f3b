// Byte layout of a package: the stub, the file records, the list terminator
// and the start offset. docs/format.md draws the layout; this header holds its
// constants and the symmetric Put/Parse pairs that write and read its parts.
#ifndef TUVOLINK_FORMAT_LAYOUT_H_
#define TUVOLINK_FORMAT_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The record head: the name, its 0 byte and the crunch byte.
constexpr size_t MaxRecordHeadSize = MaxName + 1;

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

// The executable headers that the stub reads to find its own end (ELF, PE)
// are little-endian too.
inline uint16_t GetU16LE(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

inline uint64_t GetU64LE(const uint8_t* in) {
  return static_cast<uint64_t>(GetU32LE(in)) | static_cast<uint64_t>(GetU32LE(in + 4)) << 32;
}

// Writes the trailer that closes a package whose records start at `start`.
inline void PutTrailer(uint32_t start, uint8_t out[TrailerSize]) {
  out[0] = ListTerminator;
  PutU32LE(start, out + 1);
}

// Reads a trailer: false when its first byte is not the list terminator.
inline bool ParseTrailer(const uint8_t in[TrailerSize], uint32_t* start) {
  *start = GetU32LE(in + 1);
  return in[0] == ListTerminator;
}

// Writes the head of a record: `name` (1 to MaxName - 1 characters, no 0
// byte; the caller checks), its 0 byte and the crunch byte. Returns the bytes
// written to `out`, which must hold length + 2.
inline size_t PutRecordHead(const char* name, size_t length, uint8_t crunch, uint8_t* out) {
  std::memcpy(out, name, length);
  out[length] = 0;
  out[length + 1] = crunch;
  return length + 2;
}

// Reads a record head from in[0, size).
enum class HeadStatus {
  Ok,         // *length, name[] and *crunch are set; *used bytes were read
  Truncated,  // in[0, size) ends before the head does
  Empty,      // a 0 byte where the name should begin: the list terminator
  TooLong,    // no 0 byte within MaxName bytes
};
inline HeadStatus ParseRecordHead(const uint8_t* in, size_t size, char name[MaxName],
                                  size_t* length, uint8_t* crunch, size_t* used) {
  if (size == 0) return HeadStatus::Truncated;  // in may be null then: no memchr
  if (in[0] == 0) return HeadStatus::Empty;
  const size_t look = size < MaxName ? size : MaxName;
  const void* zero = std::memchr(in, 0, look);
  if (zero == nullptr) return look == MaxName ? HeadStatus::TooLong : HeadStatus::Truncated;
  const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - in);
  if (n + 1 >= size) return HeadStatus::Truncated;  // no crunch byte yet
  std::memcpy(name, in, n);
  name[n] = 0;
  *length = n;
  *crunch = in[n + 1];
  *used = n + 2;
  return HeadStatus::Ok;
}

#endif  // TUVOLINK_FORMAT_LAYOUT_H_
