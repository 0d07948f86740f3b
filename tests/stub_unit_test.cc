// The stub's portable parts without running it: the name rules, the Windows
// command line split, the image layout and the package plan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "format/entry_path.h"
#include "format/layout.h"
#include "image_layout.h"
#include "plan.h"
#include "test_util.h"

namespace {

struct PathCase {
  const char* name;
  NameRules rules;
  NameFault fault;
  const char* path;  // with '/' between components; empty when refused
  bool stripped;
};

const PathCase PathCases[] = {
    {"a", NameRules::Posix, NameFault::None, "a", false},
    {"dir/sub/file.txt", NameRules::Posix, NameFault::None, "dir/sub/file.txt", false},
    // Both separators split folders on every system.
    {"dir\\sub\\file", NameRules::Posix, NameFault::None, "dir/sub/file", false},
    // '.' and empty components vanish.
    {"./a/./b//c/.", NameRules::Posix, NameFault::None, "a/b/c", false},
    // A drive and leading separators are removed, with a note.
    {"/etc/passwd", NameRules::Posix, NameFault::None, "etc/passwd", true},
    {"C:\\Windows\\x.dll", NameRules::Posix, NameFault::None, "Windows/x.dll", true},
    {"c:rel", NameRules::Posix, NameFault::None, "rel", true},
    {"\\\\server\\share\\f", NameRules::Posix, NameFault::None, "server/share/f", true},
    // '..' anywhere refuses the name, whatever the separator.
    {"..", NameRules::Posix, NameFault::DotDot, "", false},
    {"../escape", NameRules::Posix, NameFault::DotDot, "", false},
    {"a/../../escape", NameRules::Posix, NameFault::DotDot, "", false},
    {"a\\..\\b", NameRules::Posix, NameFault::DotDot, "", false},
    {"C:..\\escape", NameRules::Posix, NameFault::DotDot, "", false},
    // "..." and "..a" are ordinary names.
    {"...", NameRules::Posix, NameFault::None, "...", false},
    {"..a/b..", NameRules::Posix, NameFault::None, "..a/b..", false},
    // Nothing left to name a file.
    {"/", NameRules::Posix, NameFault::Empty, "", true},
    {"./.", NameRules::Posix, NameFault::Empty, "", false},
    {"C:", NameRules::Posix, NameFault::Empty, "", true},
    // POSIX takes any byte but the separators; Windows is stricter.
    {"ab:c*?", NameRules::Posix, NameFault::None, "ab:c*?", false},
    {"ab:c", NameRules::Windows, NameFault::BadChar, "", false},
    // A letter and a colon make a drive, so "a:b" is "b".
    {"a:b", NameRules::Windows, NameFault::None, "b", true},
    {"x/file?.txt", NameRules::Windows, NameFault::BadChar, "", false},
    {"tab\there", NameRules::Windows, NameFault::BadChar, "", false},
    {"trailing.", NameRules::Windows, NameFault::BadEnd, "", false},
    {"dir /f", NameRules::Windows, NameFault::BadEnd, "", false},
    {"CON", NameRules::Windows, NameFault::Device, "", false},
    {"sub/nul.txt", NameRules::Windows, NameFault::Device, "", false},
    {"Com1", NameRules::Windows, NameFault::Device, "", false},
    {"lpt9.log", NameRules::Windows, NameFault::Device, "", false},
    {"conout$", NameRules::Windows, NameFault::Device, "", false},
    {"aux .txt", NameRules::Windows, NameFault::Device, "", false},
    {"COM\xB9", NameRules::Windows, NameFault::Device, "", false},
    {"CON", NameRules::Posix, NameFault::None, "CON", false},
    {"console.txt", NameRules::Windows, NameFault::None, "console.txt", false},
    {"com10", NameRules::Windows, NameFault::None, "com10", false},
    {"C:\\Program Files\\app.exe", NameRules::Windows, NameFault::None, "Program Files/app.exe",
     true},
};

TEST(EntryPath, FollowsTheNameRules) {
  for (const PathCase& c : PathCases) {
    char out[MaxName];
    bool stripped = false;
    NameFault fault = MakeEntryPath(c.name, c.rules, '/', out, sizeof out, &stripped);
    EXPECT_EQ(fault, c.fault) << c.name;
    if (c.fault == NameFault::None) {
      EXPECT_STREQ(out, c.path) << c.name;
    }
    if (c.fault == NameFault::None || c.fault == NameFault::Empty) {
      EXPECT_EQ(stripped, c.stripped) << c.name;
    }
  }
}

TEST(EntryPath, GivesTheSameResultInWideCharacters) {
  for (const PathCase& c : PathCases) {
    wchar_t wide[MaxName], out[MaxName];
    size_t n = 0;
    for (; c.name[n] != 0; ++n) wide[n] = static_cast<unsigned char>(c.name[n]);
    wide[n] = 0;
    bool stripped = false;
    NameFault fault = MakeEntryPath(wide, c.rules, L'\\', out, MaxName, &stripped);
    EXPECT_EQ(fault, c.fault) << c.name;
    if (fault != NameFault::None) continue;
    std::string narrow;
    for (size_t i = 0; out[i] != 0; ++i) {
      narrow += out[i] == L'\\' ? '/' : static_cast<char>(out[i]);
    }
    EXPECT_EQ(narrow, c.path) << c.name;
  }
}

TEST(EntryPath, RefusesWhatDoesNotFit) {
  char out[4];
  bool stripped = false;
  EXPECT_EQ(MakeEntryPath("abcd", NameRules::Posix, '/', out, sizeof out, &stripped),
            NameFault::TooLong);
  EXPECT_EQ(MakeEntryPath("a/bc", NameRules::Posix, '/', out, sizeof out, &stripped),
            NameFault::TooLong);
  EXPECT_EQ(MakeEntryPath("a/b", NameRules::Posix, '/', out, sizeof out, &stripped),
            NameFault::None);
}

std::vector<std::string> SplitLine(const char* line) {
  std::vector<std::string> args;
  const char* p = SkipProgramName(line);
  while (*p != 0) {
    char buffer[64];
    const char* start = p;
    size_t length = NextArgument(&p, buffer, sizeof buffer);
    EXPECT_EQ(length, std::strlen(buffer)) << start;
    args.push_back(buffer);
  }
  return args;
}

TEST(CommandLine, SplitsLikeTheCRuntime) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLine("prog"), V());
  EXPECT_EQ(SplitLine("prog   a  b\t c "), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitLine("\"C:\\Program Files\\p.exe\" x"), (V{"x"}));
  EXPECT_EQ(SplitLine("p \"a b\" \"\" c"), (V{"a b", "", "c"}));
  EXPECT_EQ(SplitLine("p a\"b c\"d"), (V{"ab cd"}));
  // 2n backslashes and a quote: n backslashes, the quote toggles.
  EXPECT_EQ(SplitLine("p \"a\\\\\" b"), (V{"a\\", "b"}));
  // 2n + 1: n backslashes and a literal quote.
  EXPECT_EQ(SplitLine("p a\\\"b"), (V{"a\"b"}));
  // Backslashes not before a quote are literal.
  EXPECT_EQ(SplitLine("p C:\\dir\\ x"), (V{"C:\\dir\\", "x"}));
  // A doubled quote inside quotes is a literal quote.
  EXPECT_EQ(SplitLine("p \"a\"\"b\""), (V{"a\"b"}));
  EXPECT_EQ(SplitLine("p \"unclosed arg"), (V{"unclosed arg"}));
}

