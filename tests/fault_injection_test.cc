// Fault injection, end to end with the real binaries: the packer and the stub
// writing into a file system that is full or out of inodes (a small tmpfs in
// a mount namespace of its own), and inputs that change between the packer's
// two reads. Whatever fails must fail with a message and leave nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

Bytes Random(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(generator());
  return data;
}

// Runs the shell `script` in a mount namespace of its own where $MNT is a new
// tmpfs mounted with `options` and $DIR is dir. Afterwards the tmpfs's
// contents are copied to dir/after, where the test looks. Skips the test
// (returns false) where mounting is not allowed.
bool RunInTmpfs(const TempDir& dir, const std::string& options, const std::string& script,
                RunResult* result) {
  const std::string full = "DIR='" + dir.path() + "'; MNT=\"$DIR/mnt\"; mkdir -p \"$MNT\" " +
                           "\"$DIR/after\"; mount -t tmpfs -o " + options +
                           " tmpfs \"$MNT\" || exit 77\n" + script +
                           "\nstatus=$?; cp -a \"$MNT/.\" \"$DIR/after/\"; exit $status\n";
  *result =
      RunCommand({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", full},
                 dir.path());
  if (result->status == 77 || result->err.rfind("unshare:", 0) == 0 || result->status == 127) {
    std::printf("cannot mount a tmpfs in a namespace of its own here: %s\n", result->err.c_str());
    return false;
  }
  return true;
}

// The files and folders left in the tmpfs, relative to it.
std::vector<std::string> Left(const TempDir& dir) {
  RunResult found = RunCommand({"/usr/bin/find", ".", "-mindepth", "1"}, dir / "after");
  std::vector<std::string> names;
  size_t at = 0;
  for (size_t end; (end = found.out.find('\n', at)) != std::string::npos; at = end + 1) {
    names.push_back(found.out.substr(at, end - at));
  }
  return names;
}

// A package of a program and `files` random files of `size` bytes, in dir.
std::string MakePackage(const TempDir& dir, int files, size_t size) {
  std::vector<std::string> argv = {TUVOLINK_BIN, dir / "pkg"};
  WriteFile(dir / "prog", std::string("#!/bin/sh\nexit 0\n"));
  argv.push_back(dir / "prog");
  for (int i = 0; i < files; ++i) {
    std::string name = "data" + std::to_string(i);
    WriteFile(dir / name, Random(size, static_cast<unsigned>(i)));
    argv.push_back(name);
  }
  RunResult made = RunCommand(argv, dir.path());
  EXPECT_EQ(made.status, 0) << made.err;
  return dir / "pkg";
}

TEST(FullFileSystem, PackerFailsAndKeepsTheOldTarget) {
  TempDir dir;
  WriteFile(dir / "prog", Random(2 << 20, 1));
  RunResult run;
  if (!RunInTmpfs(dir, "size=256k",
                  "echo old > \"$MNT/out\" && cd \"$DIR\" && \"" TUVOLINK_BIN
                  "\" \"$MNT/out\" prog prog",
                  &run)) {
    GTEST_SKIP() << "mounting a tmpfs is not permitted";
  }
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("tuvolink: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  EXPECT_EQ(Left(dir), std::vector<std::string>{"./out"});  // no temporary left
  EXPECT_EQ(ReadFile(dir / "after/out"), ToBytes("old\n"));
}

// The stub refuses a run that cannot fit, in bytes or in inodes, before it
// writes anything: 125, and the folder it made is gone, whether a temporary
// one or the one named by --tuvo-extract.
TEST(FullFileSystem, StubFailsWith125AndLeavesNothing) {
  struct Case {
    const char* what;
    const char* options;
    int files;
    size_t size;
    const char* command;
    const char* message;
  } const cases[] = {
      {"no space, extract", "size=512k", 1, 2 << 20, "--tuvo-extract \"$MNT/x\"",
       "not enough free space"},
      {"no space, run", "size=512k", 1, 2 << 20, "", "not enough free space"},
      {"no inode, extract", "nr_inodes=6", 10, 100, "--tuvo-extract \"$MNT/x\"",
       "not enough free entries"},
      {"no inode, run", "nr_inodes=6", 10, 100, "", "not enough free entries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string package = MakePackage(dir, c.files, c.size);
    RunResult run;
    if (!RunInTmpfs(dir, c.options, "TMPDIR=\"$MNT\" \"" + package + "\" " + c.command, &run)) {
      GTEST_SKIP() << "mounting a tmpfs is not permitted";
    }
    EXPECT_EQ(run.status, 125) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(Left(dir), std::vector<std::string>{});
  }
}

// --- Inputs that change while the packer reads them ---

// The packer, started in the background with its output in files of `dir`.
pid_t StartPacker(const TempDir& dir, const std::string& input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  WriteFile(dir / "prog", std::string("#!/bin/sh\n"));
  std::string out = dir / "out", bin = TUVOLINK_BIN, prog = dir / "prog";
  char* argv[] = {&bin[0], &out[0], &prog[0], const_cast<char*>(input.c_str()), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Bytes the process has read so far (rchar of /proc/PID/io), or -1 once it
// has ended.
long long BytesRead(pid_t pid) {
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == pid) {
    return -1;
  }
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = -1;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

// Packs `input` (of `size` bytes, larger than what the packer reads only
// once) and, once the packer has read it through the first time, stops it,
// applies `change` and lets it go on. Returns the packer's exit status;
// *changed tells whether the change came before the packer had finished.
int PackWhileChanging(const TempDir& dir, const std::string& input, long long size,
                      void (*change)(const std::string&), bool* changed) {
  pid_t pid = StartPacker(dir, input);
  *changed = false;
  if (pid <= 0) return -1;
  for (;;) {
    long long read = BytesRead(pid);
    if (read < 0) break;
    if (read >= size + (1 << 20)) {
      kill(pid, SIGSTOP);
      *changed = BytesRead(pid) >= 0;
      change(input);
      kill(pid, SIGCONT);
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr long long ChangingSize = 48ll << 20;

void Shrink(const std::string& path) { ASSERT_EQ(truncate(path.c_str(), ChangingSize / 2), 0); }
void Grow(const std::string& path) { ASSERT_EQ(truncate(path.c_str(), ChangingSize + 4096), 0); }
// Rewrites bytes near the end, where the second read has not been yet.
void Rewrite(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY);
  const Bytes ones(4096, 1);
  ASSERT_EQ(pwrite(fd, ones.data(), ones.size(), ChangingSize - (8 << 20)), 4096);
  close(fd);
}

// However the input changes between the two reads, the packer either fails
// with a message that says so, leaving nothing, or writes a package of
// content that the file really had, never a package of torn content.
TEST(ChangingInput, FailsOrPacksAConsistentContent) {
  struct Case {
    const char* what;
    void (*change)(const std::string&);
  } const cases[] = {{"shrinks", Shrink}, {"grows", Grow}, {"is rewritten", Rewrite}};
  int injected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string input = dir / "input";
    WriteFile(input, Bytes{});
    ASSERT_EQ(truncate(input.c_str(), ChangingSize), 0);  // sparse: fast to make and to read
    const Bytes before = ReadFile(input);
    bool changed = false;
    int status = PackWhileChanging(dir, input, ChangingSize, c.change, &changed);
    injected += changed ? 1 : 0;
    const Bytes after = ReadFile(input);
    const Bytes err = ReadFile(dir / "stderr");
    const std::string message(err.begin(), err.end());
    std::printf("input %s %s: exit %d %s", c.what, changed ? "during packing" : "too late", status,
                message.c_str());
    if (status == 1) {
      EXPECT_NE(message.find("changed while it was being packed"), std::string::npos) << message;
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"input", "prog", "stderr", "stdout"}));
      continue;
    }
    ASSERT_EQ(status, 0) << message;
    std::vector<Entry> entries;
    std::string decode_error;
    ASSERT_TRUE(DecodePackage(ReadFile(dir / "out"), &entries, &decode_error)) << decode_error;
    ASSERT_EQ(entries.size(), 2u);  // the input, then the program
    EXPECT_TRUE(entries[0].data == before || entries[0].data == after)
        << "a package of " << entries[0].data.size() << " bytes that the file never held";
    std::printf("  packed the content %s, with crunch byte %u\n",
                entries[0].data == after ? "after the change" : "before the change",
                entries[0].crunch);
  }
  // Without /proc/PID/io the packer runs unchanged, which proves nothing.
  if (injected == 0) GTEST_SKIP() << "the packer could not be stopped between its two reads";
}

}  // namespace
