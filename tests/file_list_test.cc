// Input list: both command forms, list-file parsing and the name limits.
#include "file_list.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

// The names of LinkList in walking order; empties the list.
std::vector<std::string> TakeList() {
  std::vector<std::string> names;
  for (LinkNode* node = LinkList; node != nullptr; node = node->Next) names.push_back(node->Name);
  FreeFileList();
  return names;
}

struct Compiled {
  bool ok;
  std::string err;
  std::vector<std::string> names;
};

Compiled Compile(std::vector<std::string> args) {
  args.insert(args.begin(), {"tuvolink", "out.exe"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Compiled result;
  FreeFileList();
  result.ok = CompileFileList(static_cast<int>(args.size()), argv.data(), &result.err);
  result.names = TakeList();
  return result;
}

Compiled CompileListFile(const std::string& contents) {
  TempDir dir;
  WriteFile(dir / "list.txt", contents);
  return Compile({dir / "list.txt"});
}

using Names = std::vector<std::string>;

TEST(CompileFileList, ArgumentsWalkInReverseAndSkipEmpties) {
  EXPECT_EQ(Compile({"a", "b", "c"}).names, (Names{"c", "b", "a"}));
  EXPECT_EQ(Compile({"a", "", "b"}).names, (Names{"b", "a"}));
  // The same file twice is two entries.
  EXPECT_EQ(Compile({"a", "a"}).names, (Names{"a", "a"}));
  // Names are kept exactly: blanks, drive letters, separators.
  EXPECT_EQ(Compile({" x ", "C:\\dir\\y.dat"}).names, (Names{"C:\\dir\\y.dat", " x "}));
}

TEST(CompileFileList, ListFileLinesEndAtCrLfAndAnEmptyLine) {
  struct Case {
    const char* what;
    std::string contents;
    Names names;
  } cases[] = {
      {"CR LF, no empty line", "a\r\nb\r\nc\r\n", {"c", "b", "a"}},
      {"LF, last line unterminated", "a\nb\nc", {"c", "b", "a"}},
      {"empty file", "", {}},
      {"first line empty", "\r\na\r\n", {}},
      {"empty line ends the list", "a\n\nb\n", {"a"}},
      {"trailing blanks kept", "a  \t\r\nb \n", {"b ", "a  \t"}},
      {"stray CRs stripped at the end only", "a\rb\r\r\n", {"a\rb"}},
  };
  for (const Case& c : cases) {
    Compiled result = CompileListFile(c.contents);
    EXPECT_TRUE(result.ok) << c.what << ": " << result.err;
    EXPECT_EQ(result.names, c.names) << c.what;
  }
}

TEST(CompileFileList, LongLinesAreOneNameAndChecked) {
  std::string n258(258, 'x'), n259(259, 'y'), n260(260, 'z'), n300(300, 'w');
  // 258 and 259 characters are names of their own; the next line is read.
  Compiled ok = CompileListFile(n258 + "\r\n" + n259 + "\r\nlast\r\n");
  EXPECT_TRUE(ok.ok) << ok.err;
  EXPECT_EQ(ok.names, (Names{"last", n259, n258}));
  // Longer lines are an error naming the start of the line, not pieces.
  for (const std::string& line : {n260, n300, std::string(100000, 'v')}) {
    Compiled bad = CompileListFile("a\n" + line + "\nb\n");
    EXPECT_FALSE(bad.ok);
    EXPECT_NE(bad.err.find("longer than 259"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find(line.substr(0, 40) + "..."), std::string::npos) << bad.err;
  }
  // The same limit holds for arguments.
  Compiled arg = Compile({"a", n260});
  EXPECT_FALSE(arg.ok);
  EXPECT_NE(arg.err.find("longer than 259"), std::string::npos) << arg.err;
  EXPECT_TRUE(Compile({"a", n259}).ok);
}

TEST(CompileFileList, RejectsZeroBytesAndUnreadableListFiles) {
  Compiled zero = CompileListFile(std::string("a\nb\0c\n", 6));
  EXPECT_FALSE(zero.ok);
  EXPECT_NE(zero.err.find("line 2"), std::string::npos) << zero.err;

  TempDir dir;
  Compiled missing = Compile({dir / "none.txt"});
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.err.find("none.txt': No such file or directory"), std::string::npos)
      << missing.err;
  Compiled folder = Compile({dir.path()});
  EXPECT_FALSE(folder.ok);
  EXPECT_NE(folder.err.find("Is a directory"), std::string::npos) << folder.err;
}

}  // namespace
