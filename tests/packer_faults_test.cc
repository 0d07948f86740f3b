// The packer's fault paths end to end: limits, signals, a failing standard
// output, long target names and the messages of list files. Each run must end
// with a message and status 1 or by the signal, and leave no temporary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_util.h"

namespace {

// A folder with a small stub, an input and a sparse 8 GiB input that takes
// seconds to pack, long enough to signal the packer while it works.
struct Folder {
  Folder() {
    WriteFile(dir / "tuvo.exe", std::string("STUB"));
    WriteFile(dir / "small", std::string("small"));
  }
  void MakeBig() {
    int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{8} << 30), 0);
    close(fd);
  }
  bool NoTemporaries() const {
    for (const std::string& name : dir.List()) {
      if (name.find(".tmp") != std::string::npos) return false;
    }
    return true;
  }
  // Runs a shell command in the folder; $T is tuvolink.
  RunResult Shell(const std::string& command) const {
    return RunCommand({"/bin/sh", "-c", "T=\"$0\"; " + command, TUVOLINK_BIN}, dir.path());
  }
  // Starts `tuvolink out.exe small big` with `ignored` ignored, and returns
  // once the temporary exists.
  pid_t StartPacking(int ignored) const {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.path().c_str()) != 0) _exit(120);
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      struct rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      if (ignored != 0) signal(ignored, SIG_IGN);
      execl(TUVOLINK_BIN, TUVOLINK_BIN, "out.exe", "small", "big", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500 && NoTemporaries(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
  }
  TempDir dir;
};

int WaitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(PackerFaults, FileSizeLimitIsAnErrorNotADeath) {
  Folder f;
  Bytes noise(3 << 20);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  WriteFile(f.dir / "noise", noise);
  // The shell's limit, with SIGXFSZ left at its default action.
  RunResult r = f.Shell("ulimit -f 1024; exec \"$T\" out.exe small noise");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tuvolink: cannot write 'out.exe': File too large\n");
  EXPECT_FALSE(FileExists(f.dir / "out.exe"));
  EXPECT_TRUE(f.NoTemporaries());
}

TEST(PackerFaults, EveryTerminatingSignalRemovesTheTemporary) {
  Folder f;
  f.MakeBig();
  WriteFile(f.dir / "out.exe", std::string("old"));
  for (int sig : {SIGQUIT, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU}) {
    pid_t pid = f.StartPacking(0);
    ASSERT_FALSE(f.NoTemporaries()) << "no temporary appeared";
    kill(pid, sig);
    EXPECT_EQ(WaitFor(pid), 128 + sig) << "signal " << sig;
    EXPECT_TRUE(f.NoTemporaries()) << "signal " << sig;
    EXPECT_EQ(ReadFile(f.dir / "out.exe"), ToBytes("old"));
  }
}

TEST(PackerFaults, ASignalIgnoredAtStartStaysIgnored) {
  Folder f;
  f.MakeBig();
  // As under nohup: the SIGHUP passes, the SIGTERM after it ends the run.
  for (int sig : {SIGHUP, SIGINT}) {
    pid_t pid = f.StartPacking(sig);
    ASSERT_FALSE(f.NoTemporaries()) << "no temporary appeared";
    kill(pid, sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitFor(pid), 128 + SIGTERM) << "signal " << sig;
    EXPECT_TRUE(f.NoTemporaries());
  }
}

TEST(PackerFaults, AFailingStandardOutputLeavesTheTargetAlone) {
  Folder f;
  WriteFile(f.dir / "out.exe", std::string("old"));
  RunResult r = f.Shell("exec \"$T\" out.exe small small >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tuvolink: cannot write to standard output: No space left on device\n");
  EXPECT_EQ(ReadFile(f.dir / "out.exe"), ToBytes("old"));
  EXPECT_TRUE(f.NoTemporaries());
}

TEST(PackerFaults, TargetNamesUpToTheFolderLimitWork) {
  Folder f;
  ASSERT_EQ(RunCommand({TUVOLINK_BIN, "ref.exe", "small", "small"}, f.dir.path()).status, 0);
  for (size_t length : {size_t{200}, size_t{250}, size_t{255}}) {
    std::string name(length, 'o');
    RunResult r = RunCommand({TUVOLINK_BIN, name, "small", "small"}, f.dir.path());
    EXPECT_EQ(r.status, 0) << length << ": " << r.err;
    if (r.status == 0) {
      EXPECT_EQ(ReadFile(f.dir / name), ReadFile(f.dir / "ref.exe")) << length;
    }
    EXPECT_TRUE(f.NoTemporaries());
  }
}

TEST(PackerFaults, ListFileErrorsNameTheFileAndLineAndShowNamesSafely) {
  Folder f;
  struct Case {
    const char* what;
    std::string list;
    std::string message;
  } cases[] = {
      {"a line over 259 characters", "small\n" + std::string(300, 'w') + "\n",
       "list file 'list.txt', line 2: name longer than 259 characters: '" + std::string(40, 'w') +
           "...'"},
      {"a line far over the limit", "small\n" + std::string(70000, 'v') + "\n",
       "list file 'list.txt', line 2: name longer than 259 characters: '" + std::string(40, 'v') +
           "...'"},
      {"a long line holding a CR", "small\n\r\x1b" + std::string(300, 'u') + "\n",
       "list file 'list.txt', line 2: name longer than 259 characters: '\\r\\x1b" +
           std::string(38, 'u') + "...'"},
      {"a name holding a CR and an escape", "small\nx\ry\x1b[2J\n",
       "cannot open 'x\\ry\\x1b[2J': No such file or directory"},
      {"a 0 byte", std::string("small\na\0b\n", 10),
       "list file 'list.txt', line 2: a name cannot hold a 0 byte"},
  };
  for (const Case& c : cases) {
    WriteFile(f.dir / "list.txt", c.list);
    RunResult r = RunCommand({TUVOLINK_BIN, "out.exe", "list.txt"}, f.dir.path());
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "tuvolink: " + c.message + "\n") << c.what;
    EXPECT_FALSE(FileExists(f.dir / "out.exe")) << c.what;
  }
  // A name given as an argument is shown the same way.
  RunResult arg = RunCommand({TUVOLINK_BIN, "out.exe", "small", "a\tb\x07"}, f.dir.path());
  EXPECT_EQ(arg.err, "tuvolink: cannot open 'a\\tb\\x07': No such file or directory\n");
}

TEST(PackerFaults, ProgressLinesShowNamesSafely) {
  Folder f;
  WriteFile(f.dir / "a\x1b]0;b\x07", std::string("x"));
  RunResult r = RunCommand({TUVOLINK_BIN, "out.exe", "small", "a\x1b]0;b\x07"}, f.dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nProcessing a\\x1b]0;b\\x07...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nProcessing small...\n"), std::string::npos) << r.out;
}

}  // namespace
