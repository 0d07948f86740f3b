// A file over 4 GiB: 64-bit sizes and offsets throughout, and memory that
// stays bounded whatever the input's size.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "format/package_reader.h"
#include "test_util.h"

namespace {

constexpr uint64_t Size = (uint64_t{4} << 30) + 123457;

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

// Checks the decoded data on the fly: "HEAD" first, "TAIL" last, zeros between.
class CheckingSink : public DecodeSink {
 public:
  bool Put(const uint8_t* data, size_t size) override {
    static const uint8_t zeros[1 << 16] = {};
    for (size_t i = 0; i < size;) {
      bool edge = offset_ < 4 || offset_ >= Size - 4;
      size_t n = edge ? 1 : std::min<uint64_t>({size - i, sizeof zeros, Size - 4 - offset_});
      bool same = edge ? data[i] == Expected(offset_) : std::memcmp(data + i, zeros, n) == 0;
      if (!same && mismatches_++ == 0) first_mismatch_ = offset_;
      i += n;
      offset_ += n;
    }
    return true;
  }
  static uint8_t Expected(uint64_t offset) {
    if (offset < 4) return static_cast<uint8_t>("HEAD"[offset]);
    if (offset >= Size - 4) return static_cast<uint8_t>("TAIL"[offset - (Size - 4)]);
    return 0;
  }
  uint64_t mismatches_ = 0;
  uint64_t first_mismatch_ = 0;

 private:
  uint64_t offset_ = 0;
};

TEST(LargeFile, PacksOver4GiBExactlyInBoundedMemory) {
  TempDir dir;
  WriteFile(dir / "tuvo.exe", std::string("STUB"));
  int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "HEAD", 4, 0), 4);
  ASSERT_EQ(pwrite(fd, "TAIL", 4, static_cast<off_t>(Size - 4)), 4);
  close(fd);

  WriteFile(dir / "list.txt", std::string("big\n"));
  RunResult r = RunCommand({TUVOLINK_BIN, "out.exe", "list.txt"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(r.max_rss_kib, 64 * 1024) << "peak RSS in KiB";
  unlink((dir / "big").c_str());

  FileSource source(dir / "out.exe");
  PackageReader reader;
  ErrorLine err;
  ASSERT_TRUE(reader.Open(&source, source.size(), &err)) << err.text;
  EXPECT_EQ(reader.start(), 4u);
  CheckingSink sink;
  RecordInfo info;
  ASSERT_EQ(reader.Next(&info, &sink, &err), PackageReader::Record) << err.text;
  EXPECT_STREQ(info.name, "big");
  EXPECT_EQ(info.crunch, 1);  // the lowest value absent from the file
  EXPECT_EQ(info.decoded_size, Size);
  EXPECT_EQ(sink.mismatches_, 0u) << "first at " << sink.first_mismatch_;
  EXPECT_EQ(reader.Next(&info, nullptr, &err), PackageReader::End) << err.text;
}

}  // namespace
