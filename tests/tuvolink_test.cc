// End-to-end runs of the real tuvolink binary in temporary folders: console
// text, exact target bytes, and every failure leaving nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_util.h"

namespace {

const std::string Banner =
    "\nTuvo V1.0\nSelf-extracting packages from a program and its data files\n\n";
const std::string Usage =
    "USAGE: tuvolink OutFile file1 file2 file3 ...\n"
    "       tuvolink OutFile filelist.txt\n"
    "       the first file in the list MUST be the executable\n\n";

std::string Progress(const std::string& name, unsigned crunch) {
  return "Processing " + name + "...\n  CrunchByte: " + std::to_string(crunch) +
         "\n  Compressing...\n";
}

// A folder holding a stub of 1000 bytes (a multiple of the classic copy
// buffer) in which tuvolink runs.
class Workspace {
 public:
  Workspace() : stub(1000) {
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i * 7);
    WriteFile(dir / "tuvo.exe", stub);
  }
  RunResult Tuvolink(std::vector<std::string> args) const {
    args.insert(args.begin(), TUVOLINK_BIN);
    return RunCommand(args, dir.path());
  }
  Bytes Read(const std::string& name) const { return ReadFile(dir / name); }
  // True if no temporary of the target is left in the folder.
  bool NoTemporaries() const {
    for (const std::string& name : dir.List()) {
      if (name.find(".tmp") != std::string::npos) return false;
    }
    return true;
  }

  TempDir dir;
  Bytes stub;
};

Bytes Trailer(uint32_t start) {
  return {0, static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8),
          static_cast<uint8_t>(start >> 16), static_cast<uint8_t>(start >> 24)};
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Tuvolink, PrintsUsageWithStatusZeroAndCreatesNothing) {
  Workspace ws;
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"out.exe"}}) {
    RunResult r = ws.Tuvolink(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner + Usage);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(FileExists(ws.dir / "out.exe"));
  }
}

