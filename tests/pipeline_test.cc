// The packer end to end: packages of inputs of awkward sizes, built by the
// real binary on its threads, must equal byte for byte what the per-byte model
// builds, with the same progress lines; and packing a large input stays
// within its memory bound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "reference_coder.h"
#include "seal_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Folder {
 public:
  Folder() {
    char templ[] = "/tmp/tuvolink-pipeline-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~Folder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The package and console text that the format rules give for `names` (in
// naming order) with contents `contents`.
void Expected(const Bytes& stub, const std::vector<std::string>& names,
              const std::vector<Bytes>& contents, Bytes* package, std::string* text) {
  *package = stub;
  *text =
      "\nTuvo V1.0\nSelf-extracting packages from a program and its data files\n\n"
      "Linking...\nAdding Executable...\n";
  for (size_t i = names.size(); i-- > 0;) {
    const Bytes& data = contents[i];
    uint8_t crunch = reference::CrunchByte(data.data(), data.size());
    *text += "Processing " + names[i] + "...\n  CrunchByte: " + std::to_string(crunch) +
             "\n  Compressing...\n";
    package->insert(package->end(), names[i].begin(), names[i].end());
    package->push_back(0);
    package->push_back(crunch);
    Bytes coded = reference::Encode(data, crunch);
    package->insert(package->end(), coded.begin(), coded.end());
  }
  *text += "Terminating Target...\n";
  uint32_t start = static_cast<uint32_t>(stub.size());
  package->push_back(0);
  for (int k = 0; k < 4; ++k) package->push_back(static_cast<uint8_t>(start >> (8 * k)));
}

// Runs the packer in `dir`, under `wrapper` (a command prefix) if not empty.
int RunPacker(const Folder& dir, const std::vector<std::string>& names, std::string* text,
              const std::string& wrapper = "") {
  std::string command = "cd '" + dir.path() + "' && " + wrapper + " '" TUVOLINK_BIN "' out.exe";
  for (const std::string& name : names) command += " '" + name + "'";
  command += " > console.txt";
  int status = std::system(command.c_str());
  std::ifstream in(dir / "console.txt");
  text->assign(std::istreambuf_iterator<char>(in), {});
  return status;
}

TEST(Pipeline, PackageEqualsThePerByteModel) {
  Folder dir;
  std::mt19937 rng(7);
  std::vector<std::string> names;
  std::vector<Bytes> contents;
  auto add = [&](const std::string& name, Bytes data) {
    WriteAll(dir / name, data);
    names.push_back(name);
    contents.push_back(std::move(data));
  };
  add("empty", {});
  add("one", {42});
  Bytes runs;
  while (runs.size() < (3u << 20))
    runs.insert(runs.end(), 1 + rng() % 600, static_cast<uint8_t>(rng() % 3));
  add("runs", runs);
  // Around the size up to which a file is read once, and the block size.
  for (size_t size : {size_t{1} << 20, (size_t{1} << 20) + 1, size_t{16} << 20,
                      (size_t{16} << 20) + 1, size_t{21} << 20}) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i % 251 < 200 ? rng() : 0);
    add("block" + std::to_string(size), data);
  }
  for (int i = 0; i < 40; ++i)
    add("small" + std::to_string(i), Bytes(static_cast<size_t>(i * 37), static_cast<uint8_t>(i)));
  add("program", ReadAll("/proc/self/exe"));

  Bytes package;
  std::string text, expected_text;
  Expected(ReadAll(TUVO_STUB_BIN), names, contents, &package, &expected_text);
  SealLikeThePacker(&package, ReadAll(TUVO_STUB_BIN).size());
  ASSERT_EQ(RunPacker(dir, names, &text), 0);
  EXPECT_EQ(text, expected_text);
  Bytes written = ReadAll(dir / "out.exe");
  ASSERT_EQ(written.size(), package.size());
  EXPECT_TRUE(written == package);
}

// Large files follow each other, so that the coder, idle between them,
// counts part of each first pass: a block lost or counted twice would change
// the crunch byte of these near-uniform histograms.
TEST(Pipeline, LargeFilesCountedOnBothThreadsMatchTheModel) {
  Folder dir;
  std::mt19937_64 rng(11);
  std::vector<std::string> names;
  std::vector<Bytes> contents;
  for (int i = 0; i < 4; ++i) {
    Bytes data((size_t{17} << 20) + static_cast<size_t>(i) * 4099);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::string name = "large" + std::to_string(i);
    WriteAll(dir / name, data);
    names.push_back(name);
    contents.push_back(std::move(data));
  }
  Bytes package;
  std::string text, expected_text;
  Expected(ReadAll(TUVO_STUB_BIN), names, contents, &package, &expected_text);
  SealLikeThePacker(&package, ReadAll(TUVO_STUB_BIN).size());
  ASSERT_EQ(RunPacker(dir, names, &text), 0);
  EXPECT_EQ(text, expected_text);
  EXPECT_TRUE(ReadAll(dir / "out.exe") == package);
}

TEST(Pipeline, PeakMemoryStaysBoundedForALargeInput) {
  Folder dir;
  // A sparse file: large on paper, cheap to read.
  const off_t size = off_t{1} << 30;
  {
    std::FILE* f = std::fopen((dir / "big").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), size), 0);
    std::fclose(f);
  }
  WriteAll(dir / "tiny", {'x'});  // two names, so that the command takes no list file
  // GNU time reports the packer's own peak; a child of this test process
  // would be charged with the test's memory as well.
  if (access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "/usr/bin/time is needed";
  std::string text;
  ASSERT_EQ(RunPacker(dir, {"big", "tiny"}, &text, "/usr/bin/time -f %M -o rss.txt"), 0);
  std::ifstream rss(dir / "rss.txt");
  long peak_kib = 0;
  ASSERT_TRUE(rss >> peak_kib);
  EXPECT_GT(peak_kib, 0);
  EXPECT_LT(peak_kib, 64 * 1024) << "peak RSS of the packer in KiB";
  // 1 GiB of zeros: 4210752 full run codes and a last one of 64 bytes.
  Bytes package = ReadAll(dir / "out.exe");
  size_t stub = ReadAll(TUVO_STUB_BIN).size();
  // The records of tiny and of big, then the trailer.
  EXPECT_EQ(package.size(), stub + (5 + 1 + 1 + 2) + (4 + 1 + 3 * 4210753 + 2) + 5);
}

}  // namespace
