// Run-length coding of file records. A run is flushed as a run code C, N, V
// when it is of the crunch byte or three or more long, and as literals
// otherwise; a run is cut at 255, the largest count a byte can hold.
#include "format/run_encoder.h"

#include "format/kernels.h"

namespace {

inline uint8_t* FlushRun(uint8_t value, unsigned count, uint8_t crunch, uint8_t* out) {
  if (value == crunch || count >= 3) {
    out[0] = crunch;
    out[1] = static_cast<uint8_t>(count);
    out[2] = value;
    return out + RunCodeSize;
  }
  out[0] = value;
  if (count == 2) out[1] = value;
  return out + count;
}

}  // namespace

size_t RunEncoder::Encode(const uint8_t* data, size_t size, uint8_t* out) {
  uint8_t* start = out;
  const uint8_t* end = data + size;
  const uint8_t* p = data;
  // First the run carried from the previous block, byte by byte: it is at
  // most 255 bytes long.
  if (count_ > 0) {
    while (p < end && *p == value_ && count_ < MaxRun) {
      ++p;
      ++count_;
    }
    if (p == end) return 0;
    out = FlushRun(value_, count_, crunch_, out);
    count_ = 0;
  }
  // Then the kernel from that item start on, and the short rest per byte.
  size_t used = 0;
  out += EncodeItems(p, static_cast<size_t>(end - p), crunch_, out, &used);
  p += used;
  if (p < end && count_ == 0) {
    value_ = *p++;
    count_ = 1;
  }
  uint8_t value = value_;
  unsigned count = count_;
  while (p < end) {
    uint8_t b = *p++;
    if (b == value && count < MaxRun) {
      ++count;
    } else {
      out = FlushRun(value, count, crunch_, out);
      value = b;
      count = 1;
    }
  }
  value_ = value;
  count_ = count;
  return static_cast<size_t>(out - start);
}

size_t RunEncoder::Flush(uint8_t* out) {
  uint8_t* start = out;
  if (count_ > 0) out = FlushRun(value_, count_, crunch_, out);
  count_ = 0;
  return static_cast<size_t>(out - start);
}

size_t RunEncoder::Finish(uint8_t* out) {
  uint8_t* start = out;
  out += Flush(out);
  // The end marker: C and a count of 0, which no run code has.
  *out++ = crunch_;
  *out++ = 0;
  return static_cast<size_t>(out - start);
}
