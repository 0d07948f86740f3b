// The kernels for AVX-512 with its byte instructions (BW, VBMI, VBMI2,
// BITALG) and GFNI, compiled for them by the build and chosen only after the
// processor and the operating system have been found to support them.
#include "format/kernels_isa.h"

#if TUVOLINK_HAVE_AVX512_BUILD
#include <immintrin.h>

// GCC 12's intrinsics that leave some result lanes undefined trip its
// uninitialised-value warnings where they are inlined (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "format/kernel_loops.h"

namespace {

struct Avx512Masks {
  static void Compute(const uint8_t* w, uint8_t crunch, uint64_t* pairs, uint64_t* events) {
    const __m512i a = _mm512_loadu_si512(w);
    const uint64_t same = _mm512_cmpeq_epi8_mask(a, _mm512_loadu_si512(w + 1));
    const uint64_t same2 = _mm512_cmpeq_epi8_mask(a, _mm512_loadu_si512(w + 2));
    *pairs = same;
    *events =
        (same & same2) | _mm512_cmpeq_epi8_mask(a, _mm512_set1_epi8(static_cast<char>(crunch)));
  }
  static void Copy64(uint8_t* out, const uint8_t* in) {
    _mm512_storeu_si512(out, _mm512_loadu_si512(in));
  }
  static size_t RunLength(const uint8_t* p, size_t size, uint8_t value) {
    const __m512i v = _mm512_set1_epi8(static_cast<char>(value));
    size_t n = 0;
    for (; n + 64 <= size; n += 64) {
      const uint64_t differ = _mm512_cmpneq_epi8_mask(_mm512_loadu_si512(p + n), v);
      if (differ != 0) return n + LowestBit(differ);
    }
    if (n == size) return n;
    // The rest in one masked compare; the bytes masked out are not read.
    const __mmask64 rest = (uint64_t{1} << (size - n)) - 1;
    const uint64_t differ =
        _mm512_mask_cmpneq_epi8_mask(rest, _mm512_maskz_loadu_epi8(rest, p + n), v);
    return differ != 0 ? n + LowestBit(differ) : size;
  }
  // In two halves and without a mask register: through a long stretch of
  // zeros this took the count from 26 to 36 GB/s.
  static bool Uniform64(const uint8_t* p, uint8_t value) {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i both = _mm256_and_si256(_mm256_cmpeq_epi8(x, v), _mm256_cmpeq_epi8(y, v));
    return static_cast<uint32_t>(_mm256_movemask_epi8(both)) == 0xFFFFFFFFu;
  }
};

// ---- The byte count.
//
// Counting a byte into a table is a load and a store, and the stores bound
// the scalar loop at about one byte a cycle. So the 32 values most common so
// far are counted with vector instructions, 64 bytes at a time, and only the
// other bytes go through the tables, gathered first by a compress.

// Below this size the plain loop counts everything: picking the values to
// count by vector would cost more than it saves. (Half of the text of C
// headers comes in files under 16 KiB; at 4 KiB the count of such text ran
// about 3 % slower.)
constexpr size_t FilterMin = size_t{2} << 10;
// The values are chosen anew after each stretch of this size.
constexpr size_t Stretch = size_t{64} << 10;
// Windows per unit, after which the vector counts are summed and the other
// bytes counted: a byte counter gains at most 8 a window, so it holds 31.
constexpr unsigned UnitWindows = 31;
constexpr size_t Unit = 64 * UnitWindows;

// Counts data[0, size) into `tables`, 16 bytes a step with no check for
// stretches of one value.
void CountPlain(CountTables& tables, const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  for (; end - p >= 16; p += 16) {
    Count8(tables, p);
    Count8(tables, p + 8);
  }
  for (; p < end; ++p) ++tables[0][*p];
}

// Values counted by vector, in groups of eight. In C headers the 8 most
// common values make about 47 % of the bytes, 16 make 67 % and 32 make 88 %;
// in programs 49, 61 and 73 %. Each group costs four vector instructions a
// window; 32 counted text 36 % and programs 22 % faster than 8.
constexpr unsigned HotSlots = 32;
constexpr unsigned HotGroups = HotSlots / 8;

// The values counted by vector: value[k] has slot k for k below `slots`,
// and slot_of maps each byte value to its slot, or to 0xFF for the others.
struct HotValues {
  unsigned slots;
  uint8_t value[HotSlots];
  uint8_t slot_of[256];
};

// Number of values v with count[v] >= threshold; sets bit v % 64 of
// above[v / 64] for each.
unsigned ValuesAbove(const uint32_t* count, uint32_t threshold, uint64_t above[4]) {
  const __m512i t = _mm512_set1_epi32(static_cast<int>(threshold));
  unsigned values = 0;
  for (unsigned w = 0; w < 4; ++w) {
    uint64_t bits = 0;
    for (unsigned j = 0; j < 64; j += 16) {
      bits |= uint64_t{_mm512_cmpge_epu32_mask(_mm512_loadu_si512(count + 64 * w + j), t)} << j;
    }
    above[w] = bits;
    values += static_cast<unsigned>(_mm_popcnt_u64(bits));
  }
  return values;
}

// Makes the values of largest count[v] (as many as there are slots, fewer
// where counts tie at the border, none not seen) the values of `hot`, in
// value order, and returns the sum of their counts. The border is the least
// count that leaves no more values than slots, found by bisection: at
// sum / HotSlots it leaves at most HotSlots.
uint64_t TakeHotValues(const uint32_t* count, uint64_t sum, HotValues* hot) {
  uint64_t above[4];
  uint32_t low = 1;  // ValuesAbove(low) may exceed HotSlots
  uint32_t high = static_cast<uint32_t>(sum / HotSlots) + 1;  // ValuesAbove(high) does not
  if (ValuesAbove(count, low, above) > HotSlots) {
    while (high - low > 1) {
      const uint32_t middle = low + (high - low) / 2;
      if (ValuesAbove(count, middle, above) > HotSlots) {
        low = middle;
      } else {
        high = middle;
      }
    }
    ValuesAbove(count, high, above);
  }
  std::memset(hot->slot_of, 0xFF, sizeof hot->slot_of);
  uint64_t covered = 0;
  unsigned k = 0;
  for (unsigned w = 0; w < 4; ++w) {
    for (uint64_t m = above[w]; m != 0; m &= m - 1) {
      const unsigned v = 64 * w + LowestBit(m);
      covered += count[v];
      hot->value[k] = static_cast<uint8_t>(v);
      hot->slot_of[v] = static_cast<uint8_t>(k);
      ++k;
    }
  }
  hot->slots = k;
  return covered;
}

// Chooses the values to count by vector from the counts of `tables`.
// Returns true when they make a fifth of the count, when the vector count
// pays.
bool PickFromTables(const CountTables& tables, HotValues* hot) {
  uint32_t count[256];
  __m512i total = _mm512_setzero_si512();
  for (int j = 0; j < 256; j += 16) {
    __m512i s = _mm512_loadu_si512(tables[0] + j);
    for (int k = 1; k < 8; ++k) s = _mm512_add_epi32(s, _mm512_loadu_si512(tables[k] + j));
    _mm512_storeu_si512(count + j, s);
    total = _mm512_add_epi64(total, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(s)));
    total = _mm512_add_epi64(total, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(s, 1)));
  }
  uint64_t lanes[8];
  _mm512_storeu_si512(lanes, total);
  uint64_t sum = 0;
  for (uint64_t lane : lanes) sum += lane;
  return TakeHotValues(count, sum, hot) * 5 >= sum;
}