TEST(CommandLine, KeepsTheTailRaw) {
  const char* line = "\"C:\\pkg.exe\" --tuvo-keep  \"a  b\" c\\\"d \"\"";
  EXPECT_STREQ(CommandLineTail(line, 0), "--tuvo-keep  \"a  b\" c\\\"d \"\"");
  EXPECT_STREQ(CommandLineTail(line, 1), "\"a  b\" c\\\"d \"\"");
  EXPECT_STREQ(CommandLineTail(line, 9), "");
  EXPECT_STREQ(CommandLineTail(L"pkg.exe -- x", 1), L"x");
}

void Put32(Bytes* data, size_t at, uint32_t value) { PutU32LE(value, data->data() + at); }

TEST(ImageLayout, FindsTheEndOfTheNativeStub) {
  Bytes stub = NativeStub();
  ASSERT_GT(stub.size(), 1000u);
  MemorySource bare(stub);
  PackageSpan span;
  LocatePackage(&bare, bare.size(), &span);
  // The stub ends with its section header table: nothing is left over.
  EXPECT_EQ(span.image_size, stub.size());
  EXPECT_EQ(span.end, stub.size());
  stub.insert(stub.end(), {0, 1, 2, 3, 4, 5, 6});
  MemorySource packed(stub);
  LocatePackage(&packed, packed.size(), &span);
  EXPECT_EQ(span.image_size, stub.size() - 7);
  EXPECT_EQ(span.end, stub.size());
}

