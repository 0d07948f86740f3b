// Golden bytes of the layout's Put/Parse pairs: the trailer, and the record
// head with every status of ParseRecordHead at the edges of MaxName.
#include "format/layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_util.h"

namespace {

TEST(Trailer, PutAndParseAgreeWithGoldenBytes) {
  struct Row {
    uint32_t start;
    Bytes bytes;
  } rows[] = {
      {0, {0, 0, 0, 0, 0}},
      {4, {0, 4, 0, 0, 0}},
      {0x12345678, {0, 0x78, 0x56, 0x34, 0x12}},
      {0xFFFFFFFF, {0, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Row& row : rows) {
    uint8_t out[TrailerSize + 1];
    std::memset(out, 0xEE, sizeof out);
    PutTrailer(row.start, out);
    EXPECT_EQ(Bytes(out, out + TrailerSize), row.bytes) << row.start;
    EXPECT_EQ(out[TrailerSize], 0xEE) << "wrote past the trailer";
    uint32_t start = 1;
    EXPECT_TRUE(ParseTrailer(row.bytes.data(), &start));
    EXPECT_EQ(start, row.start);
  }
  // Anything but the list terminator before the offset is no trailer.
  for (int first : {0x01, 0x80, 0xFF}) {
    const uint8_t bad[TrailerSize] = {static_cast<uint8_t>(first), 4, 0, 0, 0};
    uint32_t start = 0;
    EXPECT_FALSE(ParseTrailer(bad, &start)) << first;
  }
}

TEST(RecordHead, PutWritesTheNameItsZeroAndTheCrunchByte) {
  uint8_t out[MaxRecordHeadSize + 1];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(PutRecordHead("ab", 2, 7, out), 4u);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{'a', 'b', 0, 7, 0xEE}));
  const std::string longest(MaxName - 1, 'n');
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(PutRecordHead(longest.c_str(), longest.size(), 0xFF, out), MaxRecordHeadSize);
  EXPECT_EQ(Bytes(out, out + MaxRecordHeadSize), Concat({ToBytes(longest), {0, 0xFF}}));
  EXPECT_EQ(out[MaxRecordHeadSize], 0xEE) << "wrote past the head";
}

TEST(RecordHead, ParseGivesEachStatusAtTheEdges) {
  const Bytes n259(259, 'n'), n260(260, 'm');
  const HeadStatus Ok = HeadStatus::Ok, Truncated = HeadStatus::Truncated;
  struct Row {
    const char* what;
    Bytes in;
    HeadStatus status;
    size_t length;  // of the name, when Ok
    uint8_t crunch;
  } rows[] = {
      {"one letter, data after", {'a', 0, 7, 'x'}, Ok, 1, 7},
      {"crunch byte 0", {'a', 0, 0}, Ok, 1, 0},
      {"259 characters", Concat({n259, {0, 9}}), Ok, 259, 9},
      {"259 characters, no crunch byte", Concat({n259, {0}}), Truncated, 0, 0},
      {"259 characters, no 0 yet", n259, Truncated, 0, 0},
      {"260 characters", Concat({n260, {0, 9}}), HeadStatus::TooLong, 0, 0},
      {"260 characters, nothing after", n260, HeadStatus::TooLong, 0, 0},
      {"nothing", {}, Truncated, 0, 0},
      {"no 0 yet", {'a', 'b'}, Truncated, 0, 0},
      {"no crunch byte", {'a', 0}, Truncated, 0, 0},
      {"the list terminator", {0, 4, 0, 0, 0}, HeadStatus::Empty, 0, 0},
      {"the terminator alone", {0}, HeadStatus::Empty, 0, 0},
  };
  for (const Row& row : rows) {
    char name[MaxName];
    size_t length = 0, used = 0;
    uint8_t crunch = 0xEE;
    EXPECT_EQ(ParseRecordHead(row.in.data(), row.in.size(), name, &length, &crunch, &used),
              row.status)
        << row.what;
    if (row.status != Ok) continue;
    EXPECT_EQ(length, row.length) << row.what;
    EXPECT_EQ(std::string(name),
              std::string(row.in.begin(), row.in.begin() + static_cast<long>(row.length)));
    EXPECT_EQ(crunch, row.crunch) << row.what;
    EXPECT_EQ(used, row.length + 2) << row.what;
  }
}

TEST(RecordHead, RoundTripsEveryNameLengthAndTruncatesEveryPrefix) {
  for (size_t n = 1; n < MaxName; ++n) {
    std::string written(n, 'a');
    written.back() = 'z';
    uint8_t head[MaxRecordHeadSize];
    size_t size = PutRecordHead(written.c_str(), n, static_cast<uint8_t>(n), head);
    char name[MaxName];
    size_t length = 0, used = 0;
    uint8_t crunch = 0;
    ASSERT_EQ(ParseRecordHead(head, size, name, &length, &crunch, &used), HeadStatus::Ok) << n;
    EXPECT_EQ(std::string(name, length), written);
    EXPECT_EQ(name[length], 0);
    EXPECT_EQ(crunch, static_cast<uint8_t>(n));
    EXPECT_EQ(used, size);
    for (size_t cut = 0; cut < size; ++cut) {
      ASSERT_EQ(ParseRecordHead(head, cut, name, &length, &crunch, &used), HeadStatus::Truncated)
          << "name of " << n << " cut at " << cut;
    }
  }
}

}  // namespace
