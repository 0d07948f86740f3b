// The one set of fixtures of the tests: temporary folders, whole-file I/O,
// running the real binaries, and building and decoding packages, by hand or
// through the real packer, with the per-byte model of reference_coder.h.
#ifndef TUVOLINK_TESTS_TEST_UTIL_H_
#define TUVOLINK_TESTS_TEST_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "format/package_reader.h"

using Bytes = std::vector<uint8_t>;

// A fresh folder, removed with all its contents (read-only folders and files
// included, symbolic links not followed) when the object goes. The default
// parent is $TMPDIR or /tmp.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::string& parent);
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

// The entries of folder `path`, sorted; none when it cannot be read.
std::vector<std::string> FolderNames(const std::string& path);

// A folder in memory (/dev/shm) where there is one, else the default parent:
// reading the holes of a large sparse file there costs no disk or page cache.
std::string MemoryFolder();

// Removes `path` and, for a folder, everything below it; links are removed,
// not followed. Missing paths are ignored.
void RemoveTree(const std::string& path);

// Whole-file I/O; failures throw std::runtime_error, which fails the test.
void WriteFile(const std::string& path, const Bytes& data, mode_t mode = 0644);
void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644);
Bytes ReadFile(const std::string& path);
std::string ReadText(const std::string& path);
// Makes a sparse file of `size` bytes (zeros), replacing any old one.
void MakeSparseFile(const std::string& path, uint64_t size);
// Makes the folder `path` and its missing parents.
void MakeDirs(const std::string& path);
bool FileExists(const std::string& path);
// Permission bits of `path` (links not followed), 0 when it does not exist.
mode_t ModeOf(const std::string& path);
// Everything below `root`, as relative paths; folders end in '/'.
std::set<std::string> Tree(const std::string& root);

Bytes ToBytes(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);
// The lines of `text`, without their '\n'.
std::vector<std::string> Lines(const std::string& text);
// `size` pseudo-random bytes below `alphabet`, the same for the same seed.
Bytes RandomBytes(size_t size, uint32_t seed, unsigned alphabet = 256);
// Runs of lengths drawn from `lengths`, of values 0 to values - 1.
Bytes RandomRuns(size_t size, const std::vector<size_t>& lengths, unsigned values, uint32_t seed);

// How to run a command.
struct RunOptions {
  std::string cwd = "/";         // the working folder
  std::vector<std::string> env;  // NAME=value entries added to this environment
  std::string input;             // standard input
  uint64_t max_file_size = 0;    // when not 0, writes beyond fail with EFBIG
  double timeout_seconds = 300;  // then its process group is killed; 0: none
};

// The outcome of running a command.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  int signal = 0;   // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
  // Peak resident memory of the process. On Linux it includes what this
  // process held when it forked, so tests that check it allocate little.
  long max_rss_kib = 0;
  bool timed_out = false;
};

// A command started in a process group of its own, with no signal blocked and
// SIGINT, SIGTERM, SIGPIPE and SIGXFSZ at their default action; its output
// goes to files and is collected by Wait, so it never blocks on a full pipe.
class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  // Starts argv[0] (a path) with the arguments argv[1...].
  void Start(const std::vector<std::string>& argv, const RunOptions& options);
  // Sends `signal_number` to the process (not its group).
  void Kill(int signal_number) const;
  // Waits for the end or the timeout, and returns the outcome.
  RunResult Wait();
  pid_t pid() const { return pid_; }

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
  double timeout_seconds_ = 0;
};

// Options to run in folder `cwd` with `env` (NAME=value) added.
RunOptions InFolder(const std::string& cwd, const std::vector<std::string>& env = {});

// Runs argv[0] (a path) with the arguments argv[1...] and waits for it.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options);
// Runs argv[0] with the given arguments in folder `cwd`, standard input
// empty, and collects its output. A non-zero `max_file_size` limits the size
// of the files the command may write (writes beyond fail with EFBIG).
RunResult RunCommand(const std::vector<std::string>& argv, const std::string& cwd,
                     uint64_t max_file_size = 0);

// The packer's banner and its usage text, as it prints them.
inline const std::string Banner =
    "\nTuvo V1.0\nSelf-extracting packages from a program and its data files\n\n";
inline const std::string Usage =
    "USAGE: tuvolink OutFile file1 file2 file3 ...\n"
    "       tuvolink OutFile filelist.txt\n"
    "       the first file in the list MUST be the executable\n\n";

// One file of a package.
struct PackedFile {
  std::string name;
  Bytes data;
};
using PackedFiles = std::vector<PackedFile>;

// The bytes of the native stub tuvo.exe that the build made, read once.
const Bytes& NativeStub();
// The record of `data` named `name`, coded by the per-byte model with
// `crunch`, or with the file's own crunch byte when none is given.
Bytes RecordOf(const std::string& name, const Bytes& data);
Bytes RecordOf(const std::string& name, const Bytes& data, uint8_t crunch);
Bytes RecordOf(const std::string& name, const std::string& text);
// The trailer: the list terminator and the start offset.
Bytes TrailerOf(uint32_t start);
// `stub`, then `records` as given, then the trailer naming `start` (by
// default the stub's length).
Bytes PackageOf(const Bytes& stub, const Bytes& records);
Bytes PackageOf(const Bytes& stub, const Bytes& records, uint32_t start);
// The package and the console text that the format gives for `files`, named
// in this order (the program first): their records in reverse order, and
// the stub's seal slot, if it has one, filled as the packer fills it.
Bytes ModelPackage(const Bytes& stub, const PackedFiles& files);
std::string ModelConsole(const PackedFiles& files);

// Runs the real packer: tuvolink args...
RunResult RunPacker(const std::vector<std::string>& args, const RunOptions& options);
// Writes `files` below `dir` (making their folders) and packs them, in this
// order, into dir/target with the real packer run in `dir`.
RunResult PackFiles(const std::string& dir, const std::string& target, const PackedFiles& files,
                    const std::vector<std::string>& env = {});

// A package or any bytes held in memory, for the format reader.
class MemorySource : public PackageSource {
 public:
  explicit MemorySource(Bytes data) : data_(std::move(data)) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override;
  uint64_t size() const { return data_.size(); }

 private:
  Bytes data_;
};

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