// A minimal PE32+ image: headers up to 0x200, one section of 0x200 bytes.
Bytes MinimalPe() {
  Bytes pe(0x400, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  Put32(&pe, 0x3C, 0x80);
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  pe[0x80 + 6] = 1;      // one section
  pe[0x80 + 20] = 0xF0;  // size of the optional header
  pe[0x98] = 0x0B;       // PE32+ magic 0x20B
  pe[0x99] = 0x02;
  Put32(&pe, 0x98 + 60, 0x200);  // SizeOfHeaders
  Put32(&pe, 0x98 + 108, 16);    // data directories
  size_t section = 0x98 + 0xF0;
  Put32(&pe, section + 16, 0x200);  // SizeOfRawData
  Put32(&pe, section + 20, 0x200);  // PointerToRawData
  return pe;
}

// Appends a certificate table as a signer does: zero padding to a multiple
// of 8, then the table, named by the security directory.
void Sign(Bytes* pe, size_t table_size) {
  while (pe->size() % 8 != 0) pe->push_back(0);
  size_t directory = 0x98 + 112 + 4 * 8;
  Put32(pe, directory, static_cast<uint32_t>(pe->size()));
  Put32(pe, directory + 4, static_cast<uint32_t>(table_size));
  pe->insert(pe->end(), table_size, 0x5A);
}

TEST(ImageLayout, FindsTheEndOfAPeImage) {
  Bytes pe = MinimalPe();
  MemorySource bare(pe);
  PackageSpan span;
  LocatePackage(&bare, bare.size(), &span);
  EXPECT_EQ(span.image_size, 0x400u);
  EXPECT_EQ(span.end, 0x400u);
}

TEST(ImageLayout, EndsASignedPackageBeforeItsPaddingAndCertificates) {
  for (size_t records = 0; records < 9; ++records) {
    Bytes pe = MinimalPe();
    pe.insert(pe.end(), records, 'r');
    pe.insert(pe.end(), {0, 0, 4, 0, 0});  // the trailer: terminator, offset 0x400
    size_t package_end = pe.size();
    Sign(&pe, 40);
    MemorySource signed_package(pe);
    PackageSpan span;
    LocatePackage(&signed_package, signed_package.size(), &span);
    EXPECT_EQ(span.image_size, 0x400u) << records;
    EXPECT_EQ(span.end, package_end) << records;
  }
}

TEST(ImageLayout, CountsTheCertificatesOfAStubSignedBeforePacking) {
  Bytes pe = MinimalPe();
  Sign(&pe, 48);
  size_t signed_size = pe.size();
  pe.insert(pe.end(), {0, 0, 0, 0, 0});
  Put32(&pe, pe.size() - 4, static_cast<uint32_t>(signed_size));
  MemorySource package(pe);
  PackageSpan span;
  LocatePackage(&package, package.size(), &span);
  EXPECT_EQ(span.image_size, signed_size);
  EXPECT_EQ(span.end, pe.size());
}

TEST(ImageLayout, SurvivesDamagedHeaders) {
  Bytes pe = MinimalPe();
  const size_t fields[] = {0x3C,           0x80 + 6,         0x80 + 20,        0x98 + 60,
                           0x98 + 108,     0x98 + 0xF0 + 16, 0x98 + 0xF0 + 20, 0x98 + 112 + 32,
                           0x98 + 112 + 36};
  for (size_t field : fields) {
    for (uint32_t value : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      Bytes bad = pe;
      Put32(&bad, field, value);
      MemorySource image(bad);
      PackageSpan span;
      LocatePackage(&image, image.size(), &span);
      EXPECT_LE(span.image_size, bad.size()) << field;
      EXPECT_LE(span.end, bad.size()) << field;
    }
  }
  Bytes elf = NativeStub();
  for (size_t field : {0x20u, 0x28u, 0x36u, 0x38u, 0x3Au, 0x3Cu}) {
    for (uint32_t value : {0u, 0xFFFFu, 0xFFFFFFFFu}) {
      Bytes bad = elf;
      Put32(&bad, field, value);
      MemorySource image(bad);
      PackageSpan span;
      LocatePackage(&image, image.size(), &span);
      EXPECT_LE(span.image_size, bad.size()) << field;
    }
  }
  for (size_t size = 0; size < 70; ++size) {  // every short prefix of a header
    MemorySource image(Bytes(elf.begin(), elf.begin() + static_cast<long>(size)));
    PackageSpan span;
    LocatePackage(&image, image.size(), &span);
    EXPECT_EQ(span.end, size);
  }
}

// A package of `files` behind a stub of 16 bytes, in memory.
MemorySource Package(const std::vector<std::pair<std::string, std::string>>& files) {
  Bytes records;
  for (const auto& file : files) {
    Bytes record = RecordOf(file.first, file.second);
    records.insert(records.end(), record.begin(), record.end());
  }
  return MemorySource(PackageOf(Bytes(16, 'S'), records));
}

TEST(Plan, ListsNamesPathsAndSizes) {
  MemorySource package =
      Package({{"data/a.txt", "hello"}, {"/abs/b", std::string(1000, 'x')}, {"run", ""}});
  Plan plan;
  ErrorLine err;
  ASSERT_TRUE(plan.Build(&package, package.size(), 16, true, &err)) << err.text;
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_STREQ(plan.name(1), "/abs/b");
  EXPECT_STREQ(plan.path(0), "data/a.txt");
  EXPECT_STREQ(plan.path(1), "abs/b");
  EXPECT_FALSE(plan.stripped(0));
  EXPECT_TRUE(plan.stripped(1));
  EXPECT_EQ(plan.decoded_size(1), 1000u);
  EXPECT_EQ(plan.total_size(), 1005u);
}

TEST(Plan, RefusesAPathThatIsBothFileAndFolder) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;
    bool ok;
  } cases[] = {
      {{{"a", "1"}, {"a/b", "2"}}, false},                                // a file, then a folder
      {{{"x/y/z", "1"}, {"x/y", "2"}}, false},                            // a folder, then a file
      {{{"a", "1"}, {"a b/c", "2"}, {"a.b/c", "3"}, {"ab", "4"}}, true},  // only prefixes
      {{{"a", "1"}, {"./a", "2"}}, true},                                 // the same file twice
      {{{"d\\e", "1"}, {"d/e/f", "2"}}, false},                           // either separator
  };
  for (const Case& c : cases) {
    MemorySource package = Package(c.files);
    Plan plan;
    ErrorLine err;
    EXPECT_EQ(plan.Build(&package, package.size(), 16, true, &err), c.ok) << c.files[0].first;
    if (!c.ok) {
      EXPECT_NE(std::strstr(err.text, "unsafe name"), nullptr) << err.text;
    }
  }
}

TEST(Plan, ListsUnsafeNamesOnlyWhenNotChecking) {
  MemorySource package = Package({{"../x", "1"}});
  Plan listed, checked;
  ErrorLine err;
  EXPECT_TRUE(listed.Build(&package, package.size(), 16, false, &err));
  EXPECT_FALSE(checked.Build(&package, package.size(), 16, true, &err));
  EXPECT_NE(std::strstr(err.text, "'..'"), nullptr) << err.text;
}

TEST(Plan, RequiresTheRecordsToStartWhereTheImageEnds) {
  MemorySource package = Package({{"a", "1"}});
  Plan plan;
  ErrorLine err;
  EXPECT_FALSE(plan.Build(&package, package.size(), 15, true, &err));
  EXPECT_NE(std::strstr(err.text, "not where the program ends"), nullptr) << err.text;
  Plan unknown_image;
  EXPECT_TRUE(unknown_image.Build(&package, package.size(), 0, true, &err));
}

}  // namespace
