// End to end: packages made by the real packer, or written byte by byte, run
// through the native stub in private temporary folders. Every run checks the
// exit status, and the hostile ones also that nothing was written anywhere
// but where it belongs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "format/layout.h"
#include "test_util.h"

namespace {

// The native stub, then `records`, then the trailer naming `start` (by
// default the stub's length).
Bytes Package(const Bytes& records) { return PackageOf(NativeStub(), records); }
Bytes Package(const Bytes& records, uint32_t start) {
  return PackageOf(NativeStub(), records, start);
}

// The test program: prints its folder and arguments, the data file packed
// beside it, then acts as TUVO_TEST_MODE says.
const char* const TestProgram = R"sh(#!/bin/sh
echo "cwd=$(pwd)"
for a in "$@"; do printf '[%s]\n' "$a"; done
cat "$(dirname "$0")/data/info.txt"
case "$TUVO_TEST_MODE" in
  kill) kill -TERM $$ ;;
  wait) : > "$TUVO_TEST_MARK"; exec sleep 30 ;;
esac
exit "${TUVO_TEST_STATUS:-0}"
)sh";

// A folder for one test: src/ with the test program and its data, tmp/ as
// TMPDIR, and the package made from src/ by the real packer.
class Sandbox {
 public:
  Sandbox() {
    MakeDirs(dir_ / "src/data");
    MakeDirs(dir_ / "tmp");
    WriteFile(dir_ / "src/prog.sh", TestProgram, 0755);
    WriteFile(dir_ / "src/data/info.txt", "info: packed data\n");
  }
  // Packs src/prog.sh and src/data/info.txt into pkg.
  void Pack() {
    RunResult packed = RunPacker({package(), "prog.sh", "data/info.txt"}, InFolder(dir_ / "src"));
    ASSERT_EQ(packed.status, 0) << packed.out << packed.err;
  }
  // Writes `bytes` as the package.
  void Write(const Bytes& bytes) const { WriteFile(package(), bytes, 0755); }
  std::string package() const { return dir_ / "pkg"; }
  std::string tmp() const { return dir_ / "tmp"; }
  std::string path(const std::string& name) const { return dir_ / name; }
  // Runs the package with TMPDIR set to tmp/.
  RunResult RunPackage(std::vector<std::string> args, std::vector<std::string> env = {}) const {
    args.insert(args.begin(), package());
    env.push_back("TMPDIR=" + tmp());
    return RunProgram(args, InFolder(dir_.path(), env));
  }

 private:
  TempDir dir_;
};

TEST(StubRun, RunsTheProgramWithItsArgumentsAndCleansUp) {
  Sandbox box;
  box.Pack();
  RunResult r = box.RunPackage({"--", "a b", "it's", "\"q\"", "", "--tuvo-list", "--"},
                               {"TUVO_TEST_STATUS=7"});
  EXPECT_EQ(r.status, 7) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  EXPECT_EQ(lines[0].rfind("cwd=" + box.tmp() + "/tuvo-", 0), 0u) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"[a b]", "[it's]", "[\"q\"]", "[]", "[--tuvo-list]", "[--]",
                                      "info: packed data"}));
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

