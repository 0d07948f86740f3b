// The window loop of the encoder kernel, shared by the builds for each
// instruction set. Included only by encode_kernel*.cc; internal linkage keeps
// the copies compiled with different instruction sets apart.
#ifndef TUVOLINK_TARGET_ENCODE_LOOP_H_
#define TUVOLINK_TARGET_ENCODE_LOOP_H_

#include <cstddef>
#include <cstdint>

#include "target/bits.h"
#include "target/format.h"

namespace {

// Bytes that must follow a window's start: the 64 bytes of the window, two
// more for the compare with the next two bytes, and a speculative literal copy
// of 64 bytes that may start anywhere inside the window.
constexpr size_t WindowReach = 128;

// Masks::Compute(w, crunch, &pairs, &events) fills, for i in [0, 64):
//   pairs bit i:  w[i] == w[i + 1]
//   events bit i: w[i] == crunch, or w[i] == w[i + 1] == w[i + 2]
// At an item start, a byte without an event bit is a literal; one with it
// opens a run code.
template <class Masks>
size_t EncodeLoop(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                  size_t* consumed) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  uint8_t* o = out;
  while (static_cast<size_t>(end - p) >= WindowReach) {
    uint64_t pairs, events;
    Masks::Compute(p, crunch, &pairs, &events);
    unsigned cur = 0;  // the item start, inside the window
    for (;;) {
      uint64_t pending = events >> cur << cur;
      Copy64(o, p + cur);  // the literals up to the next event, and then some
      if (pending == 0) {
        o += 64 - cur;
        p += 64;
        break;
      }
      unsigned at = LowestBit(pending);
      o += at - cur;
      const uint8_t value = p[at];
      uint64_t same = pairs >> at;  // bit k: byte at + k equals the next one
      size_t count;
      if (same != ~uint64_t{0} >> at) {
        count = LowestBit(~same) + 1u;
      } else {
        // The run reaches past the window: bytes at..64 are equal.
        size_t room = static_cast<size_t>(end - (p + at));
        size_t limit = room < MaxRun ? room : MaxRun;
        count = 65 - at;
        count += CountEqual(p + at + count, limit - count, value);
        if (count < MaxRun && count == room) {
          // It may go on in the next block: leave it to the caller.
          *consumed = static_cast<size_t>(p + at - data);
          return static_cast<size_t>(o - out);
        }
      }
      PutRunCode(o, crunch, static_cast<unsigned>(count), value);
      o += RunCodeSize;
      size_t next = at + count;
      if (next >= 64) {
        p += next;
        break;
      }
      cur = static_cast<unsigned>(next);
    }
  }
  *consumed = static_cast<size_t>(p - data);
  return static_cast<size_t>(o - out);
}

}  // namespace

#endif  // TUVOLINK_TARGET_ENCODE_LOOP_H_
