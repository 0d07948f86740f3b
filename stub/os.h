// The operating system services the stub needs beyond reading its own image:
// folders and files to extract into, free space, running the program, and
// Ctrl-C. os_posix.cc and os_win32.cc implement it.
#ifndef TUVOLINK_STUB_OS_H_
#define TUVOLINK_STUB_OS_H_

#include <cstddef>
#include <cstdint>

#include "format/entry_path.h"
#include "format/error_line.h"
#include "format/layout.h"

// Paths inside the extraction folder are kept in the host's characters:
// UTF-16 on Windows (converted from the ANSI code page), bytes elsewhere.
#ifdef _WIN32
using PathChar = wchar_t;
constexpr NameRules HostRules = NameRules::Windows;
constexpr PathChar HostSeparator = L'\\';
#else
using PathChar = char;
constexpr NameRules HostRules = NameRules::Posix;
constexpr PathChar HostSeparator = '/';
#endif

// Prepares the process before anything else: on Windows, DLLs come from the
// system folder only and the arguments are read as UTF-8.
void InitProcess(int* argc, char*** argv);

// Writes text to standard output (1) or standard error (2).
void WriteText(int stream, const char* text);

// Converts a record's name to host characters into out[0, out_size);
// false if it does not convert (Windows: not valid in the ANSI code page).
bool ToPathChars(const char* name, PathChar* out, size_t out_size);

#ifdef _WIN32
// The full form of `path` with the "\\?\" prefix that lifts the MAX_PATH
// limit; malloc'd, null when memory runs out. Windows only.
wchar_t* NewLongPath(const wchar_t* path);
#endif

// A folder that files are extracted into.
class Folder {
 public:
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  // Creates a new folder with a random name, only for this user, in the
  // temporary folder ($TMPDIR or /tmp, %TEMP% on Windows).
  bool CreateTemp(ErrorLine* err);
  // Opens the folder `path`, creating it and its parents if missing.
  bool OpenOrCreate(const char* path, ErrorLine* err);
  // Removes the folder and all in it; links are removed, never followed.
  bool RemoveAll(ErrorLine* err);
  // Bytes that this user may still write on the folder's file system.
  bool FreeSpace(uint64_t* bytes, ErrorLine* err);
  // The folder's path, for messages.
  const char* display() const { return display_; }

 private:
  friend class EntryFile;
  friend int RunProgram(Folder*, const PathChar*, char**, int, ErrorLine*);
  char display_[4096] = {};
#ifdef _WIN32
  wchar_t* path_ = nullptr;  // "\\?\" form, so that long paths work
#else
  int fd_ = -1;
#endif
};

// One file being extracted: written to a temporary beside its place and
// renamed over it only when complete, so that a failure leaves nothing.
class EntryFile {
 public:
  EntryFile() = default;
  EntryFile(const EntryFile&) = delete;
  EntryFile& operator=(const EntryFile&) = delete;
  ~EntryFile() { Discard(); }

  // Creates the folders of `path` (relative, HostSeparator between
  // components) inside `folder`, refusing to pass a symbolic link or a
  // junction, then the temporary. `name` is the record's name for messages;
  // an executable entry is made runnable. `size` is the size the file will
  // have, reserved on the disk ahead of the writes where the system can.
  bool Create(Folder* folder, const PathChar* path, const char* name, bool executable,
              uint64_t size, ErrorLine* err);
  // Appends data; on failure error() says why. Stops when interrupted. On
  // POSIX, whole blocks of zeros are left as holes, as cp leaves those of a
  // sparse file: the file reads the same and takes less room.
  bool Put(const uint8_t* data, size_t size);
  // Closes the temporary and renames it over the entry's path.
  bool Commit(ErrorLine* err);
  // Removes the temporary if it still exists.
  void Discard();
  const ErrorLine& error() const { return error_; }

 private:
  ErrorLine error_;
  const char* name_ = "";
#ifdef _WIN32
  void* handle_ = nullptr;
  wchar_t* temp_ = nullptr;
  wchar_t* final_ = nullptr;
#else
  // Writes data[0, size) at offset `at` of the file.
  bool WriteAt(const uint8_t* data, size_t size, uint64_t at);
  int dir_ = -1;
  int fd_ = -1;
  uint64_t offset_ = 0;       // bytes received
  uint64_t written_end_ = 0;  // end of the last write; blocks of zeros beyond are holes
  char temp_[64] = {};
  char leaf_[MaxName] = {};
#endif
};

// A second thread, and the one lock and wake-up that it shares with the
// thread that started it.
class Worker {
 public:
  Worker() = default;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker();  // joins a thread still running

  // Runs run(arg) on a new thread that receives no interrupt signals;
  // false when no thread can be started (the caller then does the work).
  bool Start(void (*run)(void*), void* arg);
  // Waits for the thread to return.
  void Join();
  // The lock, and waiting for WakeAll with it held; only after Start.
  void Lock();
  void Unlock();
  void Wait();
  void WakeAll();

  struct State;  // each system's thread, lock and condition

 private:
  State* state_ = nullptr;
};

// Exit statuses of the stub itself, apart from the program's own.
constexpr int StubFailure = 125;
constexpr int CannotRun = 126;
constexpr int NotFound = 127;

// Runs the program at `path` inside `folder`, with the folder as working
// directory, the standard streams inherited and the arguments argv[first..]
// (on Windows the raw command line after the stub's own first `first - 1`
// arguments). Waits for it and returns its exit status, 128 + n if signal n
// ended it, or CannotRun / NotFound with *err set. Interrupts that the
// program does not get by itself are passed on to it.
int RunProgram(Folder* folder, const PathChar* path, char** argv, int first, ErrorLine* err);

// From now on Ctrl-C and SIGTERM are noted instead of ending the stub.
void CatchInterrupts();
// The number of the signal noted (2 for Ctrl-C on Windows), or 0.
int Interrupted();

#endif  // TUVOLINK_STUB_OS_H_
