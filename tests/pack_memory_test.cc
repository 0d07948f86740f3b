// The packer's peak memory on the inputs that make its workers hold the most
// at once: files of the largest size held whole, and a large file in pieces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "pack_stages.h"
#include "test_util.h"

namespace {

TEST(PackMemory, PeakStaysUnder64MiBWithEveryWorkerHoldingAFile) {
  // GNU time reports the packer's own peak; a child of this test process
  // would be charged with the test's memory as well.
  if (access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "/usr/bin/time is needed";
  TempDir dir;
  std::mt19937 rng(3);
  std::vector<std::string> argv = {"/usr/bin/time", "-f",         "%M",     "-o",
                                   dir / "rss.txt", TUVOLINK_BIN, "out.exe"};
  for (int i = 0; i < 7; ++i) {
    Bytes data(i == 3 ? 3 * HoldLimit : HoldLimit);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    WriteFile(dir / std::to_string(i), data);
    argv.push_back(std::to_string(i));
  }
  RunResult run = RunCommand(argv, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::ifstream rss(dir / "rss.txt");
  long peak_kib = 0;
  ASSERT_TRUE(rss >> peak_kib);
  EXPECT_GT(peak_kib, 0);
  EXPECT_LT(peak_kib, 64 * 1024) << "peak RSS of the packer in KiB";
}

}  // namespace