TEST(Tuvolink, WritesExactTargetAndProgress) {
  Workspace ws;
  WriteFile(ws.dir / "a", Bytes{0x41, 0x41, 0x41, 0x41, 0x42});
  WriteFile(ws.dir / "b", Bytes{0, 0, 1});
  // Inputs a then b: b's record and progress lines come first. The empty
  // argument is skipped.
  RunResult r = ws.Tuvolink({"out.exe", "a", "", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, Banner + "Linking...\nAdding Executable...\n" + Progress("b", 2) +
                       Progress("a", 0) + "Terminating Target...\n");
  Bytes expected = Join(
      {ws.stub, {'b', 0, 2, 0, 0, 1, 2, 0}, {'a', 0, 0, 0, 4, 0x41, 0x42, 0, 0}, Trailer(1000)});
  EXPECT_EQ(ws.Read("out.exe"), expected);
  // The target is a program: the mode a linker gives (0777 less the umask).
  struct stat st;
  ASSERT_EQ(stat((ws.dir / "out.exe").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  EXPECT_TRUE(ws.NoTemporaries());
}

TEST(Tuvolink, ListFileFormAndEmptyList) {
  Workspace ws;
  WriteFile(ws.dir / "a", Bytes{});
  WriteFile(ws.dir / "list.txt", std::string("a\r\n"));
  RunResult one = ws.Tuvolink({"one.exe", "list.txt"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(ws.Read("one.exe"), Join({ws.stub, {'a', 0, 0, 0, 0}, Trailer(1000)}));

  WriteFile(ws.dir / "empty.txt", std::string("\r\na\r\n"));
  RunResult none = ws.Tuvolink({"none.exe", "empty.txt"});
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, Banner + "Linking...\nAdding Executable...\nTerminating Target...\n");
  EXPECT_EQ(ws.Read("none.exe"), Join({ws.stub, Trailer(1000)}));
}

TEST(Tuvolink, ReplacesAnExistingTargetAndMayPackIt) {
  Workspace ws;
  WriteFile(ws.dir / "x", Bytes{5});
  WriteFile(ws.dir / "out.exe", Bytes{9, 9, 9, 9, 9, 9});
  // OutFile names an input: the package holds the input's old contents.
  RunResult r = ws.Tuvolink({"out.exe", "x", "out.exe"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ws.Read("out.exe"), Join({ws.stub,
                                      {'o', 'u', 't', '.', 'e', 'x', 'e', 0, 0, 0, 6, 9, 0, 0},
                                      {'x', 0, 0, 5, 0, 0},
                                      Trailer(1000)}));
  // The stub itself as OutFile: the package starts with the old stub.
  RunResult s = ws.Tuvolink({"tuvo.exe", "x", "x"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(ws.Read("tuvo.exe"),
            Join({ws.stub, {'x', 0, 0, 5, 0, 0}, {'x', 0, 0, 5, 0, 0}, Trailer(1000)}));
}

const std::string ListHint =
    "tuvolink: hint: a single name after OutFile is read as a list file; to pack one file, use: "
    "tuvolink OutFile file \"\"\n";

// Every failure: status 1, one line on stderr naming the file and the reason,
// no target, an existing target untouched, no temporary left.
TEST(Tuvolink, FailuresLeaveNothingBehind) {
  Workspace ws;
  WriteFile(ws.dir / "good", Bytes{1, 2, 3});
  mkdir((ws.dir / "folder").c_str(), 0755);
  mkfifo((ws.dir / "fifo").c_str(), 0644);
  WriteFile(ws.dir / "zero.txt", std::string("good\nba\0d\n", 10));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"missing input",
       {"good", "missing.bin"},
       "tuvolink: cannot open 'missing.bin': No such file or directory\n"},
      {"folder as the program",
       {"folder", "good"},
       "tuvolink: the first input, 'folder', is a folder: it must be the program, a file\n"},
      {"fifo input", {"good", "fifo"}, "tuvolink: cannot open 'fifo': not a regular file\n"},
      {"missing list file",
       {"list.txt"},
       "tuvolink: cannot open 'list.txt': No such file or directory\n" + ListHint},
      {"long argument",
       {"good", std::string(260, 'n')},
       "tuvolink: name longer than 259 characters: '" + std::string(40, 'n') + "...'\n"},
      {"zero byte in list",
       {"zero.txt"},
       "tuvolink: list file 'zero.txt', line 2: a name cannot hold a 0 byte\n" + ListHint},
  };
  for (const Case& c : cases) {
    for (bool existing : {false, true}) {
      if (existing) WriteFile(ws.dir / "out.exe", std::string("old contents"));
      std::vector<std::string> args = c.args;
      args.insert(args.begin(), "out.exe");
      RunResult r = ws.Tuvolink(args);
      EXPECT_EQ(r.status, 1) << c.what;
      EXPECT_EQ(r.err, c.message) << c.what;
      if (existing) {
        EXPECT_EQ(ws.Read("out.exe"), ToBytes("old contents")) << c.what;
        unlink((ws.dir / "out.exe").c_str());
      } else {
        EXPECT_FALSE(FileExists(ws.dir / "out.exe")) << c.what;
      }
      EXPECT_TRUE(ws.NoTemporaries()) << c.what;
    }
  }
}

TEST(Tuvolink, WriteFailureKeepsTheOldTarget) {
  Workspace ws;
  Bytes noise(3 << 20);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  WriteFile(ws.dir / "noise", noise);
  WriteFile(ws.dir / "out.exe", std::string("old contents"));
  // The package would be over 6 MiB; the file size limit stops it at 1 MiB.
  RunResult r = RunCommand({TUVOLINK_BIN, "out.exe", "noise", "noise"}, ws.dir.path(), 1 << 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tuvolink: cannot write 'out.exe': File too large\n");
  EXPECT_EQ(ws.Read("out.exe"), ToBytes("old contents"));
  EXPECT_TRUE(ws.NoTemporaries());
}

TEST(Tuvolink, RefusesAStubOf4GiB) {
  Workspace ws;
  // Sparse: its length alone matters, it is refused before it is read.
  ASSERT_EQ(truncate((ws.dir / "tuvo.exe").c_str(), off_t{4} << 30), 0);
  WriteFile(ws.dir / "a", Bytes{1});
  RunResult r = ws.Tuvolink({"out.exe", "a", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("stub 'tuvo.exe' is 4 GiB or larger"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(ws.dir / "out.exe"));
  EXPECT_TRUE(ws.NoTemporaries());
}

TEST(Tuvolink, RefusesAnEmptyTargetName) {
  Workspace ws;
  WriteFile(ws.dir / "a", Bytes{1});
  RunResult r = ws.Tuvolink({"", "a", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tuvolink: the target's name (OutFile) is empty\n");
  EXPECT_EQ(ws.dir.List(), (std::vector<std::string>{"a", "tuvo.exe"}));
}

TEST(Tuvolink, UnreadableInputIsAnError) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without permission";
  Workspace ws;
  WriteFile(ws.dir / "secret", Bytes{1});
  chmod((ws.dir / "secret").c_str(), 0);
  RunResult r = ws.Tuvolink({"out.exe", "secret", "secret"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tuvolink: cannot open 'secret': Permission denied\n");
  EXPECT_FALSE(FileExists(ws.dir / "out.exe"));
}

TEST(Tuvolink, FindsTheStubBesideItselfOrFailsCleanly) {
  // A copy of tuvolink in a folder of its own, run where there is no stub.
  TempDir bin;
  TempDir work;
  WriteFile(bin / "tuvolink", ReadFile(TUVOLINK_BIN));
  chmod((bin / "tuvolink").c_str(), 0755);
  WriteFile(work / "a", Bytes{1});
  WriteFile(work / "out.exe", std::string("old"));
  RunResult missing = RunCommand({bin / "tuvolink", "out.exe", "a", "a"}, work.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot find the stub 'tuvo.exe'"), std::string::npos) << missing.err;
  EXPECT_EQ(ReadFile(work / "out.exe"), ToBytes("old"));

  WriteFile(bin / "tuvo.exe", std::string("BESIDE"));
  RunResult beside = RunCommand({bin / "tuvolink", "out.exe", "a", "a"}, work.path());
  ASSERT_EQ(beside.status, 0) << beside.err;
  EXPECT_EQ(ReadFile(work / "out.exe"),
            Join({ToBytes("BESIDE"), {'a', 0, 0, 1, 0, 0}, {'a', 0, 0, 1, 0, 0}, Trailer(6)}));

  // The current folder comes first.
  WriteFile(work / "tuvo.exe", std::string("HERE"));
  RunResult here = RunCommand({bin / "tuvolink", "out.exe", "a", "a"}, work.path());
  ASSERT_EQ(here.status, 0) << here.err;
  Bytes package = ReadFile(work / "out.exe");
  EXPECT_EQ(Bytes(package.begin(), package.begin() + 4), ToBytes("HERE"));
}

TEST(Tuvolink, InterruptRemovesTheTemporary) {
  Workspace ws;
  // A sparse 8 GiB input takes seconds to pack, long enough to interrupt.
  std::string big = ws.dir / "big";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{8} << 30), 0);
  close(fd);
  WriteFile(ws.dir / "out.exe", std::string("old contents"));
  for (int sig : {SIGINT, SIGTERM}) {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(ws.dir.path().c_str()) != 0) _exit(120);
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      execl(TUVOLINK_BIN, TUVOLINK_BIN, "out.exe", "big", "big", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the temporary exists, then interrupt.
    for (int i = 0; i < 200 && ws.NoTemporaries(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(ws.NoTemporaries()) << "no temporary appeared";
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig;
    EXPECT_TRUE(ws.NoTemporaries()) << "signal " << sig;
    EXPECT_EQ(ws.Read("out.exe"), ToBytes("old contents"));
  }
}

}  // namespace
