// The progress display and the summary: their drawing on a fake clock, and
// the packer on a pseudo-terminal, where standard output keeps its lines.
#include "terminal_progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "test_util.h"

namespace {

// What a TerminalProgress draws, on a clock the test moves.
struct Screen {
  Screen() : file(std::tmpfile()), display(file, [this] { return now; }) {}
  ~Screen() { std::fclose(file); }
  std::string Text() {
    std::fflush(file);
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    size_t got = std::fread(&text[0], 1, text.size(), file);
    text.resize(got);
    std::fseek(file, 0, SEEK_END);
    return text;
  }
  double now = 1024;
  std::FILE* file;
  TerminalProgress display;
};

TEST(TerminalProgress, DrawsOnlyForSlowInputsAtMostFourTimesASecondAndErases) {
  Screen s;
  // A small input read at once: nothing drawn.
  s.display.Read("small", 1000, 1000);
  EXPECT_EQ(s.Text(), "");
  // 64 MB in 1 MB blocks, one every 1/64 s: drawn at 0.25, 0.5 and 0.75 s
  // after the first block.
  for (int i = 0; i < 63; ++i) {
    s.now += 1.0 / 64;
    s.display.Read("big", 64000000, 1000000);
  }
  std::string drawn = s.Text();
  EXPECT_EQ(drawn,
            "\rReading 'big'   26%  64.0 MB/s\x1b[K"
            "\rReading 'big'   51%  64.0 MB/s\x1b[K"
            "\rReading 'big'   76%  64.0 MB/s\x1b[K");
  // The last block erases the line, and Finish has nothing left to erase.
  s.now += 1.0 / 64;
  s.display.Read("big", 64000000, 1000000);
  s.display.Finish();
  EXPECT_EQ(s.Text(), drawn + "\r\x1b[K");
}

TEST(TerminalProgress, FinishErasesALineLeftByAFailedRun) {
  Screen s;
  s.display.Read("in\x1b[2Jput", 1000, 10);
  s.now += 1;
  s.display.Read("in\x1b[2Jput", 1000, 10);
  s.display.Finish();
  EXPECT_EQ(s.Text(), "\rReading 'in\\x1b[2Jput'    2%  0.0 MB/s\x1b[K\r\x1b[K");
}

TEST(TerminalProgress, SummaryLine) {
  EXPECT_EQ(SummaryLine(3, 12300000, 4500000, 0.4249),
            "3 files, 12.3 MB in, 4.5 MB out (36.6%), 0.42 s");
  EXPECT_EQ(SummaryLine(1, 0, 1005, 0), "1 file, 0.0 MB in, 0.0 MB out (0.0%), 0.00 s");
}

// Runs tuvolink with standard error on a pseudo-terminal and standard output
// on a pipe; returns what each received.
void RunOnTerminal(const std::vector<std::string>& args, const std::string& cwd,
                   std::string* terminal, std::string* out) {
  int out_pipe[2];
  ASSERT_EQ(pipe(out_pipe), 0);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    std::vector<char*> argv = {const_cast<char*>(TUVOLINK_BIN)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  pollfd fds[2] = {{master, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {terminal, out};
  for (int open_count = 2; open_count > 0;) {
    if (poll(fds, 2, 10000) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {  // the pseudo-terminal reports EIO once the child is gone
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << *terminal;
}

TEST(TerminalProgress, ThePackerShowsASummaryOnATerminalOnly) {
  TempDir dir;
  WriteFile(dir / "tuvo.exe", std::string("STUB"));
  WriteFile(dir / "a", Bytes(3000000, 7));
  WriteFile(dir / "b", std::string("b"));
  std::string terminal, out;
  RunOnTerminal({"o.exe", "a", "b"}, dir.path(), &terminal, &out);
  EXPECT_EQ(terminal.find("tuvolink: 2 files, 3.0 MB in, 0.0 MB out ("), 0u) << terminal;
  // The terminal turns "\n" into "\r\n": one line, at the end.
  EXPECT_EQ(terminal.find("\r\n"), terminal.size() - 2) << terminal;
  EXPECT_NE(out.find("Linking...\nAdding Executable...\nProcessing b...\n"), std::string::npos);
  // On a pipe standard error stays empty; standard output is the same.
  RunResult piped = RunCommand({TUVOLINK_BIN, "p.exe", "a", "b"}, dir.path());
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, out);
}

}  // namespace
