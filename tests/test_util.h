// Helpers shared by the tests: temporary folders, whole-file I/O, running the
// real binaries, and a package decoder over the format reader.
#ifndef TUVOLINK_TESTS_TEST_UTIL_H_
#define TUVOLINK_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& text);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);
Bytes ToBytes(const std::string& text);

// The outcome of running a command.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  long max_rss_kib = 0;  // peak resident memory of the process
};

// Runs argv[0] with the given arguments in folder `cwd`, standard input
// empty, and collects its output. A non-zero `max_file_size` limits the size
// of the files the command may write (writes beyond fail with EFBIG).
RunResult RunCommand(const std::vector<std::string>& argv, const std::string& cwd,
                     uint64_t max_file_size = 0);

// One decoded record of a package.
struct Entry {
  std::string name;
  uint8_t crunch;
  Bytes data;
};

// Decodes every record of `package` with the format reader. Returns false and
// sets *err when the reader rejects it.
bool DecodePackage(const Bytes& package, std::vector<Entry>* entries, std::string* err);

#endif  // TUVOLINK_TESTS_TEST_UTIL_H_
