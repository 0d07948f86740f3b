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
// Masks::RunLength(p, size, value) counts the leading bytes of p[0, size)
// equal to value, and Masks::Copy64(out, in) copies 64 bytes.
//
// A window always begins at an item start. Bit i of `starts` marks a byte
// that differs from the one before it, the first byte of a stretch of equal
// bytes; bit 0 is set, since the byte before the window either closed a run
// code or was a literal whose equal neighbours cannot make a run of three
// (else the run would have been an event reaching the window's end). A
// stretch that starts at an event bit is one run code, up to the next start;
// every other byte is a literal. So the items of a window come from the masks
// alone: each event costs a speculative 64-byte literal copy and one 4-byte
// store, and the loop over the events depends only on the event mask.
template <class Masks>
size_t EncodeLoop(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                  size_t* consumed) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  uint8_t* o = out;
  while (static_cast<size_t>(end - p) >= WindowReach) {
    uint64_t pairs, events;
    Masks::Compute(p, crunch, &pairs, &events);
    const uint64_t starts = ~(pairs << 1);
    uint64_t pending = events & starts;
    unsigned lit = 0;  // first byte not yet coded
    // One exit per window: the copy before the test serves both the
    // literals up to the next event and those up to the window's end.
    for (;;) {
      Masks::Copy64(o, p + lit);
      if (pending == 0) break;
      const unsigned at = LowestBit(pending);
      o += at - lit;
      const uint64_t later = starts & (~uint64_t{1} << at);
      if (later == 0) {
        // The run reaches the window's end: measure it in the input.
        const uint8_t value = p[at];
        size_t room = static_cast<size_t>(end - (p + at));
        size_t limit = room < MaxRun ? room : MaxRun;
        size_t count = 64 - at;
        count += Masks::RunLength(p + at + count, limit - count, value);
        if (count < MaxRun && count == room) {
          // It may go on in the next block: leave it to the caller.
          *consumed = static_cast<size_t>(p + at - data);
          return static_cast<size_t>(o - out);
        }
        PutRunCode(o, crunch, static_cast<unsigned>(count), value);
        o += RunCodeSize;
        p += at + count;
        lit = 64;  // nothing left of this window
        break;
      }
      const unsigned next = LowestBit(later);
      PutRunCode(o, crunch, next - at, p[at]);
      o += RunCodeSize;
      lit = next;
      pending &= pending - 1;  // the events inside the run are not starts
    }
    if (lit < 64) {
      o += 64 - lit;
      p += 64;
    }
  }
  *consumed = static_cast<size_t>(p - data);
  return static_cast<size_t>(o - out);
}

}  // namespace

#endif  // TUVOLINK_TARGET_ENCODE_LOOP_H_
