// Crunch byte choice: least frequent value, lowest value on a tie.
#include <gtest/gtest.h>

#include <vector>

#include "format/histogram.h"

namespace {

uint8_t CrunchOf(const std::vector<uint8_t>& data) {
  ByteHistogram histogram;
  histogram.Add(data.data(), data.size());
  return PickCrunchByte(histogram);
}

TEST(Crunch, PicksLeastFrequentLowestOnTie) {
  EXPECT_EQ(CrunchOf({}), 0);
  EXPECT_EQ(CrunchOf({1, 2, 3}), 0);  // no byte 0
  std::vector<uint8_t> all;
  for (int v = 0; v < 256; ++v) all.push_back(static_cast<uint8_t>(v));
  EXPECT_EQ(CrunchOf(all), 0);  // all equal
  all.push_back(0);
  EXPECT_EQ(CrunchOf(all), 1);
  std::vector<uint8_t> missing;
  for (int v = 0; v < 256; ++v) {
    if (v != 7 && v != 200) missing.push_back(static_cast<uint8_t>(v));
  }
  EXPECT_EQ(CrunchOf(missing), 7);
}

}  // namespace
