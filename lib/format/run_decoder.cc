// Decoding and scanning a record's items: the kernels take whole windows, and
// the loops here the items at the edges, one state at a time.
#include "format/run_decoder.h"

#include <cstring>

#include "format/kernels.h"

RunDecoder::Status RunDecoder::Decode(const uint8_t* in, size_t in_size, size_t* consumed,
                                      uint8_t* out, size_t out_size, size_t* produced) {
  const uint8_t* p = in;
  const uint8_t* in_end = in + in_size;
  uint8_t* o = out;
  uint8_t* out_end = out + out_size;
  Status status = NeedInput;
  for (;;) {
    if (state_ == Item) {
      if (DecodeItems(crunch_, &p, in_end, &o, out_end)) {
        status = EndMarker;
        break;
      }
      size_t in_left = static_cast<size_t>(in_end - p);
      size_t out_left = static_cast<size_t>(out_end - o);
      if (in_left == 0) break;
      if (out_left == 0) {
        status = OutputFull;
        break;
      }
      // A literal span runs up to the next crunch byte.
      size_t room = in_left < out_left ? in_left : out_left;
      const void* hit = std::memchr(p, crunch_, room);
      size_t span = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : room;
      std::memcpy(o, p, span);
      o += span;
      p += span;
      if (hit) {
        ++p;
        state_ = Count;
      }
    } else if (state_ == Count) {
      if (p == in_end) break;
      count_ = *p++;
      state_ = Value;
      if (count_ == 0) {
        state_ = Item;
        status = EndMarker;
        break;
      }
    } else {
      if (p == in_end) break;
      if (static_cast<size_t>(out_end - o) < count_) {
        status = OutputFull;
        break;
      }
      std::memset(o, *p++, count_);
      o += count_;
      state_ = Item;
    }
  }
  *consumed = static_cast<size_t>(p - in);
  *produced = static_cast<size_t>(o - out);
  return status;
}

RunDecoder::Status RunDecoder::Scan(const uint8_t* in, size_t in_size, size_t* consumed,
                                    uint64_t* decoded) {
  const uint8_t* p = in;
  const uint8_t* in_end = in + in_size;
  Status status = NeedInput;
  while (p != in_end) {
    if (state_ == Item) {
      if (ScanItems(crunch_, &p, in_end, decoded)) {
        status = EndMarker;
        break;
      }
      size_t in_left = static_cast<size_t>(in_end - p);
      const void* hit = std::memchr(p, crunch_, in_left);
      size_t span = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : in_left;
      *decoded += span;
      p += span;
      if (hit) {
        ++p;
        state_ = Count;
      }
    } else if (state_ == Count) {
      count_ = *p++;
      state_ = Value;
      if (count_ == 0) {
        state_ = Item;
        status = EndMarker;
        break;
      }
    } else {
      ++p;
      *decoded += count_;
      state_ = Item;
    }
  }
  *consumed = static_cast<size_t>(p - in);
  return status;
}
