// Format reader: golden package bytes, a table of malformed packages each
// rejected with its own message, and every truncation of a valid package.
#include <gtest/gtest.h>

#include "format/package_reader.h"
#include "format/run_decoder.h"
#include "test_util.h"

namespace {

// Stub "STUB" (4 bytes), record "a" = 41 41 41 41 42 with crunch 0, record
// "bb" = 00 with crunch 1, terminator, start offset 4.
const Bytes Valid = {'S',  'T',  'U',  'B',                                 //
                     'a',  0,    0x00, 0x00, 0x04, 0x41, 0x42, 0x00, 0x00,  //
                     'b',  'b',  0,    0x01, 0x00, 0x01, 0x00,              //
                     0x00, 0x04, 0x00, 0x00, 0x00};

Bytes WithTrailer(Bytes records, uint32_t start) {
  records.push_back(0);
  for (int i = 0; i < 4; ++i) records.push_back(static_cast<uint8_t>(start >> (8 * i)));
  return records;
}

std::string Rejection(const Bytes& package) {
  std::vector<Entry> entries;
  std::string err;
  if (DecodePackage(package, &entries, &err)) return "accepted";
  return err;
}

TEST(PackageReader, ReadsGoldenPackage) {
  std::vector<Entry> entries;
  std::string err;
  ASSERT_TRUE(DecodePackage(Valid, &entries, &err)) << err;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_EQ(entries[0].crunch, 0);
  EXPECT_EQ(entries[0].data, (Bytes{0x41, 0x41, 0x41, 0x41, 0x42}));
  EXPECT_EQ(entries[1].name, "bb");
  EXPECT_EQ(entries[1].data, (Bytes{0}));
}

TEST(PackageReader, AcceptsEmptyListAndEmptyStub) {
  std::vector<Entry> entries;
  std::string err;
  EXPECT_TRUE(DecodePackage(WithTrailer({'S', 'T'}, 2), &entries, &err)) << err;
  EXPECT_TRUE(DecodePackage(WithTrailer({}, 0), &entries, &err)) << err;
  EXPECT_TRUE(entries.empty());
}

TEST(PackageReader, RejectsMalformedPackagesPrecisely) {
  Bytes long_name(MaxName, 'n');
  long_name.insert(long_name.end(), {0, 0, 0, 0});
  struct Case {
    const char* what;
    Bytes package;
    const char* message;  // a part of the expected message
  } cases[] = {
      // Four bytes cannot hold the terminator and the offset.
      {"too small", {0, 0, 0, 0}, "too small"},
      {"no terminator", {'S', 1, 1, 0, 0, 0}, "no list terminator"},
      // The offset points past the terminator.
      {"offset outside", WithTrailer({'S'}, 2), "outside"},
      {"offset far outside", WithTrailer({'S'}, 0xFFFFFFFF), "outside"},
      // The name's 0 byte would be the terminator itself.
      {"name without 0", WithTrailer({'a', 'b'}, 0), "without its 0 byte"},
      {"name too long", WithTrailer(long_name, 0), "longer than 259"},
      {"no crunch byte", WithTrailer({'a', 0}, 0), "before its crunch byte"},
      {"no end marker", WithTrailer({'a', 0, 7, 1, 2, 3}, 0), "without an end marker"},
      // C, N with the V missing, and C alone.
      {"run code cut after N", WithTrailer({'a', 0, 7, 1, 7, 3}, 0), "cut short"},
      {"run code cut after C", WithTrailer({'a', 0, 7, 1, 7}, 0), "cut short"},
      // A 0 byte where a record should begin, before the real terminator.
      {"stray terminator", WithTrailer({'a', 0, 7, 7, 0, 0, 'b'}, 0), "records end at offset 5"},
      // Offset pointing into the middle of a record.
      {"offset mid-record", WithTrailer({'a', 0, 7, 7, 0}, 1), "records end at offset 1"},
  };
  for (const Case& c : cases) {
    std::string message = Rejection(c.package);
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
  }
}

TEST(PackageReader, RejectsEveryTruncation) {
  for (size_t length = 0; length < Valid.size(); ++length) {
    Bytes cut(Valid.begin(), Valid.begin() + static_cast<long>(length));
    EXPECT_NE(Rejection(cut), "accepted") << "length " << length;
  }
}

TEST(PackageReader, SurvivesEveryFlippedByte) {
  // A flipped byte may still leave a valid package; what matters is that the
  // reader either accepts it with consistent sizes or rejects it.
  for (size_t at = 0; at < Valid.size(); ++at) {
    for (int mask : {0x01, 0x80, 0xFF}) {
      Bytes package = Valid;
      package[at] = static_cast<uint8_t>(package[at] ^ mask);
      std::vector<Entry> entries;
      std::string err;
      if (!DecodePackage(package, &entries, &err)) {
        EXPECT_FALSE(err.empty());
      }
    }
  }
}

TEST(RunDecoder, ResumesAcrossAnySplitOfTheInput) {
  const uint8_t C = 5;
  Bytes coded = {1, C, 3, 9, C, 1, C, 2, C, 255, 4, C, 0};
  Bytes expected = {1, 9, 9, 9, C, 2};
  expected.insert(expected.end(), 255, 4);
  for (size_t step = 1; step <= coded.size(); ++step) {
    RunDecoder decoder(C);
    Bytes out;
    uint8_t buffer[MaxRun];
    RunDecoder::Status status = RunDecoder::NeedInput;
    for (size_t at = 0; at < coded.size() && status != RunDecoder::EndMarker;) {
      size_t n = std::min(step, coded.size() - at);
      size_t consumed = 0, produced = 0;
      status = decoder.Decode(coded.data() + at, n, &consumed, buffer, sizeof buffer, &produced);
      out.insert(out.end(), buffer, buffer + produced);
      at += consumed;
    }
    EXPECT_EQ(status, RunDecoder::EndMarker) << "step " << step;
    EXPECT_EQ(out, expected) << "step " << step;
  }
}

}  // namespace
