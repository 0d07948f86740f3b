// The loops of the kernels, shared by the copies built for each instruction
// set. Included only by kernels_*.cc: everything here has internal linkage,
// so the copies compiled with different instruction sets stay apart.
#ifndef TUVOLINK_FORMAT_KERNEL_LOOPS_H_
#define TUVOLINK_FORMAT_KERNEL_LOOPS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#include "format/kernels.h"
#include "format/layout.h"

// For the few small functions that the compiler would call rather than
// inline in the hot loops, at the cost of saving the loop's registers.
#if defined(__GNUC__) || defined(__clang__)
#define TUVOLINK_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TUVOLINK_ALWAYS_INLINE inline
#endif

namespace {

// Index of the lowest set bit; `mask` must not be 0.
inline unsigned LowestBit(uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long index;
  _BitScanForward64(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

// Writes the run code crunch, count, value, and one spare byte that the next
// item overwrites: a single 4-byte store. `out` must have room for 4 bytes.
// The code is built from scratch in a register, so that consecutive codes do
// not wait for each other through a merged partial register.
inline void PutRunCode(uint8_t* out, uint8_t crunch, unsigned count, uint8_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const uint32_t code = uint32_t{crunch} << 24 | (count & 0xFFu) << 16 | uint32_t{value} << 8;
#else
  const uint32_t code = uint32_t{crunch} | (count & 0xFFu) << 8 | uint32_t{value} << 16;
#endif
  std::memcpy(out, &code, 4);
}

// Number of leading bytes of data[0, size) equal to `value`, at most `size`.
inline size_t CountEqual(const uint8_t* data, size_t size, uint8_t value) {
  const uint64_t pattern = 0x0101010101010101ull * value;
  size_t n = 0;
  for (; n + 8 <= size; n += 8) {
    uint64_t word;
    std::memcpy(&word, data + n, 8);
    uint64_t diff = word ^ pattern;
    if (diff != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return n + static_cast<size_t>(__builtin_clzll(diff)) / 8;
#else
      return n + LowestBit(diff) / 8;
#endif
    }
  }
  while (n < size && data[n] == value) ++n;
  return n;
}

// Eight tables of counters: the count of byte value v is the sum of
// tables[k][v] over k. Spreading the bytes of a word over several tables
// keeps runs of one value from serialising the increments.
using CountTables = uint32_t[8][256];

// Counts the 8 bytes at p, each into a table of its own.
inline void Count8(CountTables& tables, const uint8_t* p) {
  uint32_t a, b;
  std::memcpy(&a, p, 4);
  std::memcpy(&b, p + 4, 4);
  ++tables[0][a & 0xFF];
  ++tables[1][(a >> 8) & 0xFF];
  ++tables[2][(a >> 16) & 0xFF];
  ++tables[3][a >> 24];
  ++tables[4][b & 0xFF];
  ++tables[5][(b >> 8) & 0xFF];
  ++tables[6][(b >> 16) & 0xFF];
  ++tables[7][b >> 24];
}

// Counts data[0, size) into `tables`. Masks::Uniform64(p, value) is true if
// the 64 bytes at p all equal `value`: such stretches, common in zero-filled
// and sparse files, are counted with one addition.
template <class Masks>
void CountLoop(CountTables& tables, const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  while (end - p >= 64) {
    const uint8_t value = p[0];
    if (Masks::Uniform64(p, value)) {
      // Follow the stretch without touching the table, which would make
      // each step wait for the addition of the one before.
      const uint8_t* q = p + 64;
      while (end - q >= 64 && Masks::Uniform64(q, value)) q += 64;
      tables[0][value] += static_cast<uint32_t>(q - p);
      p = q;
      continue;
    }
    for (int k = 0; k < 64; k += 8) Count8(tables, p + k);
    p += 64;
  }
  for (; p < end; ++p) ++tables[0][*p];
}

// Below this size the bytes go straight into the totals: clearing and
// summing the 2,048 counters of the tables would cost more than the counting.
constexpr size_t DirectLimit = 256;
// 32-bit counters cannot overflow within one chunk of this size.
constexpr size_t MaxChunk = size_t{1} << 30;

// CountBytes for a kernel whose Counter::Count(tables, data, size) adds the
// bytes of chunks under 2^32 bytes to its tables, Counter::Clear(tables)
// clears them and Counter::Sum(tables, counts) adds them to the totals.
template <class Counter>
void CountInChunks(uint64_t* counts, const uint8_t* data, size_t size) {
  if (size < DirectLimit) {
    for (size_t i = 0; i < size; ++i) ++counts[data[i]];
    return;
  }
  CountTables tables;
  while (size > 0) {
    const size_t chunk = size < MaxChunk ? size : MaxChunk;
    Counter::Clear(tables);
    Counter::Count(tables, data, chunk);
    Counter::Sum(tables, counts);
    data += chunk;
    size -= chunk;
  }
}

// The counter of CountInChunks for CountLoop.
template <class Masks>
struct LoopCounter {
  static void Clear(CountTables& tables) { std::memset(tables, 0, sizeof tables); }
  static void Count(CountTables& tables, const uint8_t* data, size_t size) {
    CountLoop<Masks>(tables, data, size);
  }
  static void Sum(const CountTables& tables, uint64_t* counts) {
    // Table by table, so that the additions run as vectors.
    uint32_t sum[256];
    std::memcpy(sum, tables[0], sizeof sum);
    for (int k = 1; k < 8; ++k) {
      for (int v = 0; v < 256; ++v) sum[v] += tables[k][v];
    }
    for (int v = 0; v < 256; ++v) counts[v] += sum[v];
  }
};

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
// alone.

// The run of `value` that starts at `run` and reaches past the end of its
// window, whose first `seen` bytes are known equal: returns its length, at
// most MaxRun, or 0 when it reaches `end` short of MaxRun and so may go on
// in the next block, which the caller then codes.
template <class Masks>
TUVOLINK_ALWAYS_INLINE size_t WindowEndRun(const uint8_t* run, const uint8_t* end, size_t seen) {
  const size_t room = static_cast<size_t>(end - run);
  const size_t limit = room < MaxRun ? room : MaxRun;
  const size_t count = seen + Masks::RunLength(run + seen, limit - seen, run[0]);
  return count < MaxRun && count == room ? 0 : count;
}

// Codes the items of the window at *p (an item start) from its masks, and
// advances *p and *o past them. Each event costs a speculative 64-byte
// literal copy and one 4-byte store, and the loop over the events depends
// only on the event mask. Returns false, with *p at the start of a run that
// may go on past `end`, when the caller must stop.
template <class Masks>
bool EncodeWindow(const uint8_t** p_io, const uint8_t* end, uint8_t crunch, uint64_t pairs,
                  uint64_t events, uint8_t** o_io) {
  const uint8_t* p = *p_io;
  uint8_t* o = *o_io;
  const uint64_t starts = ~(pairs << 1);
  uint64_t pending = events & starts;
  unsigned lit = 0;  // first byte not yet coded
  // One exit per window: the copy before the test serves both the literals
  // up to the next event and those up to the window's end.
  for (;;) {
    Masks::Copy64(o, p + lit);
    if (pending == 0) break;
    const unsigned at = LowestBit(pending);
    o += at - lit;
    const uint64_t later = starts & (~uint64_t{1} << at);
    if (later == 0) {
      // The run reaches the window's end: measure it in the input.
      const size_t count = WindowEndRun<Masks>(p + at, end, 64 - at);
      if (count == 0) {
        *p_io = p + at;
        *o_io = o;
        return false;
      }
      PutRunCode(o, crunch, static_cast<unsigned>(count), p[at]);
      *p_io = p + at + count;
      *o_io = o + RunCodeSize;
      return true;
    }
    const unsigned next = LowestBit(later);
    PutRunCode(o, crunch, next - at, p[at]);
    o += RunCodeSize;
    lit = next;
    pending &= pending - 1;  // the events inside the run are not starts
  }
  *p_io = p + 64;
  *o_io = o + (64 - lit);
  return true;
}

// The encoder's loop over windows, each coded by EncodeWindow.
template <class Masks>
size_t EncodeLoop(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                  size_t* consumed) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  uint8_t* o = out;
  while (static_cast<size_t>(end - p) >= WindowReach) {
    uint64_t pairs, events;
    Masks::Compute(p, crunch, &pairs, &events);
    if (!EncodeWindow<Masks>(&p, end, crunch, pairs, events, &o)) break;
  }
  *consumed = static_cast<size_t>(p - data);
  return static_cast<size_t>(o - out);
}

}  // namespace

#endif  // TUVOLINK_FORMAT_KERNEL_LOOPS_H_
