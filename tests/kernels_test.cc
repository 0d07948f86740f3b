// The fast histogram, encoder and decoder kernels against the per-byte model
// of reference_coder.h, on random, adversarial and real data, fed in blocks of
// many sizes.
#include "format/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "format/histogram.h"
#include "format/package_reader.h"
#include "format/run_decoder.h"
#include "format/run_encoder.h"
#include "reference_coder.h"
#include "test_util.h"

namespace {

// Codes `data` with RunEncoder in blocks of `block` bytes, end marker included.
Bytes EncodeInBlocks(const Bytes& data, uint8_t crunch, size_t block) {
  RunEncoder encoder(crunch);
  Bytes out;
  Bytes buffer(RunEncoder::MaxEncodedSize(block) + RunEncoder::MaxFinishSize);
  for (size_t at = 0; at < data.size(); at += block) {
    size_t n = data.size() - at < block ? data.size() - at : block;
    size_t wrote = encoder.Encode(data.data() + at, n, buffer.data());
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(wrote));
  }
  size_t wrote = encoder.Finish(buffer.data());
  out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(wrote));
  return out;
}

// Decodes `coded` with RunDecoder, fed `in_block` bytes at a time into an
// output buffer of `out_block` bytes. Returns false on a missing end marker.
bool DecodeInBlocks(const Bytes& coded, uint8_t crunch, size_t in_block, size_t out_block,
                    Bytes* data) {
  RunDecoder decoder(crunch);
  Bytes out(out_block);
  size_t at = 0;
  data->clear();
  while (at < coded.size()) {
    size_t n = coded.size() - at < in_block ? coded.size() - at : in_block;
    size_t used = 0;
    for (;;) {
      size_t consumed = 0, produced = 0;
      RunDecoder::Status status = decoder.Decode(coded.data() + at + used, n - used, &consumed,
                                                 out.data(), out.size(), &produced);
      data->insert(data->end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(produced));
      used += consumed;
      if (status == RunDecoder::EndMarker) return at + used == coded.size();
      if (status == RunDecoder::NeedInput) break;
    }
    at += n;
  }
  return false;
}

// What the decoder or the scanner finds in a stream of items: whether it ends
// with an end marker, where that marker ends, and the decoded size.
struct Walk {
  bool ended = false;
  size_t end = 0;
  uint64_t size = 0;
  bool operator==(const Walk& o) const {
    return ended == o.ended && end == o.end && size == o.size;
  }
};

std::ostream& operator<<(std::ostream& os, const Walk& w) {
  return os << (w.ended ? "end at " : "no end, ") << w.end << ", size " << w.size;
}

// Walks `coded` with RunDecoder::Decode (scan false) or RunDecoder::Scan,
// fed `in_block` bytes at a time; bytes after an end marker are ignored.
Walk WalkInBlocks(const Bytes& coded, uint8_t crunch, size_t in_block, bool scan) {
  RunDecoder decoder(crunch);
  Bytes out(1000);
  Walk walk;
  size_t at = 0;
  while (at < coded.size()) {
    size_t n = coded.size() - at < in_block ? coded.size() - at : in_block;
    size_t used = 0;
    for (;;) {
      size_t consumed = 0, produced = 0;
      RunDecoder::Status status;
      if (scan) {
        status = decoder.Scan(coded.data() + at + used, n - used, &consumed, &walk.size);
      } else {
        status = decoder.Decode(coded.data() + at + used, n - used, &consumed, out.data(),
                                out.size(), &produced);
        walk.size += produced;
      }
      used += consumed;
      if (status == RunDecoder::EndMarker) {
        walk.ended = true;
        walk.end = at + used;
        return walk;
      }
      if (status == RunDecoder::NeedInput) break;
    }
    at += n;
  }
  walk.end = at;
  return walk;
}

const size_t BlockSizes[] = {1,   2,   3,   5,   7,    64,   127,   128,
                             129, 255, 256, 257, 1000, 4096, 65536, size_t{1} << 20};

