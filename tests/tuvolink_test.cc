// The packer: end-to-end runs of the real tuvolink binary in temporary
// folders (console text, exact target bytes against golden bytes and the
// per-byte model, inputs over 4 GiB, every failure leaving nothing behind),
// and its input file's positioned reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "format/package_reader.h"
#include "platform.h"
#include "test_util.h"

namespace {

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
  Bytes expected = Concat(
      {ws.stub, {'b', 0, 2, 0, 0, 1, 2, 0}, {'a', 0, 0, 0, 4, 0x41, 0x42, 0, 0}, TrailerOf(1000)});
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
  EXPECT_EQ(ws.Read("one.exe"), Concat({ws.stub, {'a', 0, 0, 0, 0}, TrailerOf(1000)}));

  WriteFile(ws.dir / "empty.txt", std::string("\r\na\r\n"));
  RunResult none = ws.Tuvolink({"none.exe", "empty.txt"});
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, Banner + "Linking...\nAdding Executable...\nTerminating Target...\n");
  EXPECT_EQ(ws.Read("none.exe"), Concat({ws.stub, TrailerOf(1000)}));
}

TEST(Tuvolink, ReplacesAnExistingTargetAndMayPackIt) {
  Workspace ws;
  WriteFile(ws.dir / "x", Bytes{5});
  WriteFile(ws.dir / "out.exe", Bytes{9, 9, 9, 9, 9, 9});
  // OutFile names an input: the package holds the input's old contents.
  RunResult r = ws.Tuvolink({"out.exe", "x", "out.exe"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ws.Read("out.exe"), Concat({ws.stub,
                                        {'o', 'u', 't', '.', 'e', 'x', 'e', 0, 0, 0, 6, 9, 0, 0},
                                        {'x', 0, 0, 5, 0, 0},
                                        TrailerOf(1000)}));
  // The stub itself as OutFile: the package starts with the old stub.
  RunResult s = ws.Tuvolink({"tuvo.exe", "x", "x"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(ws.Read("tuvo.exe"),
            Concat({ws.stub, {'x', 0, 0, 5, 0, 0}, {'x', 0, 0, 5, 0, 0}, TrailerOf(1000)}));
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
  // Inputs enough to be checked on several threads: the failure reported is
  // the first in list order (the last named).
  std::vector<std::string> many(600, "good");
  many[100] = "gone1";
  many[550] = "gone2";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"first of many failures", many,
       "tuvolink: cannot open 'gone2': No such file or directory\n"},
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
            Concat({ToBytes("BESIDE"), {'a', 0, 0, 1, 0, 0}, {'a', 0, 0, 1, 0, 0}, TrailerOf(6)}));

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
  MakeSparseFile(ws.dir / "big", uint64_t{8} << 30);
  WriteFile(ws.dir / "out.exe", std::string("old contents"));
  for (int sig : {SIGINT, SIGTERM}) {
    Process packer;
    packer.Start({TUVOLINK_BIN, "out.exe", "big", "big"}, InFolder(ws.dir.path()));
    // Wait until the temporary exists, then interrupt.
    for (int i = 0; i < 200 && ws.NoTemporaries(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(ws.NoTemporaries()) << "no temporary appeared";
    packer.Kill(sig);
    EXPECT_EQ(packer.Wait().signal, sig) << "ended by the signal " << sig;
    EXPECT_TRUE(ws.NoTemporaries()) << "signal " << sig;
    EXPECT_EQ(ws.Read("out.exe"), ToBytes("old contents"));
  }
}

TEST(InputFile, ReadAtReadsFromTheOffsetWhateverTheOtherReads) {
  TempDir dir;
  const Bytes data = RandomBytes(300000, 3);
  WriteFile(dir / "f", data);
  InputFile file;
  std::string err;
  ASSERT_TRUE(file.Open((dir / "f").c_str(), &err)) << err;
  Bytes buffer(100000);
  size_t got = 0;
  ASSERT_TRUE(file.ReadAt(250000, buffer.data(), buffer.size(), &got, &err)) << err;
  ASSERT_EQ(got, 50000u);  // short at the end of the file
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50000, data.begin() + 250000));
  ASSERT_TRUE(file.ReadAt(300000, buffer.data(), buffer.size(), &got, &err)) << err;
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(file.ReadAt(1000, buffer.data(), 10, &got, &err)) << err;
  ASSERT_EQ(got, 10u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.begin() + 1000));
  // Rewind and Read start over from the first byte.
  ASSERT_TRUE(file.Rewind(&err)) << err;
  ASSERT_TRUE(file.Read(buffer.data(), 10, &got, &err)) << err;
  ASSERT_EQ(got, 10u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, data.begin()));
}

