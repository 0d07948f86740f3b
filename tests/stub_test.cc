// End to end: packages made by the real packer, or written byte by byte, run
// through the native stub in private temporary folders. Every run checks the
// exit status, and the hostile ones also that nothing was written anywhere
// but where it belongs.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "format/layout.h"
#include "format/run_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return std::remove(path);
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tuvo-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
  chmod(path.c_str(), mode);
}

void WriteBytes(const std::string& path, const Bytes& data, mode_t mode = 0755) {
  WriteFile(path, std::string(data.begin(), data.end()), mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Everything below `root`, as sorted relative paths; folders end in '/'.
std::set<std::string> Tree(const std::string& root, const std::string& prefix = "") {
  std::set<std::string> out;
  std::vector<std::string> names;
  if (DIR* dir = opendir((root + "/" + prefix).c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  for (const std::string& name : names) {
    std::string relative = prefix + name;
    struct stat st;
    lstat((root + "/" + relative).c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      out.insert(relative + "/");
      for (const std::string& inner : Tree(root, relative + "/")) out.insert(inner);
    } else {
      out.insert(relative);
    }
  }
  return out;
}

struct Result {
  int status = -1;
  std::string out, err;
};

struct Launch {
  Launch(std::vector<std::string> args_in, std::string cwd_in = "/",
         std::vector<std::string> env_in = {}, rlim_t limit = RLIM_INFINITY)
      : args(std::move(args_in)),
        cwd(std::move(cwd_in)),
        env(std::move(env_in)),
        file_size_limit(limit) {}
  std::vector<std::string> args;
  std::string cwd;
  std::vector<std::string> env;  // NAME=value, added to the environment
  rlim_t file_size_limit;
};

// Starts the program with stdout and stderr in files of `scratch`.
pid_t Start(const Launch& launch, const TempDir& scratch) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(launch.cwd.c_str()) != 0) _exit(200);
  for (const std::string& entry : launch.env) putenv(const_cast<char*>(entry.c_str()));
  int in = open("/dev/null", O_RDONLY);
  int out = open((scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open((scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (launch.file_size_limit != RLIM_INFINITY) {
    struct rlimit limit = {launch.file_size_limit, launch.file_size_limit};
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
  }
  std::vector<char*> argv;
  for (const std::string& arg : launch.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(201);
}

Result Finish(pid_t pid, const TempDir& scratch) {
  int status = 0;
  waitpid(pid, &status, 0);
  Result result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(scratch / "stdout");
  result.err = ReadFile(scratch / "stderr");
  return result;
}

Result Execute(const Launch& launch) {
  TempDir scratch;
  return Finish(Start(launch, scratch), scratch);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

const Bytes& Stub() {
  static const Bytes stub = [] {
    std::string data = ReadFile(TUVO_STUB_BIN);
    return Bytes(data.begin(), data.end());
  }();
  return stub;
}

// One record: the name, its 0 byte, crunch byte 0 and the coded data.
Bytes Record(const std::string& name, const std::string& data) {
  Bytes out(name.begin(), name.end());
  out.push_back(0);
  out.push_back(0);
  RunEncoder encoder(0);
  Bytes coded(RunEncoder::MaxEncodedSize(data.size()) + RunEncoder::MaxFinishSize);
  size_t n =
      encoder.Encode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), coded.data());
  n += encoder.Finish(coded.data() + n);
  out.insert(out.end(), coded.begin(), coded.begin() + static_cast<long>(n));
  return out;
}

// The stub, then `records` as given, then the trailer naming `start`.
Bytes PackageOf(const Bytes& records, uint32_t start) {
  Bytes out = Stub();
  out.insert(out.end(), records.begin(), records.end());
  uint8_t trailer[TrailerSize] = {ListTerminator};
  PutU32LE(start, trailer + 1);
  out.insert(out.end(), trailer, trailer + TrailerSize);
  return out;
}

Bytes PackageOf(const Bytes& records) {
  return PackageOf(records, static_cast<uint32_t>(Stub().size()));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
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
    mkdir((dir_ / "src").c_str(), 0755);
    mkdir((dir_ / "src/data").c_str(), 0755);
    mkdir((dir_ / "tmp").c_str(), 0755);
    WriteFile(dir_ / "src/prog.sh", TestProgram, 0755);
    WriteFile(dir_ / "src/data/info.txt", "info: packed data\n");
  }
  // Packs src/prog.sh and src/data/info.txt into pkg.
  void Pack() {
    Result packed = Execute({{TUVOLINK_BIN, package(), "prog.sh", "data/info.txt"}, dir_ / "src"});
    ASSERT_EQ(packed.status, 0) << packed.out << packed.err;
  }
  std::string package() const { return dir_ / "pkg"; }
  std::string tmp() const { return dir_ / "tmp"; }
  std::string path(const std::string& name) const { return dir_ / name; }
  // Runs the package with TMPDIR set to tmp/.
  Result RunPackage(std::vector<std::string> args, std::vector<std::string> env = {}) const {
    args.insert(args.begin(), package());
    env.push_back("TMPDIR=" + tmp());
    return Execute({args, dir_.path(), env});
  }

 private:
  TempDir dir_;
};

TEST(StubRun, RunsTheProgramWithItsArgumentsAndCleansUp) {
  Sandbox box;
  box.Pack();
  Result r = box.RunPackage({"--", "a b", "it's", "\"q\"", "", "--tuvo-list", "--"},
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
  Result r = box.RunPackage({"x", "--tuvo-list", "--tuvo-help"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("[x]\n[--tuvo-list]\n[--tuvo-help]\n"), std::string::npos) << r.out;
}

TEST(StubRun, ExitsWith128PlusTheSignalThatEndedTheProgram) {
  Sandbox box;
  box.Pack();
  Result r = box.RunPackage({}, {"TUVO_TEST_MODE=kill"});
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

TEST(StubRun, PassesSigtermToTheProgramAndCleansUp) {
  Sandbox box;
  box.Pack();
  std::string mark = box.path("started");
  TempDir scratch;
  pid_t pid = Start({{box.package()},
                     "/",
                     {"TMPDIR=" + box.tmp(), "TUVO_TEST_MODE=wait", "TUVO_TEST_MARK=" + mark}},
                    scratch);
  for (int i = 0; i < 500 && !Exists(mark); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(Exists(mark));
  kill(pid, SIGTERM);
  Result r = Finish(pid, scratch);
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

TEST(StubRun, KeepsThePrivateFolderWhenAsked) {
  Sandbox box;
  box.Pack();
  Result r = box.RunPackage({"--tuvo-keep", "k"});
  EXPECT_EQ(r.status, 0) << r.err;
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

TEST(StubRun, KeepsTheFolderWhateverTheProgramsStatus) {
  Sandbox box;
  box.Pack();
  Result r = box.RunPackage({"--tuvo-keep"}, {"TUVO_TEST_STATUS=130"});
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(Tree(box.tmp()).size(), 4u) << r.err;
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
    WriteBytes(box.package(), PackageOf(Record("prog", c.program)));
    Result r = box.RunPackage({});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(Tree(box.tmp()).empty());
  }
}

TEST(StubOptions, ListsChecksAndExtracts) {
  Sandbox box;
  box.Pack();
  Result list = box.RunPackage({"--tuvo-list"});
  EXPECT_EQ(list.status, 0);
  char expected[100];
  std::snprintf(expected, sizeof expected, "%12d  data/info.txt\n%12zu  prog.sh\n", 18,
                std::strlen(TestProgram));
  EXPECT_EQ(list.out, expected);
  Result check = box.RunPackage({"--tuvo-check"});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.out, "OK (sealed)\n");
  std::string dest = box.path("out/new/deeper");
  Result extract = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(Tree(dest), (std::set<std::string>{"data/", "data/info.txt", "prog.sh"}));
  EXPECT_EQ(ReadFile(dest + "/prog.sh"), TestProgram);
  EXPECT_EQ(ReadFile(dest + "/data/info.txt"), "info: packed data\n");
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
    Result r = box.RunPackage(args);
    EXPECT_EQ(r.status, 125) << args[0];
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  Result help = box.RunPackage({"--tuvo-help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--tuvo-extract FOLDER"), std::string::npos);
}

TEST(StubOptions, SaysWhenNoPackageIsAttached) {
  Sandbox box;
  WriteBytes(box.package(), Stub());
  for (const char* option : {"", "--tuvo-list", "--tuvo-check"}) {
    Result r =
        box.RunPackage(option[0] ? std::vector<std::string>{option} : std::vector<std::string>{});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "tuvo: no package is attached to this program (see --tuvo-help)\n");
  }
}

TEST(StubOptions, HandlesAPackageWithoutFiles) {
  Sandbox box;
  WriteBytes(box.package(), PackageOf({}));
  EXPECT_EQ(box.RunPackage({"--tuvo-list"}).out, "");
  EXPECT_EQ(box.RunPackage({"--tuvo-check"}).status, 0);
  EXPECT_EQ(box.RunPackage({"--tuvo-extract", box.path("dest")}).status, 0);
  Result run = box.RunPackage({});
  EXPECT_EQ(run.status, 125);
  EXPECT_NE(run.err.find("no program"), std::string::npos) << run.err;
}

TEST(StubExtract, ReplacesEarlierRecordsAndMakesNamesRelative) {
  Sandbox box;
  WriteBytes(box.package(),
             PackageOf(Concat({Record("dup", "first"), Record("/abs/file", "a"),
                               Record("C:\\win\\f.txt", "w"), Record("./x/./y", "y"),
                               Record("dup", "second"), Record("run", "#!/bin/sh\n")})));
  std::string dest = box.path("dest");
  Result r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(dest), (std::set<std::string>{"abs/", "abs/file", "dup", "run", "win/",
                                               "win/f.txt", "x/", "x/y"}));
  EXPECT_EQ(ReadFile(dest + "/dup"), "second");
  EXPECT_EQ(Lines(r.err).size(), 2u) << r.err;  // one note per stripped name
  EXPECT_NE(r.err.find("note: '/abs/file'"), std::string::npos) << r.err;
}

TEST(StubExtract, NeverFollowsASymbolicLink) {
  Sandbox box;
  std::string dest = box.path("dest"), outside = box.path("outside");
  mkdir(dest.c_str(), 0755);
  mkdir(outside.c_str(), 0755);
  WriteFile(outside + "/target", "untouched");
  ASSERT_EQ(symlink(outside.c_str(), (dest + "/linkdir").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (dest + "/linkfile").c_str()), 0);
  // Through a linked folder: refused, nothing written.
  WriteBytes(box.package(), PackageOf(Record("linkdir/evil", "x")));
  Result r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_EQ(Tree(outside), (std::set<std::string>{"target"}));
  // Onto a linked file: the link is replaced, its target kept.
  WriteBytes(box.package(), PackageOf(Record("linkfile", "new")));
  r = box.RunPackage({"--tuvo-extract", dest});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(outside + "/target"), "untouched");
  struct stat st;
  ASSERT_EQ(lstat((dest + "/linkfile").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(dest + "/linkfile"), "new");
}

TEST(StubExtract, RemovesAPartlyWrittenFileOnAWriteFailure) {
  Sandbox box;
  std::string big(200000, 'b');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  WriteBytes(
      box.package(),
      PackageOf(Concat({Record("small", "s"), Record("big", big), Record("run", "#!/bin/sh\n")})));
  for (bool temporary : {true, false}) {
    std::string dest = box.path(temporary ? "unused" : "dest");
    Launch launch{{box.package()}, "/", {"TMPDIR=" + box.tmp()}, 100000};
    if (!temporary) launch.args = {box.package(), "--tuvo-extract", dest};
    Result r = Execute(launch);
    EXPECT_EQ(r.status, 125) << r.err;
    EXPECT_NE(r.err.find("cannot write 'big'"), std::string::npos) << r.err;
    EXPECT_TRUE(Tree(box.tmp()).empty());
    if (!temporary) {
      EXPECT_EQ(Tree(dest), (std::set<std::string>{"small"}));
    }
  }
}

TEST(StubExtract, RoundTripsLargeFilesThroughThePacker) {
  TempDir dir;
  std::mt19937 random(42);
  std::string mixed;
  while (mixed.size() < (3u << 20)) {
    if (random() % 4 == 0) {
      mixed.append(random() % 2000, static_cast<char>(random()));
    } else {
      for (int i = 0; i < 300; ++i) mixed.push_back(static_cast<char>(random()));
    }
  }
  WriteFile(dir / "mixed.bin", mixed);
  WriteFile(dir / "prog", "#!/bin/sh\n", 0755);
  ASSERT_EQ(Execute({{TUVOLINK_BIN, dir / "pkg", "prog", "mixed.bin"}, dir.path()}).status, 0);
  Result r = Execute({{dir / "pkg", "--tuvo-extract", dir / "out"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "out/mixed.bin") == mixed);
}

// Under a file size limit whose signal is not ignored, the stub still fails
// cleanly instead of being ended by SIGXFSZ with a temporary left behind.
TEST(StubExtract, FailsCleanlyAtAFileSizeLimit) {
  Sandbox box;
  std::string big(300000, 'b');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  WriteBytes(box.package(), PackageOf(Concat({Record("big", big), Record("run", "#!/bin/sh\n")})));
  std::string dest = box.path("dest");
  // ulimit -f counts blocks of 512 bytes: 100 KiB.
  Result r = Execute(
      {{"/bin/sh", "-c", "ulimit -f 200; exec \"$0\" --tuvo-extract \"$1\"", box.package(), dest}});
  EXPECT_EQ(r.status, 125) << r.err;
  EXPECT_NE(r.err.find("cannot write 'big'"), std::string::npos) << r.err;
  EXPECT_TRUE(Tree(dest).empty());
}

// The decoder fills a ring of 1 MiB buffers while another thread writes
// them, leaving whole blocks of zeros unwritten: many files, empty ones,
// zeros at every alignment, at the start, inside and at the end of files,
// and files longer than the ring, all must come out exact.
TEST(StubExtract, WritesZeroBlocksAndManyFilesExactly) {
  TempDir dir;
  std::mt19937 random(7);
  auto noise = [&random](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(random() % 255 + 1));
    return s;
  };
  std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"zero1", std::string(1, '\0')},
      {"zero4095", std::string(4095, '\0')},
      {"zero4096", std::string(4096, '\0')},
      {"zero4097", std::string(4097, '\0')},
      {"zeros6m", std::string(6u << 20, '\0')},
      {"tail", noise(5000) + std::string(3 * 4096 + 17, '\0')},
      {"head", std::string(5 * 4096, '\0') + noise(100)},
  };
  // Stretches of zeros and of data of every length around the block size,
  // across several buffers of the ring.
  std::string mixed;
  while (mixed.size() < (5u << 20)) {
    size_t n = random() % 3 == 0 ? 4096 * (random() % 40) + random() % 3 : random() % 9000;
    mixed += random() % 2 ? std::string(n, '\0') : noise(n);
  }
  files.push_back({"mixed", mixed});
  for (size_t i = 0; i < 40; ++i) files.push_back({"small/" + std::to_string(i), noise(i * 37)});
  mkdir((dir / "small").c_str(), 0755);
  std::vector<std::string> args = {TUVOLINK_BIN, dir / "pkg", "prog"};
  WriteFile(dir / "prog", "#!/bin/sh\n", 0755);
  for (const auto& file : files) {
    WriteFile(dir / file.first, file.second);
    args.push_back(file.first);
  }
  ASSERT_EQ(Execute({args, dir.path()}).status, 0);
  Result r = Execute({{dir / "pkg", "--tuvo-extract", dir / "out"}});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& file : files) {
    std::string got = ReadFile(dir / ("out/" + file.first));
    EXPECT_EQ(got.size(), file.second.size()) << file.first;
    EXPECT_TRUE(got == file.second) << file.first;
  }
  EXPECT_EQ(ReadFile(dir / "out/prog"), "#!/bin/sh\n");
}

// A file that cannot be put in place fails the extraction even though the
// decoder has gone on to the next records: those are not written, and no
// temporary is left.
TEST(StubExtract, StopsAtAFailureOfTheWriterThread) {
  Sandbox box;
  std::string big(3u << 20, 'b');
  for (size_t i = 0; i < big.size(); i += 5) big[i] = static_cast<char>(i);
  WriteBytes(box.package(),
             PackageOf(Concat({Record("first", big), Record("second", big), Record("third", "3"),
                               Record("run", "#!/bin/sh\n")})));
  std::string dest = box.path("dest");
  mkdir(dest.c_str(), 0755);
  // A folder that is not empty cannot be replaced by a file.
  mkdir((dest + "/first").c_str(), 0755);
  mkdir((dest + "/first/inside").c_str(), 0755);
  Result r = box.RunPackage({"--tuvo-extract", dest});
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
  WriteBytes(box.package(), package);
  std::set<std::string> before = Tree(box.path(""));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--tuvo-check"}, {"--tuvo-extract", box.path("dest/sub")}}) {
    Result r = box.RunPackage(args);
    EXPECT_EQ(r.status, 125) << what << ": " << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << what << ": " << r.err;
    EXPECT_EQ(r.err.rfind("tuvo: ", 0), 0u) << what << ": " << r.err;
    EXPECT_EQ(r.out, "") << what;
  }
  // Not even the destination folder: the package is checked first.
  EXPECT_EQ(Tree(box.path("")), before) << what;
}

TEST(StubHostile, RefusesBadPackagesBeforeWritingAnything) {
  const Bytes program = Record("run", "#!/bin/sh\necho escaped > /tmp/tuvo-escaped\n");
  const uint32_t s = static_cast<uint32_t>(Stub().size());
  struct Row {
    const char* what;
    Bytes package;
  } rows[] = {
      // Names that climb out of the folder.
      {"dot-dot first", PackageOf(Concat({Record("../escape", "x"), program}))},
      {"dot-dot inside", PackageOf(Concat({Record("a/../../escape", "x"), program}))},
      {"dot-dot with backslashes", PackageOf(Concat({Record("a\\..\\..\\escape", "x"), program}))},
      {"dot-dot after a drive", PackageOf(Concat({Record("C:..\\escape", "x"), program}))},
      {"dot-dot as the program", PackageOf(Concat({Record("x", "1"), Record("../run", "x")}))},
      // Names that name nothing.
      {"only separators", PackageOf(Concat({Record("//", "x"), program}))},
      {"only dots", PackageOf(Concat({Record("./.", "x"), program}))},
      {"only a drive", PackageOf(Concat({Record("C:", "x"), program}))},
      // A file that a later record needs as a folder.
      {"file then folder", PackageOf(Concat({Record("a", "x"), Record("a/b", "y"), program}))},
      // Broken records.
      {"name without its 0 byte", PackageOf(Bytes{'a', 'b', 'c'})},
      {"name of 260 bytes", PackageOf(Concat({Record(std::string(260, 'n'), "x"), program}))},
      {"no crunch byte", PackageOf(Bytes{'a', 0})},
      {"no end marker", PackageOf(Bytes{'a', 0, 7, 'x', 'y'})},
      {"run code cut short", PackageOf(Bytes{'a', 0, 7, 'x', 7})},
      {"run code without value", PackageOf(Bytes{'a', 0, 7, 'x', 7, 3})},
      {"end marker's 0 missing", PackageOf(Bytes{'a', 0, 7, 7})},
      {"records end before the terminator", PackageOf(Concat({program, Bytes{0, 0}}))},
      {"garbage after the records", PackageOf(Concat({program, Bytes{'z'}}))},
      // Broken trailers.
      {"terminator not 0",
       [&] {
         Bytes p = PackageOf(program);
         p[p.size() - 5] = 1;
         return p;
       }()},
      {"start inside the stub", PackageOf(program, s - 1)},
      {"start at 0", PackageOf(program, 0)},
      {"start past the end", PackageOf(program, s + 1000)},
      {"start at the top of the range", PackageOf(program, 0xFFFFFFFFu)},
      {"shorter than a trailer", Concat({Stub(), Bytes{0, 0}})},
  };
  for (const Row& row : rows) ExpectRefused(row.package, row.what);
  EXPECT_FALSE(Exists("/tmp/tuvo-escaped"));
}

// A small valid package cut at every length behind the stub: each one must
// be refused (the bare stub too: no package attached).
TEST(StubHostile, RefusesEveryTruncation) {
  Bytes package = PackageOf(Concat({Record("d/a.txt", "AAAAB\x01"), Record("run", "#!/bin/sh\n")}));
  Sandbox box;
  for (size_t length = Stub().size(); length < package.size(); ++length) {
    WriteBytes(box.package(), Bytes(package.begin(), package.begin() + static_cast<long>(length)));
    Result r = box.RunPackage({"--tuvo-extract", box.path("dest")});
    EXPECT_EQ(r.status, 125) << "length " << length << ": " << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(Tree(box.path("dest")).empty()) << length;
  }
  EXPECT_TRUE(Tree(box.tmp()).empty());
}

// A trailer may name any start offset; only the stub's length is valid.
TEST(StubHostile, RefusesATrailerPointingAnywhereElse) {
  Bytes records = Concat({Record("x", "1"), Record("run", "#!/bin/sh\n")});
  const uint64_t s = Stub().size();
  std::vector<uint64_t> starts = {0, 1, 2, 64, s / 2, 0xFFFFFFFFu, 0x80000000u};
  for (uint64_t start = s - 6; start <= s + records.size() + 7; ++start) starts.push_back(start);
  Sandbox box;
  for (uint64_t start : starts) {
    if (start == s) continue;
    WriteBytes(box.package(), PackageOf(records, static_cast<uint32_t>(start)));
    Result r = box.RunPackage({"--tuvo-extract", box.path("dest")});
    EXPECT_EQ(r.status, 125) << "start " << start << ": " << r.err;
    EXPECT_TRUE(Tree(box.path("dest")).empty()) << start;
  }
  WriteBytes(box.package(), PackageOf(records));
  EXPECT_EQ(box.RunPackage({"--tuvo-check"}).status, 0);
}

// Flipping bits behind the stub may still leave a valid package (there is no
// checksum), but never a crash, a write outside the destination, or a
// refusal that leaves files behind.
TEST(StubHostile, SurvivesFlippedBytes) {
  Bytes package = PackageOf(
      Concat({Record("d/a.txt", std::string("AAAAAB\0x", 8)), Record("run", "#!/bin/sh\n")}));
  Sandbox box;
  int refused = 0, accepted = 0;
  for (size_t at = Stub().size(); at < package.size(); ++at) {
    for (int mask : {0x01, 0x2E, 0xFF}) {
      Bytes bad = package;
      bad[at] = static_cast<uint8_t>(bad[at] ^ mask);
      WriteBytes(box.package(), bad);
      std::string dest = box.path("dest");
      Result r = box.RunPackage({"--tuvo-extract", dest});
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
