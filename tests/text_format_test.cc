// FormatText against the C library's snprintf, for every conversion the
// messages use, and its cutting at every buffer size.
#include "format/text_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Formats with both and expects the same text.
#define EXPECT_SAME(...)                                   \
  do {                                                     \
    char ours[256], theirs[256];                           \
    size_t n = FormatText(ours, sizeof ours, __VA_ARGS__); \
    std::snprintf(theirs, sizeof theirs, __VA_ARGS__);     \
    EXPECT_EQ(std::string(ours), std::string(theirs));     \
    EXPECT_EQ(n, std::string(theirs).size());              \
  } while (0)

TEST(FormatText, MatchesSnprintfForTheConversionsInUse) {
  EXPECT_SAME("plain text, no conversion");
  EXPECT_SAME("%s and %s", "one", "");
  EXPECT_SAME("[%.*s]", 3, "abcdef");
  EXPECT_SAME("[%.*s]", 0, "abcdef");
  EXPECT_SAME("[%.*s]", 10, "abc");
  EXPECT_SAME("%c%c", 'x', 'y');
  EXPECT_SAME("%d %d %d %i", 0, -1, INT_MIN, INT_MAX);
  EXPECT_SAME("%u %u", 0u, UINT_MAX);
  EXPECT_SAME("%lu %ld", ULONG_MAX, LONG_MIN);
  EXPECT_SAME("%llu %lld %lld", ULLONG_MAX, LLONG_MIN, 42LL);
  EXPECT_SAME("%12llu|%-12llu|%012llu", 1234ULL, 1234ULL, 1234ULL);
  EXPECT_SAME("%3u%%|%3u%%|%3u%%", 5u, 50u, 100u);
  EXPECT_SAME("%02x%02x %x", 0xAu, 0xFFu, 0xDEADBEEFu);
  EXPECT_SAME("%5s|%-5s|%2s", "ab", "ab", "abcd");
  EXPECT_SAME("%05d|%-5d|%5d", -42, -42, -42);
}

TEST(FormatText, CutsToFitAndAlwaysTerminates) {
  const std::string full = "tuvo: 1234567890 abc";
  for (size_t size = 1; size <= full.size() + 2; ++size) {
    char out[64];
    std::memset(out, '#', sizeof out);
    size_t n = FormatText(out, size, "tuvo: %llu %s", 1234567890ULL, "abc");
    std::string expected = full.substr(0, size - 1);
    EXPECT_EQ(n, expected.size()) << size;
    EXPECT_EQ(std::string(out), expected) << size;
    EXPECT_EQ(out[size], '#') << "wrote past the buffer at size " << size;
  }
}

TEST(FormatText, ShowsAConversionItDoesNotKnow) {
  char out[64];
  // Not through the checked entry: a conversion no message uses.
  const char* format = "a %f b %";
  FormatText(out, sizeof out, format, 1.5);
  EXPECT_EQ(std::string(out), "a %f b %");
}

}  // namespace