// Inputs of awkward sizes around the block size (1 MiB) and the size up to
// which a file is read once (16 MiB), packed on the packer's threads, give
// the model's bytes and progress lines. The large files follow each other,
// so that the coder, idle between them, counts part of each first pass: a
// block lost or counted twice would change the crunch byte of their
// near-uniform histograms.
TEST(Pipeline, PackageEqualsThePerByteModel) {
  TempDir dir;
  std::mt19937_64 rng(7);
  auto uniform = [&rng](size_t size) {
    Bytes data(size + 8);
    for (size_t i = 0; i < size; i += 8) {
      uint64_t word = rng();
      std::memcpy(&data[i], &word, 8);
    }
    data.resize(size);
    return data;
  };
  // 51 bytes of every 251 are zeros.
  auto patterned = [&uniform](size_t size) {
    Bytes data = uniform(size);
    for (size_t i = 200; i < size; i += 251) {
      std::fill_n(data.begin() + static_cast<long>(i), std::min<size_t>(51, size - i), 0);
    }
    return data;
  };
  PackedFiles files = {{"empty", {}}, {"one", {42}}};
  Bytes runs;
  while (runs.size() < (3u << 20)) {
    runs.insert(runs.end(), 1 + rng() % 600, static_cast<uint8_t>(rng() % 3));
  }
  files.push_back({"runs", runs});
  const size_t MiB = size_t{1} << 20;
  for (size_t size : {MiB, MiB + 1, 16 * MiB, 16 * MiB + 1}) {
    files.push_back({"block" + std::to_string(size), patterned(size)});
  }
  for (size_t size : {17 * MiB + 4099, 21 * MiB}) {
    files.push_back({"large" + std::to_string(size), uniform(size)});
  }
  for (int i = 0; i < 40; ++i) {
    files.push_back(
        {"small" + std::to_string(i), Bytes(static_cast<size_t>(i * 37), static_cast<uint8_t>(i))});
  }
  files.push_back({"program", ReadFile("/proc/self/exe")});
  RunResult r = PackFiles(dir.path(), "out.exe", files);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ModelConsole(files));
  Bytes written = ReadFile(dir / "out.exe");
  Bytes model = ModelPackage(NativeStub(), files);
  ASSERT_EQ(written.size(), model.size());
  EXPECT_TRUE(written == model);
}

// A file over 4 GiB: "HEAD", 2^32 zeros, "TAIL", then bytes 0xFF. Sizes,
// offsets and counts must be 64-bit throughout (a 32-bit count of the zeros
// would be 0 and make 0 the crunch byte instead of 1), and the packer's
// memory stays bounded whatever the input's size.
constexpr uint64_t Zeros = uint64_t{1} << 32;
constexpr uint64_t FfCount = 123449;
constexpr uint64_t LargeSize = 4 + Zeros + 4 + FfCount;

uint8_t LargeByte(uint64_t offset) {
  if (offset < 4) return static_cast<uint8_t>("HEAD"[offset]);
  if (offset < 4 + Zeros) return 0;
  if (offset < 8 + Zeros) return static_cast<uint8_t>("TAIL"[offset - 4 - Zeros]);
  return 0xFF;
}

// A package read in place, without a copy in memory.
class FileSource : public PackageSource {
 public:
  explicit FileSource(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {}
  ~FileSource() override { close(fd_); }
  uint64_t size() const { return static_cast<uint64_t>(lseek(fd_, 0, SEEK_END)); }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    return pread(fd_, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  }

 private:
  int fd_;
};

// Checks the decoded data on the fly against LargeByte.
class CheckingSink : public DecodeSink {
 public:
  bool Put(const uint8_t* data, size_t size) override {
    static const uint8_t zeros[1 << 16] = {};
    for (size_t i = 0; i < size;) {
      bool in_zeros = offset_ >= 4 && offset_ < 4 + Zeros;
      size_t n = in_zeros ? std::min<uint64_t>({size - i, sizeof zeros, 4 + Zeros - offset_}) : 1;
      bool same = in_zeros ? std::memcmp(data + i, zeros, n) == 0 : data[i] == LargeByte(offset_);
      if (!same && mismatches_++ == 0) first_mismatch_ = offset_;
      i += n;
      offset_ += n;
    }
    return true;
  }
  uint64_t offset_ = 0;
  uint64_t mismatches_ = 0;
  uint64_t first_mismatch_ = 0;
};

TEST(LargeFile, PacksOver4GiBExactlyInBoundedMemory) {
  // The holes of a sparse file in memory cost neither disk nor page cache.
  TempDir dir(MemoryFolder());
  WriteFile(dir / "tuvo.exe", std::string("STUB"));
  MakeSparseFile(dir / "big", LargeSize);
  {
    int fd = open((dir / "big").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const Bytes ff(FfCount, 0xFF);
    ASSERT_EQ(pwrite(fd, "HEAD", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "TAIL", 4, static_cast<off_t>(4 + Zeros)), 4);
    ASSERT_EQ(pwrite(fd, ff.data(), ff.size(), static_cast<off_t>(8 + Zeros)),
              static_cast<ssize_t>(ff.size()));
    close(fd);
  }
  WriteFile(dir / "list.txt", std::string("big\n"));
  RunResult r = RunPacker({"out.exe", "list.txt"}, InFolder(dir.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(r.max_rss_kib, 64 * 1024) << "peak RSS in KiB";
  RemoveTree(dir / "big");

  FileSource package(dir / "out.exe");
  // The stub, the head of "big", the literals, the run codes of 255 zeros and
  // the last zero alone, the codes of the 0xFF bytes, the end marker, the
  // trailer.
  EXPECT_EQ(package.size(),
            4 + 5 + 8 + 3 * (Zeros / 255) + 1 + 3 * ((FfCount + 254) / 255) + 2 + 5);
  for (bool decode : {true, false}) {
    PackageReader reader;
    ErrorLine err;
    ASSERT_TRUE(reader.Open(&package, package.size(), &err)) << err.text;
    EXPECT_EQ(reader.start(), 4u);
    CheckingSink sink;
    RecordInfo info;
    ASSERT_EQ(reader.Next(&info, decode ? &sink : nullptr, &err), PackageReader::Record)
        << err.text;
    EXPECT_STREQ(info.name, "big");
    EXPECT_EQ(info.crunch, 1);  // the lowest value absent from the file
    EXPECT_EQ(info.decoded_size, LargeSize);
    if (decode) {
      EXPECT_EQ(sink.offset_, LargeSize);
      EXPECT_EQ(sink.mismatches_, 0u) << "first at " << sink.first_mismatch_;
    }
    EXPECT_EQ(reader.Next(&info, nullptr, &err), PackageReader::End) << err.text;
  }
}

}  // namespace