// Bytes to count, a multiple of 64.
struct Span {
  const uint8_t* data;
  size_t size;
};

// Byte 8k + j names byte 8j + k: the transpose of an 8 by 8 byte matrix.
const uint8_t Transposed[64] = {0, 8,  16, 24, 32, 40, 48, 56, 1, 9,  17, 25, 33, 41, 49, 57,
                                2, 10, 18, 26, 34, 42, 50, 58, 3, 11, 19, 27, 35, 43, 51, 59,
                                4, 12, 20, 28, 36, 44, 52, 60, 5, 13, 21, 29, 37, 45, 53, 61,
                                6, 14, 22, 30, 38, 46, 54, 62, 7, 15, 23, 31, 39, 47, 55, 63};

// Slot k's bit in the table of its group of eight: entry k of table g is
// 1 << (k - 8g) for k in [8g, 8g + 8), else 0; entry 63 (a byte without a
// slot, 0xFF, looks it up) is 0 in all.
struct GroupBits {
  uint8_t entry[HotGroups][64];
  constexpr GroupBits() : entry() {
    for (unsigned k = 0; k < HotSlots; ++k) entry[k / 8][k] = static_cast<uint8_t>(1u << (k % 8));
  }
};
constexpr GroupBits SlotBits;
static_assert(HotSlots < 64, "entry 63 must stay 0 in every group");