TEST(StubRun, LeavesOptionsAfterTheFirstArgumentToTheProgram) {
  Sandbox box;
  box.Pack();
  RunResult r = box.RunPackage({"x", "--tuvo-list", "--tuvo-help"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[x]\n[--tuvo-list]\n[--tuvo-help]\n"), std::string::npos) << r.out;
}

TEST(StubRun, ExitsWith128PlusTheSignalThatEndedTheProgram) {
  Sandbox box;
  box.Pack();
  RunResult r = box.RunPackage({}, {"TUVO_TEST_MODE=kill"});
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

TEST(StubRun, PassesSigtermToTheProgramAndCleansUp) {
  Sandbox box;
  box.Pack();
  std::string mark = box.path("started");
  Process stub;
  stub.Start({box.package()}, InFolder("/", {"TMPDIR=" + box.tmp(), "TUVO_TEST_MODE=wait",
                                             "TUVO_TEST_MARK=" + mark}));
  for (int i = 0; i < 500 && !FileExists(mark); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(FileExists(mark));
  stub.Kill(SIGTERM);
  RunResult r = stub.Wait();
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

// Whatever the program's status, the folder stays, named on stderr, with
// the files' modes.
TEST(StubRun, KeepsThePrivateFolderWhenAsked) {
  for (int status : {0, 130}) {
    Sandbox box;
    box.Pack();
    RunResult r =
        box.RunPackage({"--tuvo-keep", "k"}, {"TUVO_TEST_STATUS=" + std::to_string(status)});
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_NE(r.out.find("[k]\n"), std::string::npos) << r.out;
    std::set<std::string> left = Tree(box.tmp());
    ASSERT_EQ(left.size(), 4u);  // the folder, prog.sh, data/, data/info.txt
    std::string folder = box.tmp() + "/" + *left.begin();
    folder.pop_back();
    EXPECT_NE(r.err.find(folder), std::string::npos) << r.err;
    EXPECT_EQ(ModeOf(folder), 0700u);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(ModeOf(folder + "/prog.sh"), 0755u & ~mask);
    EXPECT_EQ(ModeOf(folder + "/data/info.txt"), 0644u & ~mask);
  }
}

TEST(StubRun, SaysWhyTheProgramCannotStart) {
  struct Case {
    const char* program;
    int status;
    const char* says;
  } cases[] = {
      {"plain text, not a program\n", 126, "Exec format error"},
      {"#!/nonexistent/interpreter\n", 127, "No such file"},
  };
  for (const Case& c : cases) {
    Sandbox box;
    box.Write(Package(RecordOf("prog", c.program)));
    RunResult r = box.RunPackage({});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(Tree(box.tmp()).empty());
  }
}

TEST(StubOptions, ListsChecksAndExtracts) {
  Sandbox box;
  box.Pack();
  RunResult list = box.RunPackage({"--tuvo-list"});
  EXPECT_EQ(list.status, 0);
  char expected[100];
  std::snprintf(expected, sizeof expected, "%12d  data/info.txt\n%12zu  prog.sh\n", 18,
                std::strlen(TestProgram));
  EXPECT_EQ(list.out, expected);
  RunResult check = box.RunPackage({"--tuvo-check"});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.out, "OK (sealed)\n");
  std::string dest = box.path("out/new/deeper");
  RunResult extract = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(Tree(dest), (std::set<std::string>{"data/", "data/info.txt", "prog.sh"}));
  EXPECT_EQ(ReadText(dest + "/prog.sh"), TestProgram);
  EXPECT_EQ(ReadText(dest + "/data/info.txt"), "info: packed data\n");
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

TEST(StubOptions, RefusesMisusedOptions) {
  Sandbox box;
  box.Pack();
  const std::vector<std::string> misuses[] = {{"--tuvo-extract"},
                                              {"--tuvo-list", "x"},
                                              {"--tuvo-check", "x"},
                                              {"--tuvo-unknown"},
                                              {"--tuvo-extract", "a", "b"}};
  for (const auto& args : misuses) {
    RunResult r = box.RunPackage(args);
    EXPECT_EQ(r.status, 125) << args[0];
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  RunResult help = box.RunPackage({"--tuvo-help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--tuvo-extract FOLDER"), std::string::npos);
}

TEST(StubOptions, SaysWhenNoPackageIsAttached) {
  Sandbox box;
  box.Write(NativeStub());
  for (const char* option : {"", "--tuvo-list", "--tuvo-check"}) {
    RunResult r =
        box.RunPackage(option[0] ? std::vector<std::string>{option} : std::vector<std::string>{});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "tuvo: no package is attached to this program (see --tuvo-help)\n");
  }
}

TEST(StubOptions, HandlesAPackageWithoutFiles) {
  Sandbox box;
  box.Write(Package({}));
  EXPECT_EQ(box.RunPackage({"--tuvo-list"}).out, "");
  EXPECT_EQ(box.RunPackage({"--tuvo-check"}).status, 0);
  EXPECT_EQ(box.RunPackage({"--tuvo-extract", box.path("dest")}).status, 0);
  RunResult run = box.RunPackage({});
  EXPECT_EQ(run.status, 125);
  EXPECT_NE(run.err.find("no program"), std::string::npos) << run.err;
}

TEST(StubExtract, ReplacesEarlierRecordsAndMakesNamesRelative) {
  Sandbox box;
  box.Write(Package(Concat({RecordOf("dup", "first"), RecordOf("/abs/file", "a"),
                            RecordOf("C:\\win\\f.txt", "w"), RecordOf("./x/./y", "y"),
                            RecordOf("dup", "second"), RecordOf("run", "#!/bin/sh\n")})));
  std::string dest = box.path("dest");
  RunResult r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(dest), (std::set<std::string>{"abs/", "abs/file", "dup", "run", "win/",
                                               "win/f.txt", "x/", "x/y"}));
  EXPECT_EQ(ReadText(dest + "/dup"), "second");
  EXPECT_EQ(Lines(r.err).size(), 2u) << r.err;  // one note per stripped name
  EXPECT_NE(r.err.find("note: '/abs/file'"), std::string::npos) << r.err;
}

TEST(StubExtract, NeverFollowsASymbolicLink) {
  Sandbox box;
  std::string dest = box.path("dest"), outside = box.path("outside");
  MakeDirs(dest);
  MakeDirs(outside);
  WriteFile(outside + "/target", "untouched");
  ASSERT_EQ(symlink(outside.c_str(), (dest + "/linkdir").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (dest + "/linkfile").c_str()), 0);
  // Through a linked folder: refused, nothing written.
  box.Write(Package(RecordOf("linkdir/evil", "x")));
  RunResult r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_EQ(Tree(outside), (std::set<std::string>{"target"}));
  // Onto a linked file: refused, like anything in the way; link and target kept.
  box.Write(Package(RecordOf("linkfile", "new")));
  r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 125) << r.err;
  EXPECT_EQ(ReadText(outside + "/target"), "untouched");
  struct stat st;
  ASSERT_EQ(lstat((dest + "/linkfile").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Under a file size limit whose signal is left at its default action, the
// stub fails cleanly instead of being ended by SIGXFSZ: the partly written
// file is removed, the temporary folder too, and the files written before
// stay in a destination folder.
TEST(StubExtract, RemovesAPartlyWrittenFileAtAFileSizeLimit) {
  Sandbox box;
  std::string big(200000, 'b');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  box.Write(Package(
      Concat({RecordOf("small", "s"), RecordOf("big", big), RecordOf("run", "#!/bin/sh\n")})));
  for (bool temporary : {true, false}) {
    std::string dest = box.path("dest");
    std::vector<std::string> args = {"/bin/sh", "-c", "ulimit -f 200; exec \"$0\" \"$@\"",
                                     box.package()};
    if (!temporary) args.insert(args.end(), {"--tuvo-extract", dest});
    // dash's ulimit -f counts blocks of 512 bytes: 100 KiB.
    RunResult r = RunProgram(args, InFolder("/", {"TMPDIR=" + box.tmp()}));
    EXPECT_EQ(r.status, 125) << r.err;
    EXPECT_NE(r.err.find("cannot write 'big'"), std::string::npos) << r.err;
    EXPECT_TRUE(Tree(box.tmp()).empty());
    // The folder this run made goes with what was written into it.
    if (!temporary) {
      EXPECT_FALSE(FileExists(dest));
    }
  }
}

// The decoder fills a ring of 1 MiB buffers while another thread writes
// them, leaving whole blocks of zeros unwritten: many files, empty ones,
// zeros at every alignment, at the start, inside and at the end of files,
// and files longer than the ring, all must come out exact.
TEST(StubExtract, WritesZeroBlocksAndManyFilesExactly) {
  TempDir dir;
  std::mt19937 random(7);
  auto noise = [&random](size_t n) {
    Bytes s(n);
    for (uint8_t& b : s) b = static_cast<uint8_t>(random() % 255 + 1);
    return s;
  };
  auto zeros = [](size_t n) { return Bytes(n, 0); };
  PackedFiles files = {
      {"prog", ToBytes("#!/bin/sh\n")},
      {"empty", {}},
      {"zero1", zeros(1)},
      {"zero4095", zeros(4095)},
      {"zero4096", zeros(4096)},
      {"zero4097", zeros(4097)},
      {"zeros6m", zeros(6u << 20)},
      {"tail", Concat({noise(5000), zeros(3 * 4096 + 17)})},
      {"head", Concat({zeros(5 * 4096), noise(100)})},
  };
  // Stretches of zeros and of data of every length around the block size,
  // across several buffers of the ring.
  Bytes mixed;
  while (mixed.size() < (5u << 20)) {
    size_t n = random() % 3 == 0 ? 4096 * (random() % 40) + random() % 3 : random() % 9000;
    Bytes part = random() % 2 ? zeros(n) : noise(n);
    mixed.insert(mixed.end(), part.begin(), part.end());
  }
  files.push_back({"mixed", mixed});
  for (size_t i = 0; i < 40; ++i) files.push_back({"small/" + std::to_string(i), noise(i * 37)});
  RunResult packed = PackFiles(dir.path(), "pkg", files);
  ASSERT_EQ(packed.status, 0) << packed.err;
  RunResult r = RunProgram({dir / "pkg", "--tuvo-extract", dir / "out"}, RunOptions());
  ASSERT_EQ(r.status, 0) << r.err;
  for (const PackedFile& file : files) {
    Bytes got = ReadFile(dir / ("out/" + file.name));
    EXPECT_EQ(got.size(), file.data.size()) << file.name;
    EXPECT_TRUE(got == file.data) << file.name;
  }
}

// A file that cannot be put in place fails the extraction even though the
// decoder has gone on to the next records: those are not written, and no
// temporary is left.
TEST(StubExtract, StopsAtAFailureOfTheWriterThread) {
  Sandbox box;
  std::string big(3u << 20, 'b');
  for (size_t i = 0; i < big.size(); i += 5) big[i] = static_cast<char>(i);
  box.Write(Package(Concat({RecordOf("first", big), RecordOf("second", big), RecordOf("third", "3"),
                            RecordOf("run", "#!/bin/sh\n")})));
  std::string dest = box.path("dest");
  // A folder that is not empty cannot be replaced by a file.
  MakeDirs(dest + "/first/inside");
  RunResult r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("cannot extract 'first'"), std::string::npos) << r.err;
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(Tree(dest), (std::set<std::string>{"first/", "first/inside/"}));
}

// Runs a hostile package three ways (default, check, extract) in a fresh
// sandbox and requires a refusal with 125, one line of reason, and no file
// anywhere but the package itself.
void ExpectRefused(const Bytes& package, const std::string& what) {
  Sandbox box;
  box.Write(package);
  std::set<std::string> before = Tree(box.path(""));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--tuvo-check"}, {"--tuvo-extract", box.path("dest/sub")}}) {
    RunResult r = box.RunPackage(args);
    EXPECT_EQ(r.status, 125) << what << ": " << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << what << ": " << r.err;
    EXPECT_EQ(r.err.rfind("tuvo: ", 0), 0u) << what << ": " << r.err;
    EXPECT_EQ(r.out, "") << what;
  }
  // Not even the destination folder: the package is checked first.
  EXPECT_EQ(Tree(box.path("")), before) << what;
}

TEST(StubHostile, RefusesBadPackagesBeforeWritingAnything) {
  const Bytes program = RecordOf("run", "#!/bin/sh\necho escaped > /tmp/tuvo-escaped\n");
  const uint32_t s = static_cast<uint32_t>(NativeStub().size());
  struct Row {
    const char* what;
    Bytes package;
  } rows[] = {
      // Names that climb out of the folder.
      {"dot-dot first", Package(Concat({RecordOf("../escape", "x"), program}))},
      {"dot-dot inside", Package(Concat({RecordOf("a/../../escape", "x"), program}))},
      {"dot-dot with backslashes", Package(Concat({RecordOf("a\\..\\..\\escape", "x"), program}))},
      {"dot-dot after a drive", Package(Concat({RecordOf("C:..\\escape", "x"), program}))},
      {"dot-dot as the program", Package(Concat({RecordOf("x", "1"), RecordOf("../run", "x")}))},
      // Names that name nothing.
      {"only separators", Package(Concat({RecordOf("//", "x"), program}))},
      {"only dots", Package(Concat({RecordOf("./.", "x"), program}))},
      {"only a drive", Package(Concat({RecordOf("C:", "x"), program}))},
      // A file that a later record needs as a folder.
      {"file then folder", Package(Concat({RecordOf("a", "x"), RecordOf("a/b", "y"), program}))},
      // Broken records.
      {"name without its 0 byte", Package(Bytes{'a', 'b', 'c'})},
      {"name of 260 bytes", Package(Concat({RecordOf(std::string(260, 'n'), "x"), program}))},
      {"no crunch byte", Package(Bytes{'a', 0})},
      {"no end marker", Package(Bytes{'a', 0, 7, 'x', 'y'})},
      {"run code cut short", Package(Bytes{'a', 0, 7, 'x', 7})},
      {"run code without value", Package(Bytes{'a', 0, 7, 'x', 7, 3})},
      {"end marker's 0 missing", Package(Bytes{'a', 0, 7, 7})},
      {"records end before the terminator", Package(Concat({program, Bytes{0, 0}}))},
      {"garbage after the records", Package(Concat({program, Bytes{'z'}}))},
      // Broken trailers.
      {"terminator not 0",
       [&] {
         Bytes p = Package(program);
         p[p.size() - 5] = 1;
         return p;
       }()},
      {"start inside the stub", Package(program, s - 1)},
      {"start at 0", Package(program, 0)},
      {"start past the end", Package(program, s + 1000)},
      {"start at the top of the range", Package(program, 0xFFFFFFFFu)},
      {"shorter than a trailer", Concat({NativeStub(), Bytes{0, 0}})},
  };
  for (const Row& row : rows) ExpectRefused(row.package, row.what);
  EXPECT_FALSE(FileExists("/tmp/tuvo-escaped"));
}

// A small valid package cut at every length behind the stub: each one must
// be refused (the bare stub too: no package attached).
TEST(StubHostile, RefusesEveryTruncation) {
  Bytes package =
      Package(Concat({RecordOf("d/a.txt", "AAAAB\x01"), RecordOf("run", "#!/bin/sh\n")}));
  Sandbox box;
  for (size_t length = NativeStub().size(); length < package.size(); ++length) {
    box.Write(Bytes(package.begin(), package.begin() + static_cast<long>(length)));
    RunResult r = box.RunPackage({"--tuvo-extract", box.path("dest")});
    EXPECT_EQ(r.status, 125) << "length " << length << ": " << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(Tree(box.path("dest")).empty()) << length;
  }
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

// A trailer may name any start offset; only the stub's length is valid.
TEST(StubHostile, RefusesATrailerPointingAnywhereElse) {
  Bytes records = Concat({RecordOf("x", "1"), RecordOf("run", "#!/bin/sh\n")});
  const uint64_t s = NativeStub().size();
  std::vector<uint64_t> starts = {0, 1, 2, 64, s / 2, 0xFFFFFFFFu, 0x80000000u};
  for (uint64_t start = s - 6; start <= s + records.size() + 7; ++start) starts.push_back(start);
  Sandbox box;
  for (uint64_t start : starts) {
    if (start == s) continue;
    box.Write(Package(records, static_cast<uint32_t>(start)));
    RunResult r = box.RunPackage({"--tuvo-extract", box.path("dest")});
    EXPECT_EQ(r.status, 125) << "start " << start << ": " << r.err;
    EXPECT_TRUE(Tree(box.path("dest")).empty()) << start;
  }
  box.Write(Package(records));
  EXPECT_EQ(box.RunPackage({"--tuvo-check"}).status, 0);
}

// Flipping bits behind the stub may still leave a valid package (there is no
// checksum), but never a crash, a write outside the destination, or a
// refusal that leaves files behind.
TEST(StubHostile, SurvivesFlippedBytes) {
  Bytes package = Package(
      Concat({RecordOf("d/a.txt", std::string("AAAAAB\0x", 8)), RecordOf("run", "#!/bin/sh\n")}));
  Sandbox box;
  int refused = 0, accepted = 0;
  for (size_t at = NativeStub().size(); at < package.size(); ++at) {
    for (int mask : {0x01, 0x2E, 0xFF}) {
      Bytes bad = package;
      bad[at] = static_cast<uint8_t>(bad[at] ^ mask);
      box.Write(bad);
      std::string dest = box.path("dest");
      RunResult r = box.RunPackage({"--tuvo-extract", dest});
      ASSERT_TRUE(r.status == 0 || r.status == 125) << at << " " << r.status << r.err;
      if (at >= package.size() - TrailerSize) {
        EXPECT_EQ(r.status, 125) << "a flip in the trailer at " << at;
      }
      if (r.status == 125) {
        ++refused;
        EXPECT_TRUE(Tree(dest).empty()) << at;
      } else {
        ++accepted;
      }
      std::set<std::string> all = Tree(box.path(""));
      for (const std::string& path : all) {
        bool expected = path == "pkg" || path == "src/" || path.rfind("src/", 0) == 0 ||
                        path == "tmp/" || path.rfind("dest", 0) == 0;
        EXPECT_TRUE(expected) << "flip at " << at << " wrote " << path;
      }
      RemoveTree(dest);
    }
  }
  // Flips in the names' 0 bytes, crunch bytes, run codes, end markers and
  // the trailer are refused; flips in literal data give other data.
  EXPECT_GT(refused, 30);
  EXPECT_GT(accepted, 30);
}

}  // namespace
