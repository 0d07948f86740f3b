// Every kernel path end to end: the real packer, with its own choice and
// under each value of TUVOLINK_ISA (above what this machine runs, it falls
// back to the best it has), makes the per-byte model's bytes, and the stub
// extracts them exactly on each path.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "format/kernels.h"
#include "test_util.h"

namespace {

// A few MiB that the vector kernels find awkward: runs of every length
// around their windows and the longest run code, of the crunch byte too;
// literals dense with short runs; noise; zeros for the stub's writer.
PackedFiles AwkwardFiles() {
  const std::vector<size_t> lengths = {1,   2,   3,   4,   5,   15,  16,  17,  31,  32,
                                       33,  63,  64,  65,  66,  127, 128, 129, 254, 255,
                                       256, 257, 258, 509, 510, 511, 512, 765, 766, 1000};
  Bytes all_values(256);
  std::iota(all_values.begin(), all_values.end(), uint8_t{0});
  // Runs of random length and value among 300-byte stretches of noise.
  std::mt19937 random(42);
  Bytes mixed;
  while (mixed.size() < (size_t{2} << 20)) {
    if (random() % 4 == 0) {
      mixed.insert(mixed.end(), random() % 2000, static_cast<uint8_t>(random()));
    } else {
      for (int i = 0; i < 300; ++i) mixed.push_back(static_cast<uint8_t>(random()));
    }
  }
  return {
      {"program", NativeStub()},
      // Every value occurs in runs, so the least frequent one does too.
      {"runs of any value", RandomRuns(size_t{1} << 20, lengths, 256, 1)},
      // The crunch byte occurs nowhere.
      {"runs of four values", RandomRuns(size_t{1} << 20, lengths, 4, 2)},
      {"two values", RandomBytes(size_t{1} << 19, 3, 2)},
      {"noise", RandomBytes(size_t{1} << 19, 4)},
      {"mixed", mixed},
      {"zeros", Bytes((size_t{1} << 20) + 17, 0)},
      {"empty", {}},
      {"one byte", {7}},
      {"all values", all_values},
  };
}

TEST(KernelPaths, EveryPathPacksTheModelsBytesAndExtractsExactly) {
  TempDir dir;
  const PackedFiles files = AwkwardFiles();
  const Bytes model = ModelPackage(NativeStub(), files);
  std::vector<std::string> choices = {"own"};
  for (int isa = 0; isa < IsaCount; ++isa) choices.push_back(IsaName(static_cast<Isa>(isa)));
  for (const std::string& isa : choices) {
    SCOPED_TRACE(isa);
    std::vector<std::string> env;
    if (isa != "own") env.push_back("TUVOLINK_ISA=" + isa);
    std::string package = dir / ("pkg-" + isa);
    RunResult packed = PackFiles(dir.path(), package, files, env);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.out, ModelConsole(files));
    EXPECT_TRUE(ReadFile(package) == model) << "the package differs from the model's";

    RunResult checked = RunProgram({package, "--tuvo-check"}, InFolder(dir.path(), env));
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "OK (sealed)\n");
    std::string out = dir / ("out-" + isa);
    RunResult extracted = RunProgram({package, "--tuvo-extract", out}, InFolder(dir.path(), env));
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(Tree(out).size(), files.size());
    for (const PackedFile& file : files) {
      EXPECT_TRUE(ReadFile(out + "/" + file.name) == file.data) << file.name;
    }
  }
}

}  // namespace