// Counts the bytes of spans[0, count) into `tables`: the values of `hot` by
// vector, the others gathered into a buffer and counted through the tables.
void CountFiltered(CountTables& tables, const HotValues& hot, const Span* spans, size_t count) {
  const __m512i slot0 = _mm512_loadu_si512(hot.slot_of);
  const __m512i slot1 = _mm512_loadu_si512(hot.slot_of + 64);
  const __m512i slot2 = _mm512_loadu_si512(hot.slot_of + 128);
  const __m512i slot3 = _mm512_loadu_si512(hot.slot_of + 192);
  // Moves bit k of byte j to bit j of byte k within each 8-byte lane, so
  // that byte k's population count is the number of bytes in slot k.
  const __m512i transpose = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ULL));
  const __m512i by_slot = _mm512_loadu_si512(Transposed);
  const __m512i zero = _mm512_setzero_si512();
  __m512i bits[HotGroups], slots[HotGroups], totals[HotGroups];
  for (unsigned g = 0; g < HotGroups; ++g) {
    bits[g] = _mm512_loadu_si512(SlotBits.entry[g]);
    slots[g] = zero;   // byte 8j + k: bytes of slot 8g + k in lane j
    totals[g] = zero;  // lane k: bytes of slot 8g + k
  }
  unsigned windows = 0;
  uint8_t others[Unit + 64];
  uint8_t* o = others;
  for (const Span* span = spans; span != spans + count; ++span) {
    for (size_t i = 0; i < span->size; i += 64) {
      const __m512i x = _mm512_loadu_si512(span->data + i);
      const __m512i low = _mm512_permutex2var_epi8(slot0, x, slot1);
      const __m512i high = _mm512_permutex2var_epi8(slot2, x, slot3);
      const __m512i slot = _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
      const uint64_t cold = _mm512_movepi8_mask(slot);
      if (cold == 0 && Avx512Masks::Uniform64(span->data + i, span->data[i])) {
        // A stretch of one value, common in zero-filled and sparse files:
        // followed without the vector counts and counted with one addition.
        const uint8_t value = span->data[i];
        size_t j = i + 64;
        while (j < span->size && Avx512Masks::Uniform64(span->data + j, value)) j += 64;
        tables[0][value] += static_cast<uint32_t>(j - i);
        i = j - 64;
        continue;
      }
      for (unsigned g = 0; g < HotGroups; ++g) {
        const __m512i b = _mm512_permutexvar_epi8(slot, bits[g]);
        slots[g] = _mm512_add_epi8(
            slots[g], _mm512_popcnt_epi8(_mm512_gf2p8affine_epi64_epi8(transpose, b, 0)));
      }
      _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(cold, x));
      o += _mm_popcnt_u64(cold);
      if (++windows == UnitWindows) {
        for (unsigned g = 0; g < HotGroups; ++g) {
          totals[g] = _mm512_add_epi64(
              totals[g], _mm512_sad_epu8(_mm512_permutexvar_epi8(by_slot, slots[g]), zero));
          slots[g] = zero;
        }
        windows = 0;
        CountPlain(tables, others, static_cast<size_t>(o - others));
        o = others;
      }
    }
  }
  CountPlain(tables, others, static_cast<size_t>(o - others));
  uint64_t hot_count[HotSlots];
  for (unsigned g = 0; g < HotGroups; ++g) {
    totals[g] = _mm512_add_epi64(totals[g],
                                 _mm512_sad_epu8(_mm512_permutexvar_epi8(by_slot, slots[g]), zero));
    _mm512_storeu_si512(hot_count + 8 * g, totals[g]);
  }
  for (unsigned k = 0; k < hot.slots; ++k) {
    tables[0][hot.value[k]] += static_cast<uint32_t>(hot_count[k]);
  }
}

