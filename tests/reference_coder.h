// A plain, byte-at-a-time model of a record's coding, written from the format
// rules alone: the yardstick that the fast kernels are compared with, and the
// core of the per-byte reference packer of the benchmarks.
#ifndef TUVOLINK_TESTS_REFERENCE_CODER_H_
#define TUVOLINK_TESTS_REFERENCE_CODER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

// The least frequent byte value, the lowest on a tie.
inline uint8_t CrunchByte(const uint8_t* data, size_t size) {
  uint64_t count[256] = {};
  for (size_t i = 0; i < size; ++i) count[data[i]] += 1;
  unsigned best = 0;
  for (unsigned v = 1; v < 256; ++v) {
    if (count[v] < count[best]) best = v;
  }
  return static_cast<uint8_t>(best);
}

// Per-byte encoder: one call per input byte, one call per output byte.
class Encoder {
 public:
  // `put` is called with each output byte.
  template <class Put>
  static void Code(const uint8_t* data, size_t size, uint8_t crunch, Put put) {
    Encoder state(crunch);
    for (size_t i = 0; i < size; ++i) state.Byte(data[i], put);
    state.End(put);
  }

  explicit Encoder(uint8_t crunch) : crunch_(crunch) {}

  template <class Put>
  void Byte(uint8_t b, Put& put) {
    if (count_ > 0 && b == value_ && count_ < 255) {
      ++count_;
      return;
    }
    Flush(put);
    value_ = b;
    count_ = 1;
  }

  // Flushes the last run and writes the end marker.
  template <class Put>
  void End(Put& put) {
    Flush(put);
    put(crunch_);
    put(0);
  }

 private:
  template <class Put>
  void Flush(Put& put) {
    if (count_ == 0) return;
    if (value_ == crunch_ || count_ >= 3) {
      put(crunch_);
      put(static_cast<uint8_t>(count_));
      put(value_);
    } else {
      for (unsigned i = 0; i < count_; ++i) put(value_);
    }
    count_ = 0;
  }

  uint8_t crunch_;
  uint8_t value_ = 0;
  unsigned count_ = 0;
};

// The coded data of a record with the end marker.
inline std::vector<uint8_t> Encode(const uint8_t* data, size_t size, uint8_t crunch) {
  std::vector<uint8_t> out;
  Encoder::Code(data, size, crunch, [&out](uint8_t b) { out.push_back(b); });
  return out;
}

inline std::vector<uint8_t> Encode(const std::vector<uint8_t>& data, uint8_t crunch) {
  return Encode(data.data(), data.size(), crunch);
}

}  // namespace reference

#endif  // TUVOLINK_TESTS_REFERENCE_CODER_H_
