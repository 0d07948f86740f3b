// Record encoder: golden bytes for the coding rules, independence from block
// boundaries, and round trips through the format reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "format/histogram.h"
#include "format/run_encoder.h"
#include "platform.h"
#include "test_util.h"

namespace {

Bytes Encode(const Bytes& data, uint8_t crunch, size_t block = 1 << 20) {
  RunEncoder encoder(crunch);
  Bytes out(RunEncoder::MaxEncodedSize(data.size()) + RunEncoder::MaxFinishSize);
  size_t used = 0;
  for (size_t at = 0; at < data.size(); at += block) {
    size_t n = std::min(block, data.size() - at);
    used += encoder.Encode(data.data() + at, n, out.data() + used);
  }
  used += encoder.Finish(out.data() + used);
  out.resize(used);
  return out;
}

Bytes Repeat(uint8_t value, size_t count) { return Bytes(count, value); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The package of one record named `name` behind a stub of `stub_size` bytes.
Bytes PackageOf(const std::string& name, const Bytes& data, size_t stub_size) {
  ByteHistogram histogram;
  histogram.Add(data.data(), data.size());
  uint8_t crunch = PickCrunchByte(histogram);
  Bytes package(stub_size, 0x90);
  Bytes header(name.size() + 2);
  header.resize(PutRecordHead(name.c_str(), name.size(), crunch, header.data()));
  Bytes coded = Encode(data, crunch);
  package.insert(package.end(), header.begin(), header.end());
  package.insert(package.end(), coded.begin(), coded.end());
  package.push_back(0);
  for (int i = 0; i < 4; ++i) package.push_back(static_cast<uint8_t>(stub_size >> (8 * i)));
  return package;
}

TEST(RunEncoder, CodesRunsAndLiteralsAsTheFormatSays) {
  const uint8_t C = 0x00, V = 0x41;
  struct Case {
    const char* what;
    Bytes input;
    Bytes coded;  // without the end marker
  } cases[] = {
      {"empty", {}, {}},
      {"single other byte", {V}, {V}},
      {"single crunch byte", {C}, {C, 1, C}},
      {"two equal", {V, V}, {V, V}},
      {"three equal", {V, V, V}, {C, 3, V}},
      {"five-byte example", {V, V, V, V, 0x42}, {C, 4, V, 0x42}},
      {"two crunch bytes", {C, C}, {C, 2, C}},
      {"255", Repeat(V, 255), {C, 255, V}},
      {"256", Repeat(V, 256), {C, 255, V, V}},
      {"257", Repeat(V, 257), {C, 255, V, V, V}},
      {"258", Repeat(V, 258), {C, 255, V, C, 3, V}},
      {"300", Repeat(V, 300), {C, 255, V, C, 45, V}},
      {"510", Repeat(V, 510), {C, 255, V, C, 255, V}},
      {"511", Repeat(V, 511), {C, 255, V, C, 255, V, V}},
      {"200 in the middle", Concat({{1}, Repeat(V, 200), {2}}), {1, C, 200, V, 2}},
      {"256 crunch bytes", Repeat(C, 256), {C, 255, C, C, 1, C}},
      {"alternating", {1, C, 2, C, 3}, {1, C, 1, C, 2, C, 1, C, 3}},
  };
  for (const Case& c : cases) {
    Bytes expected = c.coded;
    expected.push_back(C);
    expected.push_back(0);
    EXPECT_EQ(Encode(c.input, C), expected) << c.what;
  }
}

TEST(RunEncoder, OutputDoesNotDependOnBlockBoundaries) {
  std::mt19937 random(7);
  Bytes data;
  // Runs of every interesting length, of the crunch byte and of others.
  for (size_t length : {1u, 2u, 3u, 4u, 254u, 255u, 256u, 257u, 510u, 511u, 512u, 1000u}) {
    for (uint8_t value : {uint8_t{9}, uint8_t{0x41}}) {
      data.insert(data.end(), length, value);
      data.push_back(static_cast<uint8_t>(random()));
    }
  }
  Bytes whole = Encode(data, 9);
  for (size_t block : {1u, 2u, 3u, 7u, 64u, 255u, 256u, 4096u}) {
    EXPECT_EQ(Encode(data, 9, block), whole) << "block " << block;
  }
}

TEST(RecordRoundTrip, DecodesToTheInputForEveryShapeOfData) {
  std::mt19937 random(11);
  std::vector<Bytes> inputs = {{}, {0}, {255}, Repeat(0, 100000)};
  Bytes all_values;
  for (int v = 0; v < 256; ++v) all_values.push_back(static_cast<uint8_t>(v));
  inputs.push_back(all_values);
  Bytes random_bytes(200000);
  for (uint8_t& b : random_bytes) b = static_cast<uint8_t>(random());
  inputs.push_back(random_bytes);
  // Runs of random length and value, the crunch byte among them.
  Bytes runs;
  while (runs.size() < 300000) {
    size_t length = random() % 4 == 0 ? 250 + random() % 270 : 1 + random() % 4;
    runs.insert(runs.end(), length, static_cast<uint8_t>(random() % 3));
  }
  inputs.push_back(runs);
  for (const Bytes& input : inputs) {
    for (size_t stub : {0u, 1u, 1000u}) {
      std::vector<Entry> entries;
      std::string err;
      ASSERT_TRUE(DecodePackage(PackageOf("file.bin", input, stub), &entries, &err)) << err;
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].name, "file.bin");
      EXPECT_EQ(entries[0].data, input) << "input of " << input.size() << " bytes";
    }
  }
}

