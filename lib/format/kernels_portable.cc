// The count and encoder kernels in plain C++, for processors without the
// vector extensions that the other copies use. The decoder and scanner have
// no fast path here (see kernels_decode.cc).
#include <cstring>

#include "format/kernel_loops.h"
#include "format/kernels_isa.h"

namespace {

struct PortableMasks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    uint64_t same = 0, run = 0, hit = 0;
    for (unsigned i = 0; i < 64; ++i) {
      uint64_t bit = uint64_t{1} << i;
      if (w[i] == w[i + 1]) same |= bit;
      if (w[i] == w[i + 1] && w[i] == w[i + 2]) run |= bit;
      if (w[i] == crunch) hit |= bit;
    }
    *pairs = same;
    *events = run | hit;
  }
  static size_t RunLength(const uint8_t* p, size_t size, uint8_t value) {
    return CountEqual(p, size, value);
  }
  static void Copy64(uint8_t* out, const uint8_t* in) { std::memcpy(out, in, 64); }
  static bool Uniform64(const uint8_t* p, uint8_t value) { return CountEqual(p, 64, value) == 64; }
};

}  // namespace

namespace kernels_portable {

void CountBytes(uint64_t* counts, const uint8_t* data, size_t size) {
  CountInChunks<LoopCounter<PortableMasks>>(counts, data, size);
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  return EncodeLoop<PortableMasks>(data, size, crunch, out, consumed);
}

}  // namespace kernels_portable