// Checks every coder against the model for one input and crunch byte.
void CheckAll(const Bytes& data, uint8_t crunch, const std::string& what) {
  SCOPED_TRACE(what + ", crunch " + std::to_string(crunch));
  const Bytes expected = reference::Encode(data, crunch);
  for (size_t block : BlockSizes) {
    if (block > 4 * data.size() + 64 && block != BlockSizes[0]) continue;
    ASSERT_EQ(EncodeInBlocks(data, crunch, block), expected) << "encoder, block " << block;
  }
  // Each instruction set on its own, the rest coded by the model's rules.
  for (Isa isa : {Isa::Portable, Isa::Sse2, Isa::Avx2}) {
    const KernelSet* kernels = KernelsFor(isa);
    if (kernels == nullptr) continue;
    Bytes out(3 * data.size() + 8);
    size_t consumed = 0;
    size_t written = kernels->encode_items(data.data(), data.size(), crunch, out.data(), &consumed);
    ASSERT_LE(consumed, data.size());
    ASSERT_LT(data.size() - consumed, EncodeTail);
    out.resize(written);
    Bytes rest = reference::Encode(data.data() + consumed, data.size() - consumed, crunch);
    out.insert(out.end(), rest.begin(), rest.end());
    ASSERT_EQ(out, expected) << "kernel " << static_cast<int>(isa);
  }
  for (size_t in_block : {size_t{1}, size_t{3}, size_t{200}, size_t{1} << 20}) {
    for (size_t room : {size_t{255}, size_t{400}, size_t{1} << 20}) {
      // Room for all the data and the kernels' reach is as good as unlimited,
      // and spares a buffer of 1 MiB per call (which costs dearly under ASan).
      size_t out_block = std::min(room, data.size() + DecodeOutputReach + 64);
      Bytes decoded;
      ASSERT_TRUE(DecodeInBlocks(expected, crunch, in_block, out_block, &decoded))
          << "decoder, blocks " << in_block << "/" << out_block;
      ASSERT_EQ(decoded, data) << "decoder, blocks " << in_block << "/" << out_block;
    }
    Walk scanned = WalkInBlocks(expected, crunch, in_block, true);
    ASSERT_TRUE(scanned.ended) << "scanner, block " << in_block;
    ASSERT_EQ(scanned.end, expected.size()) << "scanner, block " << in_block;
    ASSERT_EQ(scanned.size, data.size()) << "scanner, block " << in_block;
  }
}

void CheckWithOwnCrunch(const Bytes& data, const std::string& what) {
  ByteHistogram histogram;
  histogram.Add(data.data(), data.size());
  uint64_t expected[256] = {};
  for (uint8_t b : data) expected[b] += 1;
  for (int v = 0; v < 256; ++v) ASSERT_EQ(histogram.count[v], expected[v]) << what << " " << v;
  uint8_t crunch = PickCrunchByte(histogram);
  ASSERT_EQ(crunch, reference::CrunchByte(data.data(), data.size())) << what;
  CheckAll(data, crunch, what);
}

TEST(Kernels, MatchTheModelOnRandomData) {
  for (unsigned alphabet : {256u, 16u, 3u, 2u, 1u}) {
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{63}, size_t{130}, size_t{5000}, size_t{300000}}) {
      Bytes data = RandomBytes(size, static_cast<uint32_t>(size + alphabet), alphabet);
      std::string what = "random " + std::to_string(size) + "/" + std::to_string(alphabet);
      CheckWithOwnCrunch(data, what);
      CheckAll(data, 0, what);
      CheckAll(data, 1, what);
    }
  }
}

TEST(Kernels, MatchTheModelOnRunsOfEveryAwkwardLength) {
  const std::vector<size_t> lengths = {1,   2,   3,   4,   63,  64,  65,  66, 254,
                                       255, 256, 257, 510, 511, 512, 765, 766};
  for (uint32_t seed = 0; seed < 4; ++seed) {
    Bytes data = RandomRuns(200000, lengths, 4, seed);
    CheckAll(data, 0, "runs " + std::to_string(seed));  // 0 is one of the run values
    CheckAll(data, 9, "runs " + std::to_string(seed));  // the crunch byte never occurs
    CheckWithOwnCrunch(data, "runs " + std::to_string(seed));
  }
}

TEST(Kernels, MatchTheModelForEachRunLengthAtEveryOffset) {
  // A run of n bytes of v between literals, at every offset within a window and
  // past the window's reach, of the crunch byte and of another value.
  for (size_t n : {1u,   2u,   3u,   4u,   62u,  63u,  64u,  65u,  127u, 128u,
                   129u, 254u, 255u, 256u, 257u, 258u, 509u, 510u, 511u, 512u}) {
    for (uint8_t v : {uint8_t{0}, uint8_t{7}}) {
      for (size_t offset = 0; offset < 200; offset += (offset < 70 ? 1 : 13)) {
        Bytes data;
        for (size_t i = 0; i < offset; ++i) data.push_back(static_cast<uint8_t>(100 + i % 50));
        data.insert(data.end(), n, v);
        for (size_t i = 0; i < 150; ++i) data.push_back(static_cast<uint8_t>(30 + i % 40));
        CheckAll(data, 0,
                 "run " + std::to_string(n) + " of " + std::to_string(v) + " at " +
                     std::to_string(offset));
      }
    }
  }
}

