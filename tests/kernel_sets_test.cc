// Every instruction set's count and encoder kernels against the per-byte
// model, on inputs shaped for the paths of the vector kernels, and the
// run-time choice of the instruction set under TUVOLINK_ISA.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "format/kernels.h"
#include "reference_coder.h"
#include "test_util.h"

namespace {

std::vector<const KernelSet*> AvailableSets() {
  std::vector<const KernelSet*> sets;
  for (int isa = 0; isa < IsaCount; ++isa) {
    if (const KernelSet* set = KernelsFor(static_cast<Isa>(isa))) sets.push_back(set);
  }
  return sets;
}

// Bytes of `values` in a random order, `size` of them.
Bytes Shuffled(size_t size, const Bytes& values, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (uint8_t& b : data) b = values[rng() % values.size()];
  return data;
}

Bytes Range(unsigned from, unsigned to) {
  Bytes values;
  for (unsigned v = from; v < to; ++v) values.push_back(static_cast<uint8_t>(v));
  return values;
}

// Inputs for the counts: sizes around the kernels' thresholds and stretches,
// skewed so that the common values change on the way (the vector count
// follows the common ones), and single values long enough to overflow a
// narrow counter.
std::vector<std::pair<std::string, Bytes>> CountInputs() {
  std::vector<std::pair<std::string, Bytes>> inputs;
  for (size_t size :
       {0u, 1u, 63u, 64u, 255u, 2047u, 2048u, 2049u, 4096u, 16383u, 16384u, 16447u, 70000u}) {
    inputs.push_back({"random " + std::to_string(size), RandomBytes(size, 1)});
  }
  inputs.push_back({"text", Shuffled(300000, ToBytes("eeeeetttaaoinsh  \n\n_;"), 2)});
  inputs.push_back({"runs", RandomRuns(300000, {1, 2, 3, 64, 255, 300, 5000}, 256, 3)});
  inputs.push_back({"one value", Bytes(size_t{1} << 20, 0xAB)});
  inputs.push_back({"zeros then noise", Concat({Bytes(200000, 0), RandomBytes(100001, 4)})});
  // Eight values for the first 64 KiB, then none of them.
  inputs.push_back({"common values change", Concat({Shuffled(65536 + 4096, Range(0, 8), 5),
                                                    Shuffled(200000, Range(8, 256), 6),
                                                    Shuffled(99999, Range(0, 12), 7)})});
  // More common values than the vector count takes, many of them tied at
  // its border: 20 values twice as common as 30 others.
  inputs.push_back({"ties", Shuffled(150000, Concat({Range(40, 60), Range(40, 90)}), 10)});
  // Fewer than eight values in all; then each value common by turns.
  inputs.push_back({"three values", Shuffled(100000, {7, 9, 200}, 8)});
  Bytes turns;
  for (unsigned v = 0; v < 256; v += 17)
    turns.insert(turns.end(), 9000 + v, static_cast<uint8_t>(v));
  inputs.push_back({"turns", Concat({Shuffled(5000, Range(0, 256), 9), turns})});
  return inputs;
}

TEST(KernelSets, EveryInstructionSetCountsExactly) {
  const std::vector<const KernelSet*> sets = AvailableSets();
  ASSERT_GE(sets.size(), 1u);
  for (const auto& [what, data] : CountInputs()) {
    // From an offset too, so that no load is aligned.
    for (size_t offset : {size_t{0}, size_t{3}}) {
      if (offset > data.size()) continue;
      const uint8_t* start = data.data() + offset;
      const size_t size = data.size() - offset;
      // Counts held before, some past 32 bits.
      uint64_t held[256], expected[256];
      for (unsigned v = 0; v < 256; ++v) held[v] = expected[v] = (uint64_t{1} << 33) * (v % 3) + v;
      for (size_t i = 0; i < size; ++i) expected[start[i]] += 1;
      for (const KernelSet* set : sets) {
        uint64_t counts[256];
        std::copy(held, held + 256, counts);
        set->count_bytes(counts, start, size);
        for (int v = 0; v < 256; ++v) {
          ASSERT_EQ(counts[v], expected[v])
              << what << " from " << offset << ", value " << v << ", " << IsaName(set->isa);
        }
      }
    }
  }
}

// One value 2^32 times and a few more, in one call: more than a 32-bit
// counter holds. The 4 GiB are one 2 MiB file of zeros in memory, mapped
// over and over, so that the test needs little memory and few page faults.
// The plain count and the best one here: the others share the plain one's
// chunking.
TEST(KernelSets, CountsPast32BitsInOneCall) {
  constexpr size_t Slot = size_t{2} << 20;
  constexpr size_t Slots = (size_t{1} << 32) / Slot + 1;
  const size_t size = (size_t{1} << 32) + 100;
  const int fd = memfd_create("zeros", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, Slot), 0);
  uint8_t* zeros = static_cast<uint8_t*>(
      mmap(nullptr, Slots * Slot, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(zeros, MAP_FAILED);
  for (size_t i = 0; i < Slots; ++i) {
    ASSERT_NE(mmap(zeros + i * Slot, Slot, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
  }
  close(fd);
  for (const KernelSet* set : {KernelsFor(Isa::Portable), AvailableSets().back()}) {
    uint64_t counts[256] = {};
    set->count_bytes(counts, zeros, size);
    EXPECT_EQ(counts[0], size) << IsaName(set->isa);
    EXPECT_EQ(std::count(counts + 1, counts + 256, uint64_t{0}), 255) << IsaName(set->isa);
  }
  munmap(zeros, Slots * Slot);
}

// Windows that the vector encoders code by different paths: with no run,
// with runs inside, with a run of the crunch byte shorter than its code,
// with a run reaching the window's end or past it, and literals at its end.
Bytes EncoderPaths(uint8_t crunch, uint32_t seed) {
  std::mt19937 rng(seed);
  // Bytes that never repeat their neighbour and are not the crunch byte.
  uint8_t previous = crunch;
  auto literal = [&]() {
    uint8_t b;
    do b = static_cast<uint8_t>(rng() % 8 + 0x30);
    while (b == previous || b == crunch);
    return previous = b;
  };
  Bytes data;
  auto put = [&](size_t n, uint8_t value) {
    data.insert(data.end(), n, value);
    previous = value;
  };
  for (size_t at = 0; at < 64 + 3; ++at) {
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 63u, 64u, 65u, 200u, 255u, 256u, 300u}) {
      for (uint8_t value : {crunch, uint8_t{0x41}}) {
        // A run of n at offset `at` of a 64-byte stretch, among literals.
        while (data.size() % 64 != at % 64) data.push_back(literal());
        put(n, value);
        for (int k = 0; k < static_cast<int>(rng() % 4); ++k) data.push_back(literal());
        if (rng() % 3 == 0) put(2, literal());  // a pair, never a run
      }
    }
  }
  return data;
}

TEST(KernelSets, EveryInstructionSetEncodesAsTheModel) {
  std::vector<std::pair<std::string, Bytes>> inputs = {
      {"paths, crunch 0", EncoderPaths(0, 1)},
      {"paths, crunch 0x30", EncoderPaths(0x30, 2)},
      {"noise", RandomBytes(100000, 3)},
      {"four values", RandomBytes(100000, 4, 4)},
      {"runs", RandomRuns(200000, {1, 2, 3, 4, 62, 63, 64, 65, 66, 254, 255, 256}, 3, 5)},
      {"one value", Bytes(100000, 0)},
  };
  for (const auto& [what, data] : inputs) {
    for (uint8_t crunch : {uint8_t{0}, uint8_t{0x30}, uint8_t{0x41},
                           reference::CrunchByte(data.data(), data.size())}) {
      for (const KernelSet* set : AvailableSets()) {
        // From each offset of a window, so that the windows fall differently.
        for (size_t offset : {0u, 1u, 2u, 31u, 62u, 63u}) {
          Bytes out(3 * data.size() + 8);
          size_t consumed = 0;
          const size_t size = data.size() - offset;
          size_t written =
              set->encode_items(data.data() + offset, size, crunch, out.data(), &consumed);
          ASSERT_LE(consumed, size);
          ASSERT_LT(size - consumed, EncodeTail);
          out.resize(written);
          Bytes rest = reference::Encode(data.data() + offset + consumed, size - consumed, crunch);
          out.insert(out.end(), rest.begin(), rest.end());
          ASSERT_TRUE(out == reference::Encode(data.data() + offset, size, crunch))
              << what << ", crunch " << int{crunch} << ", offset " << offset << ", "
              << IsaName(set->isa);
        }
      }
    }
  }
}

// The instruction set chosen for this process: the best available one no
// higher than TUVOLINK_ISA names. The test below runs it again under each
// value of TUVOLINK_ISA.
TEST(IsaChoice, IsTheBestAvailableAtMostTheOneNamed) {
  const char* named = std::getenv("TUVOLINK_ISA");
  Isa limit = static_cast<Isa>(IsaCount - 1);
  for (int isa = 0; named != nullptr && isa < IsaCount; ++isa) {
    if (std::string(named) == IsaName(static_cast<Isa>(isa))) limit = static_cast<Isa>(isa);
  }
  Isa best = Isa::Portable;
  for (int isa = 0; isa <= static_cast<int>(limit); ++isa) {
    if (IsaAvailable(static_cast<Isa>(isa))) best = static_cast<Isa>(isa);
  }
  EXPECT_STREQ(IsaName(ActiveIsa()), IsaName(best)) << "TUVOLINK_ISA=" << (named ? named : "");
}

TEST(IsaChoice, FollowsTheEnvironment) {
  for (int isa = 0; isa <= IsaCount; ++isa) {
    const std::string name = isa < IsaCount ? IsaName(static_cast<Isa>(isa)) : "unknown";
    RunResult run = RunProgram({"/proc/self/exe", "--gtest_filter=IsaChoice.IsTheBest*"},
                               InFolder("/", {"TUVOLINK_ISA=" + name}));
    EXPECT_EQ(run.status, 0) << name << ":\n" << run.out;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << name << ":\n" << run.out;
  }
}

}  // namespace