void CountFiltered(CountTables& tables, const HotValues& hot, const uint8_t* data, size_t size) {
  const Span span = {data, size};
  CountFiltered(tables, hot, &span, 1);
}

// Counts data[0, size) (a multiple of 64 bytes, eight windows or more) into
// `tables`: eight windows spread over it the plain way, which choose the
// values to count by vector in the rest.
void CountSampled(CountTables& tables, const uint8_t* data, size_t size) {
  size_t at[9];
  for (size_t i = 0; i < 8; ++i) {
    at[i] = 64 * i;
    CountPlain(tables, data + at[i], 64);
  }
  at[8] = size;
  Span rest[8];
  for (size_t i = 0; i < 8; ++i) rest[i] = {data + at[i] + 64, at[i + 1] - at[i] - 64};
  HotValues hot;
  if (PickFromTables(tables, &hot)) return CountFiltered(tables, hot, rest, 8);
  for (const Span& span : rest) CountLoop<Avx512Masks>(tables, span.data, span.size);
}

void CountWithHotValues(CountTables& tables, const uint8_t* data, size_t size) {
  if (size < FilterMin) return CountLoop<Avx512Masks>(tables, data, size);
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  // The first stretch by its sample, the others by all counted before.
  size_t n = static_cast<size_t>(end - p) & ~size_t{63};
  if (n > Stretch) n = Stretch;
  CountSampled(tables, p, n);
  p += n;
  while (static_cast<size_t>(end - p) >= 64) {
    n = static_cast<size_t>(end - p) & ~size_t{63};
    if (n > Stretch) n = Stretch;
    HotValues hot;
    if (PickFromTables(tables, &hot)) {
      CountFiltered(tables, hot, p, n);
    } else {
      CountLoop<Avx512Masks>(tables, p, n);
    }
    p += n;
  }
  CountPlain(tables, p, static_cast<size_t>(end - p));
}

struct HotCounter {
  static void Clear(CountTables& tables) {
    for (int k = 0; k < 8; ++k) {
      for (int j = 0; j < 256; j += 16) _mm512_storeu_si512(tables[k] + j, _mm512_setzero_si512());
    }
  }
  static void Count(CountTables& tables, const uint8_t* data, size_t size) {
    CountWithHotValues(tables, data, size);
  }
  static void Sum(const CountTables& tables, uint64_t* counts) {
    for (int j = 0; j < 256; j += 16) {
      __m512i s = _mm512_loadu_si512(tables[0] + j);
      for (int k = 1; k < 8; ++k) s = _mm512_add_epi32(s, _mm512_loadu_si512(tables[k] + j));
      const __m512i low = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(s));
      const __m512i high = _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(s, 1));
      _mm512_storeu_si512(counts + j, _mm512_add_epi64(_mm512_loadu_si512(counts + j), low));
      _mm512_storeu_si512(counts + j + 8,
                          _mm512_add_epi64(_mm512_loadu_si512(counts + j + 8), high));
    }
  }
};

// ---- The encoder.
//
// A window whose runs all lie inside it and are three bytes or longer (all
// but those of a lone or paired crunch byte) is coded without a loop over
// its items: each run's first byte becomes C and its second the count, its
// third is already the value, the rest of the run is dropped, and one
// compress gathers what is left into the output.

// Byte i holds i, and i + 1.
const uint8_t Positions[65] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33,
                               34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50,
                               51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64};

