// The few operating system services the packer needs beyond standard C++:
// reading input files in large blocks, writing the target through a temporary
// file that replaces it only when complete, and finding the packer's own folder.
// platform_posix.cc and platform_win32.cc implement it.
#ifndef TUVOLINK_PLATFORM_H_
#define TUVOLINK_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// A regular file opened for reading. Every failure message names the file.
class InputFile {
 public:
  // Size of the blocks in which files are read.
  static constexpr size_t BlockSize = size_t{1} << 20;

  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { Close(); }

  // Opens `name`, which must be a regular file. Returns false and sets *err
  // otherwise (missing, no permission, a folder or a device).
  bool Open(const char* name, std::string* err);
  // Tells, as Open would and with its messages, whether `name` is a regular
  // file that can be opened for reading, and sets *size to its size; without
  // opening it where the system allows (POSIX: stat and access).
  static bool Check(const char* name, uint64_t* size, std::string* err);
  // Check, with what a LookAt of `name` found a moment before in place of a
  // look of its own.
  static bool Check(const char* name, const struct PathLook& look, uint64_t* size,
                    std::string* err);
  // Reads until `size` bytes are in `buffer` or the file ends; *got is the
  // number read, 0 at the end of the file.
  bool Read(void* buffer, size_t size, size_t* got, std::string* err);
  // One read request of at most `size` bytes (retried only when
  // interrupted); *got is the number read, 0 at the end of the file. A short
  // read is usually, but not always, the end of the file.
  bool ReadSome(void* buffer, size_t size, size_t* got, std::string* err);
  // Reads like Read, but from byte `offset` on; several threads may call it
  // at once. Where Read goes on afterwards is unspecified: Rewind first.
  bool ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got, std::string* err);
  // Goes back to the first byte for another pass.
  bool Rewind(std::string* err);
  // The file's size when it was opened.
  uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  void Close();

 private:
  intptr_t handle_ = -1;
  uint64_t size_ = 0;
  std::string name_;
};

// Sees the bytes written to a TempOutput, in order, once they are written.
class WriteTap {
 public:
  virtual ~WriteTap() = default;
  virtual void Wrote(const void* data, size_t size) = 0;
};

// The output under construction: a new file in the target's folder that
// replaces the target by a rename once it is complete. Until Commit succeeds
// the target is untouched, and the temporary is removed on Discard, on
// destruction and when a signal ends the process (see PrepareSignals).
class TempOutput {
 public:
  TempOutput() = default;
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  ~TempOutput() { Discard(); }

  // Creates the temporary for `target`. Messages name the target.
  bool Create(const std::string& target, std::string* err);
  // Writes all of data[0, size).
  bool Write(const void* data, size_t size, std::string* err);
  // From now on Write hands every byte it writes to `tap` as well (null: to
  // none); the packer hashes what follows the stub this way.
  void set_tap(WriteTap* tap) { tap_ = tap; }
  // Writes data[0, size) at `offset`, over bytes written before, and tells
  // no tap. For the last write before Commit: a Write after it may land
  // anywhere (Windows moves the file position, POSIX does not).
  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string* err);
  // Closes the temporary, gives it the mode of a new program (all permissions
  // less the umask) and renames it over the target.
  bool Commit(std::string* err);
  // Removes the temporary if it still exists.
  void Discard();
  const std::string& temp_path() const { return temp_path_; }
  // Bytes written since Create.
  uint64_t size() const { return size_; }

 private:
  intptr_t handle_ = -1;
  WriteTap* tap_ = nullptr;
  uint64_t size_ = 0;
  std::string target_;
  std::string temp_path_;
};

// Memory for the packer's large working buffers (a file held whole, the
// output on its way to the target). Where the system offers huge pages on
// request (Linux), each whole 2 MiB of the buffer is backed by one, so that
// filling it costs one page fault instead of 512: in a virtual machine a
// fault costs microseconds. Throws std::bad_alloc.
uint8_t* AllocateBuffer(size_t size);
void FreeBuffer(uint8_t* buffer);
struct BufferFree {
  void operator()(uint8_t* buffer) const { FreeBuffer(buffer); }
};
using BufferPtr = std::unique_ptr<uint8_t[], BufferFree>;
inline BufferPtr NewBuffer(size_t size) { return BufferPtr(AllocateBuffer(size)); }

// Sets up, once, what a signal does to the packer: every catchable signal
// that ends a process, unless it was ignored at start, first removes the
// temporary of the TempOutput under construction (Ctrl-C on Windows); a
// write beyond the file size limit fails instead of ending the process.
// Call it before anything is written; TempOutput::Create calls it too.
void PrepareSignals();

// Folder of the running executable, without a trailing separator; empty if
// it cannot be found.
std::string ExecutableDir();

// The number of processors this process may run on (its affinity), at least 1.
unsigned UsableProcessors();

// While it lives, keeps the calling thread on the processor it runs on now,
// where the system allows (Linux); then lets it run wherever it could
// before. For a serial run beside other busy programs: moved between the
// processors they keep busy, it lost its caches at each move.
class ProcessorStay {
 public:
  ProcessorStay();
  ~ProcessorStay();
  ProcessorStay(const ProcessorStay&) = delete;
  ProcessorStay& operator=(const ProcessorStay&) = delete;

 private:
  std::unique_ptr<struct ProcessorSet> before_;  // null: nothing to give back
};

// How busy the machine is: the number of other threads running or waiting
// to run now (on Linux; elsewhere the last minute's load average), 0 where
// the system does not tell.
double MachineLoad();

// True if `path` names an existing regular file (links followed).
bool IsRegularFile(const std::string& path);

// True if `path` names an existing folder (links followed).
bool IsFolder(const std::string& path);

// What one look at a path found, links followed: enough for IsFolder and for
// InputFile::Check, so that the checks before packing need not look again.
struct PathLook {
  bool found = false;  // false: the look failed, for `error`
  int error = 0;       // the system's error code
  bool folder = false;
  bool regular = false;
  unsigned mode = 0;  // the system's file type and mode bits (POSIX)
  uint64_t size = 0;
  uint64_t uid = ~uint64_t{0};  // the owner (POSIX)
};
PathLook LookAt(const std::string& path);

// An entry of a folder, as ReadFolder finds it.
struct FolderEntry {
  enum Kind {
    File,          // a regular file
    Folder,        // a folder
    LinkToFile,    // a symbolic link that leads to a regular file
    LinkToFolder,  // a symbolic link that leads to a folder
    LinkToOther,   // a symbolic link that leads to anything else, or nowhere
    Other,         // a device, a socket, a FIFO...
  };
  std::string name;  // the entry's own name, without the folder
  Kind kind;
};

// The entries of folder `path`, "." and ".." left out, in no set order.
// Returns false and sets *err (naming the folder) when it cannot be read.
bool ReadFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* err);

// main's arguments as UTF-8: as they are on POSIX; on Windows from the
// wide command line, whatever the code page.
std::vector<std::string> Utf8Arguments(int argc, char* argv[]);

// True if the stream is a terminal, where a progress display may be drawn.
bool IsTerminal(std::FILE* stream);

#endif  // TUVOLINK_PLATFORM_H_
