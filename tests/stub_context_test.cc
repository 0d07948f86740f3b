// What the stub gives the program and the person at the terminal: the
// environment variables that lead back to the caller and the package, the
// modes of the extracted files, and the progress line of a long extraction.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

// Packs `names` from `dir` (the first is the program) into dir/pkg.
std::string Pack(const TempDir& dir, std::vector<std::string> names) {
  names.insert(names.begin(), {TUVOLINK_BIN, dir / "pkg"});
  RunResult packed = RunCommand(names, dir.path());
  EXPECT_EQ(packed.status, 0) << packed.err;
  return dir / "pkg";
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(StubContext, TellsTheProgramWhereItWasStartedAndWhereThePackageIs) {
  TempDir dir;
  WriteFile(dir / "prog", "#!/bin/sh\necho \"$TUVO_CALLER_DIR|$TUVO_PACKAGE|$(pwd)\"\n");
  WriteFile(dir / "data", "x");
  Pack(dir, {"prog", "data"});
  mkdir((dir / "tmp").c_str(), 0700);
  // A package started by a relative path, from a program that was itself
  // given other values.
  RunResult r = RunCommand({"/usr/bin/env", "TMPDIR=" + (dir / "tmp"), "TUVO_CALLER_DIR=/stale",
                            "TUVO_PACKAGE=/stale", "./pkg"},
                           dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected = dir.path() + "|" + (dir / "pkg") + "|" + (dir / "tmp/tuvo-");
  EXPECT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
}

// The format keeps no modes: scripts and binaries, told by their first
// bytes, are made runnable, and everything else is not.
TEST(StubContext, MakesScriptsAndBinariesRunnable) {
  TempDir dir;
  const std::pair<const char*, std::string> files[] = {
      {"prog", "not a script, but the program\n"},
      {"helper.sh", "#!/bin/sh\necho helped\n"},
      {"tool", std::string("\x7f"
                           "ELF\x02\x01\x01",
                           7) +
                   std::string(100, '\0')},
      {"notes.txt", "a note: #! counts only at the very start\n"},
      {"comment", "# a comment\n"},
      {"short", "#"},
      {"empty", ""},
  };
  std::vector<std::string> names;
  for (const auto& file : files) {
    WriteFile(dir / file.first, file.second);
    names.push_back(file.first);
  }
  Pack(dir, names);
  RunResult r = RunCommand({dir / "pkg", "--tuvo-extract", dir / "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  mode_t mask = umask(0);
  umask(mask);
  for (const auto& file : files) {
    std::string name = file.first;
    bool runnable = name == "prog" || name == "helper.sh" || name == "tool";
    EXPECT_EQ(ModeOf(dir / ("out/" + name)), (runnable ? 0755u : 0644u) & ~mask) << name;
  }
  RunResult helped = RunCommand({dir / "out/helper.sh"}, dir.path());
  EXPECT_EQ(helped.out, "helped\n");
}

// Runs `argv` with standard error on a new terminal and standard output in
// the file `out`; returns what the terminal showed and sets *status.
std::string OnATerminal(const std::vector<std::string>& argv, const std::string& out, int* status) {
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(n));
  }
  close(terminal);
  waitpid(pid, status, 0);
  return shown;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(StubContext, ShowsProgressOfALargeExtractionOnATerminalOnly) {
  TempDir dir;
  WriteFile(dir / "prog", "#!/bin/sh\n");
  // 96 MiB of zeros: a small package that extracts to more than 64 MiB
  // (and to holes, so that the test writes little).
  WriteFile(dir / "zeros", "");
  ASSERT_EQ(truncate((dir / "zeros").c_str(), 96 << 20), 0);
  std::string package = Pack(dir, {"prog", "zeros"});
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  std::string shown =
      OnATerminal({package, "--tuvo-extract", dir / "out1"}, dir / "stdout", &status);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_EQ(shown.rfind("\rtuvo: extracting   0%", 0), 0u) << shown;
  // At most four redraws a second, then the line is blanked out.
  size_t draws = Count(shown, "\rtuvo: extracting");
  EXPECT_LE(draws, 2 + static_cast<size_t>(ms) / 250) << shown;
  size_t last = shown.rfind("\rtuvo: ");
  size_t blank = shown.find('\r', last + 1);
  ASSERT_NE(blank, std::string::npos) << shown;
  EXPECT_EQ(shown.substr(blank), "\r" + std::string(shown.size() - blank - 2, ' ') + "\r");
  EXPECT_GE(shown.size() - blank - 2, blank - last - 1);
  EXPECT_TRUE(ReadFile(dir / "stdout").empty());
  // Not on a pipe, and not for a small package.
  EXPECT_EQ(RunCommand({package, "--tuvo-extract", dir / "out2"}, dir.path()).err, "");
  ASSERT_EQ(truncate((dir / "zeros").c_str(), 1 << 20), 0);
  package = Pack(dir, {"prog", "zeros"});
  EXPECT_EQ(OnATerminal({package, "--tuvo-extract", dir / "out3"}, dir / "stdout", &status), "");
}

}  // namespace