// Codes the items of the window `w` at `p` (an item start) that start before
// byte `limit`, none of them crossing it, into `o`: 64 bytes written, of
// which the returned number count. `pairs`, `starts` and `runs` are the
// window's masks; every run inside the limit is three bytes or longer.
size_t CodeRunsInPlace(__m512i w, uint8_t crunch, uint64_t pairs, uint64_t starts, uint64_t runs,
                       uint64_t keep_limit, uint8_t* o) {
  // Run lengths: the distance from each stretch's start to the next one.
  const __m512i at = _mm512_maskz_compress_epi8(starts, _mm512_loadu_si512(Positions));
  const uint64_t next = starts >> 1 | uint64_t{1} << 63;
  const __m512i to = _mm512_maskz_compress_epi8(next, _mm512_loadu_si512(Positions + 1));
  const __m512i length = _mm512_sub_epi8(to, at);
  // Each length beside its stretch's first byte (a start in byte 63 has no
  // byte beside it, and its stretch is no run coded here).
  const __m512i counts = _mm512_maskz_expand_epi8(starts << 1, length);
  __m512i coded = _mm512_mask_blend_epi8(runs, w, _mm512_set1_epi8(static_cast<char>(crunch)));
  coded = _mm512_mask_blend_epi8(runs << 1, coded, counts);
  // A byte with three equal bytes before it is the fourth or later of a run.
  const uint64_t after = pairs << 1;
  const uint64_t keep = ~(after & after << 1 & after << 2) & keep_limit;
  _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, coded));
  return static_cast<size_t>(_mm_popcnt_u64(keep));
}

size_t EncodeWindows(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                     size_t* consumed) {
  const __m512i c = _mm512_set1_epi8(static_cast<char>(crunch));
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  uint8_t* o = out;
  // The window and the two bytes after it are compared; only the per-event
  // coding of a window with a lone crunch byte reaches further.
  while (static_cast<size_t>(end - p) >= 64 + 2) {
    const __m512i w = _mm512_loadu_si512(p);
    const uint64_t pairs = _mm512_cmpeq_epi8_mask(w, _mm512_loadu_si512(p + 1));
    const uint64_t three = pairs & _mm512_cmpeq_epi8_mask(w, _mm512_loadu_si512(p + 2));
    const uint64_t events = three | _mm512_cmpeq_epi8_mask(w, c);
    const uint64_t starts = ~(pairs << 1);
    const uint64_t runs = events & starts;
    if ((runs & ~three) != 0) {
      // A lone or paired crunch byte, whose code is longer than its bytes.
      if (static_cast<size_t>(end - p) < WindowReach) break;
      if (!EncodeWindow<Avx512Masks>(&p, end, crunch, pairs, events, &o)) break;
      continue;
    }
    const unsigned last = 63 - static_cast<unsigned>(__builtin_clzll(starts));
    if ((runs >> last & 1) == 0) {
      o += CodeRunsInPlace(w, crunch, pairs, starts, runs, ~uint64_t{0}, o);
      p += 64;
      continue;
    }
    // The last stretch is a run that reaches the window's end: code what
    // comes before it, then measure it in the input.
    if (last > 0)
      o += CodeRunsInPlace(w, crunch, pairs, starts, runs, (uint64_t{1} << last) - 1, o);
    const size_t count = WindowEndRun<Avx512Masks>(p + last, end, 64 - last);
    if (count == 0) {
      p += last;
      break;
    }
    PutRunCode(o, crunch, static_cast<unsigned>(count), p[last]);
    o += RunCodeSize;
    p += last + count;
  }
  *consumed = static_cast<size_t>(p - data);
  return static_cast<size_t>(o - out);
}

}  // namespace

namespace kernels_avx512 {

void CountBytes(uint64_t* counts, const uint8_t* data, size_t size) {
  CountInChunks<HotCounter>(counts, data, size);
}

size_t EncodeItems(const uint8_t* data, size_t size, uint8_t crunch, uint8_t* out,
                   size_t* consumed) {
  return EncodeWindows(data, size, crunch, out, consumed);
}

}  // namespace kernels_avx512

#endif  // TUVOLINK_HAVE_AVX512_BUILD
