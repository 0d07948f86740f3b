// Printable and Shown: every byte a terminal would obey is escaped, text
// that is safe is kept, and a cut never splits an escape or a character.
#include "format/printable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Escaped(const std::string& name) {
  std::vector<char> out(4 * name.size() + 1);
  size_t n = Printable(name.data(), name.size(), out.data(), out.size());
  EXPECT_EQ(out[n], 0);
  return std::string(out.data(), n);
}

TEST(Printable, EscapesWhatATerminalWouldObeyAndKeepsTheRest) {
  struct Row {
    const char* what;
    std::string name;
    std::string shown;
  } rows[] = {
      {"plain", "dir/a b-c.txt", "dir/a b-c.txt"},
      {"ESC", "a\x1b[31mb", "a\\x1b[31mb"},
      {"BEL", "\a", "\\x07"},
      {"CR, LF, TAB", "a\rb\nc\td", "a\\rb\\nc\\td"},
      {"other controls", std::string("\x01\x1f", 2), "\\x01\\x1f"},
      {"DEL", "\x7f", "\\x7f"},
      {"C1 control U+009B (CSI)",
       "\xc2\x9b"
       "2J",
       "\\xc2\\x9b"
       "2J"},
      {"bidi override U+202E",
       "evil\xe2\x80\xae"
       "txt.exe",
       "evil\\xe2\\x80\\xae"
       "txt.exe"},
      {"bidi isolate U+2066", "\xe2\x81\xa6", "\\xe2\\x81\\xa6"},
      {"lone continuation byte", "a\x80", "a\\x80"},
      {"sequence cut at the end", "a\xc3", "a\\xc3"},
      {"sequence cut by ASCII",
       "\xe2\x80"
       "a",
       "\\xe2\\x80"
       "a"},
      {"overlong '/'", "\xc0\xaf", "\\xc0\\xaf"},
      {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"0xFF", "\xff", "\\xff"},
      {"e acute kept", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"CJK kept", "\xe6\x97\xa5", "\xe6\x97\xa5"},
      {"four-byte character kept", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"U+00A0 after the C1 range kept", "\xc2\xa0", "\xc2\xa0"},
  };
  for (const Row& row : rows) EXPECT_EQ(Escaped(row.name), row.shown) << row.what;
}

TEST(Printable, CutsOnlyBetweenWholeEscapesAndCharacters) {
  const std::string name = "a\x1b\xc3\xa9\n\xe2\x80\xae\xf0\x9f\x98\x80z";
  const std::string full = Escaped(name);
  ASSERT_EQ(full, "a\\x1b\xc3\xa9\\n\\xe2\\x80\\xae\xf0\x9f\x98\x80z");
  // Where each escape or character ends in `full`.
  const size_t ends[] = {1, 5, 7, 9, 13, 17, 21, 25, 26};
  for (size_t out_size = 0; out_size <= full.size() + 1; ++out_size) {
    std::vector<char> out(out_size + 1, '#');  // one guard byte
    size_t n = Printable(name.data(), name.size(), out.data(), out_size);
    size_t expected = 0;
    for (size_t end : ends) {
      if (end + 1 <= out_size) expected = end;
    }
    EXPECT_EQ(out[out_size], '#') << "wrote past " << out_size;
    if (out_size == 0) {
      EXPECT_EQ(n, 0u);
      continue;
    }
    EXPECT_EQ(n, expected) << "room " << out_size;
    EXPECT_EQ(std::string(out.data(), n), full.substr(0, n)) << "room " << out_size;
    EXPECT_EQ(out[n], 0) << "room " << out_size;
  }
}

TEST(Shown, EscapesAWholeNameAndCutsALongerOne) {
  EXPECT_STREQ(Shown("a\x1b"
                     "b")
                   .text,
               "a\\x1b"
               "b");
  // The longest name, every byte escaped: all of it fits.
  std::string escapes(MaxName - 1, '\x1b'), expected;
  for (size_t i = 0; i < escapes.size(); ++i) expected += "\\x1b";
  EXPECT_EQ(Shown(escapes.c_str()).text, expected);
  // Past MaxName - 1 bytes the name is cut, and the byte the cut leaves
  // alone is escaped.
  std::string longer = std::string(MaxName - 2, 'a') + "\xc3\xa9" + "tail";
  EXPECT_EQ(Shown(longer.c_str()).text, std::string(MaxName - 2, 'a') + "\\xc3");
}

}  // namespace
