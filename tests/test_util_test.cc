// The fixtures that every test leans on: a temporary folder goes with all its
// contents but never through a link, and the process runner passes the
// folder, the environment, standard input and the file size limit, and stops
// a command that hangs.
#include "test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace {

TEST(Fixtures, TempDirRemovesReadOnlyContentsButNotWhatALinkNames) {
  TempDir outside;
  WriteFile(outside / "kept", "k");
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    MakeDirs(dir / "a/b");
    WriteFile(dir / "a/b/f", "x", 0444);
    ASSERT_EQ(chmod((dir / "a/b").c_str(), 0555), 0);
    ASSERT_EQ(chmod((dir / "a").c_str(), 0), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
  }
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(Tree(outside.path()), (std::set<std::string>{"kept"}));
}

TEST(Fixtures, RunProgramPassesFolderEnvironmentInputAndFileSizeLimit) {
  TempDir dir;
  RunOptions options = InFolder(dir.path(), {"TUVO_A=1", "HOME=/replaced"});
  options.input = "line 1\nline 2\n";
  options.max_file_size = 1000;
  RunResult r = RunProgram({"/bin/sh", "-c",
                            "pwd; echo \"$TUVO_A $HOME\"; cat; echo err >&2;"
                            "head -c 2000 /dev/zero > big 2>/dev/null; echo $?; exit 3"},
                           options);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, dir.path() + "\n1 /replaced\nline 1\nline 2\n1\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(ReadFile(dir / "big").size(), 1000u);
  EXPECT_GT(r.max_rss_kib, 0);
}

TEST(Fixtures, RunProgramStopsACommandThatHangs) {
  RunOptions options;
  options.timeout_seconds = 0.3;
  auto start = std::chrono::steady_clock::now();
  RunResult r = RunProgram({"/bin/sh", "-c", "echo started; sleep 30 & sleep 30"}, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "started\n");
}

}  // namespace