TEST(Kernels, EncoderMatchesWhenEveryBlockBoundaryFallsInsideARun) {
  // Runs of the crunch byte and of another value, long enough to be cut, with
  // the input split once at every position; then runs of every awkward
  // length of both, each followed by a random byte.
  Bytes cut_runs = Concat({Bytes(300, 5), Bytes(520, 0), {1, 2, 2, 3, 3, 3, 0, 0}, Bytes(256, 4)});
  Bytes awkward;
  std::mt19937 random(7);
  for (size_t length : {1u, 2u, 3u, 4u, 254u, 255u, 256u, 257u, 510u, 511u, 512u, 1000u}) {
    for (uint8_t value : {uint8_t{9}, uint8_t{0x41}}) {
      awkward.insert(awkward.end(), length, value);
      awkward.push_back(static_cast<uint8_t>(random()));
    }
  }
  for (const auto& [data, crunch] : {std::make_pair(cut_runs, 0), std::make_pair(awkward, 9)}) {
    const uint8_t c = static_cast<uint8_t>(crunch);
    const Bytes expected = reference::Encode(data, c);
    for (size_t split = 0; split <= data.size(); ++split) {
      RunEncoder encoder(c);
      Bytes out(RunEncoder::MaxEncodedSize(data.size()) + RunEncoder::MaxFinishSize);
      size_t n = encoder.Encode(data.data(), split, out.data());
      n += encoder.Encode(data.data() + split, data.size() - split, out.data() + n);
      n += encoder.Finish(out.data() + n);
      out.resize(n);
      ASSERT_EQ(out, expected) << "crunch " << crunch << ", split at " << split;
    }
  }
}

TEST(Kernels, MatchTheModelOnRealFiles) {
  const char* files[] = {"/proc/self/exe", __FILE__, "/bin/sh", "/usr/bin/env"};
  int checked = 0;
  for (const char* name : files) {
    if (!FileExists(name)) continue;
    Bytes data = ReadFile(name);
    if (data.size() > (size_t{8} << 20)) data.resize(size_t{8} << 20);
    CheckWithOwnCrunch(data, name);
    ++checked;
  }
  EXPECT_GE(checked, 2);
}

// Any bytes are items until an end marker: the scanner must find the same
// end and size as the decoder in random streams (where crunch bytes end up
// as run counts and values too), in dense ones, and in every prefix.
TEST(Scanner, AgreesWithTheDecoderOnArbitraryItems) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    unsigned alphabet = trial % 3 == 0 ? 256u : trial % 3 == 1 ? 4u : 2u;
    size_t size = rng() % (trial < 200 ? 700 : 20000);
    Bytes coded(size);
    for (auto& b : coded) b = static_cast<uint8_t>(rng() % alphabet);
    // Nonzero bytes after the crunch byte keep most streams going.
    uint8_t crunch = static_cast<uint8_t>(rng() % alphabet);
    for (size_t i = 0; i + 1 < size; ++i) {
      if (coded[i] == crunch && coded[i + 1] == 0 && rng() % 8 != 0) coded[i + 1] = 1;
    }
    for (size_t in_block :
         {size_t{1}, size_t{2}, size_t{65}, size_t{66}, size_t{67}, size_t{1} << 20}) {
      ASSERT_EQ(WalkInBlocks(coded, crunch, in_block, true),
                WalkInBlocks(coded, crunch, in_block, false))
          << "trial " << trial << ", block " << in_block;
    }
  }
}

TEST(Scanner, FindsNoEndInEveryTruncation) {
  const uint8_t C = 0;
  Bytes data = RandomRuns(3000, {1, 2, 3, 254, 255, 256, 257, 510, 511}, 4, 11);
  Bytes coded = reference::Encode(data, C);
  for (size_t cut = 0; cut < coded.size(); ++cut) {
    Bytes prefix(coded.begin(), coded.begin() + static_cast<ptrdiff_t>(cut));
    Walk scanned = WalkInBlocks(prefix, C, cut % 2 == 0 ? 64 : size_t{1} << 20, true);
    ASSERT_FALSE(scanned.ended) << "cut " << cut;
    ASSERT_EQ(scanned, WalkInBlocks(prefix, C, size_t{1} << 20, false)) << "cut " << cut;
  }
}

TEST(Scanner, CountsRunsAndLiteralsAroundEveryWindowEdge) {
  const uint8_t C = 9;
  for (size_t lead = 0; lead < 140; ++lead) {
    Bytes coded(lead, 1);
    coded.insert(coded.end(), {C, 255, C, C, 1, C, 7, 2, 3, C, 0, 5, 5});
    Walk scanned = WalkInBlocks(coded, C, size_t{1} << 20, true);
    EXPECT_TRUE(scanned.ended);
    EXPECT_EQ(scanned.end, lead + 11) << "lead " << lead;
    EXPECT_EQ(scanned.size, lead + 255 + 1 + 3) << "lead " << lead;
  }
}

}  // namespace