TEST(RecordRoundTrip, AnyCrunchByteDecodesCorrectly) {
  // A file may change between the passes, so the crunch byte need not be the
  // least frequent one: the code must still be exact.
  Bytes data = Concat({Repeat(7, 3), {7}, Repeat(1, 2), Repeat(7, 600), {0, 7, 7}});
  for (int crunch : {0, 1, 7, 255}) {
    Bytes package(10, 0xCC);
    Bytes header(16);
    header.resize(PutRecordHead("x", 1, static_cast<uint8_t>(crunch), header.data()));
    Bytes coded = Encode(data, static_cast<uint8_t>(crunch));
    package.insert(package.end(), header.begin(), header.end());
    package.insert(package.end(), coded.begin(), coded.end());
    package.insert(package.end(), {0, 10, 0, 0, 0});
    std::vector<Entry> entries;
    std::string err;
    ASSERT_TRUE(DecodePackage(package, &entries, &err)) << err;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, data) << "crunch " << crunch;
  }
}

}  // namespace

namespace {

TEST(InputFile, ReadAtReadsFromTheOffsetWhateverTheOtherReads) {
  TempDir dir;
  Bytes data(300000);
  std::mt19937 rng(3);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  WriteFile(dir / "f", data);
  InputFile file;
  std::string err;
  ASSERT_TRUE(file.Open((dir / "f").c_str(), &err)) << err;
  Bytes buffer(100000);
  size_t got = 0;
  ASSERT_TRUE(file.ReadAt(250000, buffer.data(), buffer.size(), &got, &err)) << err;
  ASSERT_EQ(got, 50000u);  // short at the end of the file
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50000, data.begin() + 250000));
  ASSERT_TRUE(file.ReadAt(300000, buffer.data(), buffer.size(), &got, &err)) << err;
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(file.ReadAt(1000, buffer.data(), 10, &got, &err)) << err;
  ASSERT_EQ(got, 10u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.begin() + 1000));
  // Rewind and Read start over from the first byte.
  ASSERT_TRUE(file.Rewind(&err)) << err;
  ASSERT_TRUE(file.Read(buffer.data(), 10, &got, &err)) << err;
  ASSERT_EQ(got, 10u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.begin()));
}

}  // namespace
