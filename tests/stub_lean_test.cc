// The stub's extraction path for many files: records share the writer's
// buffers, with the writer thread (16 MiB or more to write) and without it.
// Every byte must land in its own file, and a failure must leave nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

struct Corpus {
  std::vector<std::pair<std::string, std::string>> files;  // the first is the program
};

// Small files of every length around the sizes that matter to the writer
// (empty, shorter than a script's head, near a block), in a few folders,
// and, with `large`, a file of zeros big enough for the writer thread.
Corpus MakeCorpus(bool large) {
  std::mt19937 random(11);
  Corpus corpus;
  corpus.files.push_back({"prog", "#!/bin/sh\n"});
  for (int i = 0; i < 600; ++i) {
    size_t size = i < 12 ? static_cast<size_t>(i) : random() % (i % 50 == 0 ? 300000 : 9000);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random() % 7 == 0 ? 0 : random() % 256);
    corpus.files.push_back({"d" + std::to_string(i % 7) + "/f" + std::to_string(i), data});
  }
  if (large) corpus.files.push_back({"zeros", std::string(17u << 20, '\0')});
  return corpus;
}

std::string Pack(const TempDir& dir, const Corpus& corpus) {
  std::string list;
  for (int i = 0; i < 7; ++i) mkdir((dir / ("d" + std::to_string(i))).c_str(), 0755);
  for (const auto& file : corpus.files) {
    WriteFile(dir / file.first, file.second);
    list += file.first + "\n";
  }
  WriteFile(dir / "files.lst", list);
  RunResult packed = RunCommand({TUVOLINK_BIN, dir / "pkg", "files.lst"}, dir.path());
  EXPECT_EQ(packed.status, 0) << packed.err;
  return dir / "pkg";
}

TEST(StubLean, WritesEveryFileOfABatchExactly) {
  for (bool large : {false, true}) {
    TempDir dir;
    Corpus corpus = MakeCorpus(large);
    std::string package = Pack(dir, corpus);
    RunResult r = RunCommand({package, "--tuvo-extract", dir / "out"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& file : corpus.files) {
      Bytes got = ReadFile(dir / ("out/" + file.first));
      EXPECT_TRUE(got == ToBytes(file.second)) << file.first << " with large=" << large;
    }
  }
}

// A file that cannot be written while the writer thread holds the data of
// many others: the run fails and takes back everything it wrote.
TEST(StubLean, TakesBackABatchWhenAWriteFails) {
  for (bool large : {false, true}) {
    TempDir dir;
    std::string package = Pack(dir, MakeCorpus(large));
    mkdir((dir / "out").c_str(), 0755);
    WriteFile(dir / "out/mine", "kept");
    RunResult r = RunCommand({package, "--tuvo-extract", dir / "out"}, dir.path(), 200000);
    EXPECT_EQ(r.status, 125) << "large=" << large;
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "out/mine"), ToBytes("kept"));
    RunResult ls = RunCommand({"/bin/ls", "-A", dir / "out"}, "/");
    EXPECT_EQ(ls.out, "mine\n") << "large=" << large;
  }
}

}  // namespace
