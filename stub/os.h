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
// UTF-16 on Windows (see ToPathChars), bytes elsewhere.
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
// True when standard output (1) or standard error (2) is a terminal (a
// console on Windows).
bool IsTerminal(int stream);
// Milliseconds since some fixed moment; never goes back.
uint64_t NowMs();

// Converts a record's name to host characters into out[0, out_size);
// false if it does not convert. Windows takes a name that is valid UTF-8
// as UTF-8, any other in the ANSI code page.
bool ToPathChars(const char* name, PathChar* out, size_t out_size);

#ifdef _WIN32
// The full form of `path` with the "\\?\" prefix that lifts the MAX_PATH
// limit; malloc'd, null when memory runs out. Windows only.
wchar_t* NewLongPath(const wchar_t* path);
#endif

// What a path inside an extraction folder names.
enum class EntryKind {
  Missing,  // nothing, or a path through a folder that is missing
  Folder,   // a folder, not a link to one
  Other,    // a file, a link, a device: anything else
  Unknown,  // cannot be told (no right to look); errno or GetLastError says why
};

// The printable form of path[0, length), as UTF-8 with control characters
// escaped, in out[0, out_size), for a message.
void PathText(const PathChar* path, size_t length, char* out, size_t out_size);

// A folder that files are extracted into. Files are created in it under
// their own names and never replace anything: a fresh folder holds nothing,
// and an extraction into an existing one is checked for clashes first.
class Folder {
 public:
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  // Creates a new folder with a random name, only for this user, in the
  // temporary folder ($TMPDIR or /tmp, %TEMP% on Windows). The object holds
  // a lock on it and marks it as one that a later run may remove once the
  // lock is free: a stub killed outright cannot clean up. On POSIX the lock
  // is a flock on the folder and the mark its sticky bit; on Windows both
  // are the file tuvo-XXXXXXXXXXXXXXXX.lock beside the folder, which the
  // run holds open with no sharing.
  bool CreateTemp(ErrorLine* err);
  // Takes the mark away, so that no later run removes the folder.
  void Keep();
  // Removes the folders that stubs killed outright left beside this one:
  // only this user's folders that bear the mark of CreateTemp and whose
  // lock can be taken; a folder without the mark is never touched.
  void RemoveStale();
  // Opens the folder `path`, creating it and its parents if missing.
  bool OpenOrCreate(const char* path, ErrorLine* err);
  // True when this run made the folder (CreateTemp, or OpenOrCreate of a
  // missing one): everything in it is the run's own.
  bool fresh() const { return fresh_; }
  // True when the folder holds nothing (so nothing can be in the way).
  bool Empty();
  // Removes the folder and all in it, and the parents that OpenOrCreate
  // made; links are removed, never followed. Only for a fresh folder.
  bool RemoveAll(ErrorLine* err);
  // What this user may still make on the folder's file system: bytes, and
  // files and folders (~0 when the system does not count them).
  bool FreeSpace(uint64_t* bytes, uint64_t* entries, ErrorLine* err);
  // What path[0, length) (relative, HostSeparator between components)
  // names inside the folder, following no link at its end.
  EntryKind Kind(const PathChar* path, size_t length);
  // Remove the file `path`, or the empty folder path[0, length), following
  // no link: the undoing of a failed extraction. Failures are ignored.
  void RemoveFile(const PathChar* path);
  void RemoveFolder(const PathChar* path, size_t length);
  // The folder's path for messages, control characters escaped.
  const char* display() const { return display_; }

 private:
  friend class EntryFile;
  friend int RunProgram(Folder*, const PathChar*, char**, int, ErrorLine*);
  // Sets display() to the printable form of `path`.
  void SetDisplay(const char* path);

  char display_[1024] = {};
  bool fresh_ = false;
#ifdef _WIN32
  wchar_t* path_ = nullptr;  // "\\?\" form, so that long paths work
  size_t parents_from_ = 0;  // OpenOrCreate made the parents from here on
  void* lock_ = nullptr;     // the open lock file of CreateTemp
#else
  // The folder holding `path` (opened, with O_NOFOLLOW at every step), and
  // its last component in *leaf. With `create`, missing folders on the way
  // are made; a failure sets *err, naming the record `name`. The last
  // folder found is kept open, since files of one folder come together.
  int Parent(const char* path, const char** leaf, bool create, const char* name, ErrorLine* err);
  void ForgetParent();

  char path_[4096] = {};  // absolute for a temporary folder
  size_t parents_from_ = 0;
  int fd_ = -1;
  int parent_fd_ = -1;
  size_t parent_length_ = 0;
  char parent_[MaxName] = {};
#endif
};

// One file being extracted, created under its own name; a failure removes
// it again.
class EntryFile {
 public:
  EntryFile() = default;
  EntryFile(const EntryFile&) = delete;
  EntryFile& operator=(const EntryFile&) = delete;
  ~EntryFile() { Discard(); }

  // Creates the file `path` (relative, HostSeparator between components)
  // inside `folder`, and the folders on its way, refusing to pass a
  // symbolic link or a junction and to open anything that exists. `name` is
  // the record's name for messages. On POSIX an executable file gets mode
  // 0755, any other 0644 (less the umask).
  bool Create(Folder* folder, const PathChar* path, const char* name, bool executable,
              ErrorLine* err);
  // Appends data; on failure error() says why. Stops when interrupted. On
  // POSIX, whole blocks of zeros are left as holes, as cp leaves those of a
  // sparse file: the file reads the same and takes less room.
  bool Put(const uint8_t* data, size_t size);
  // Completes and closes the file.
  bool Commit(ErrorLine* err);
  // Removes the file if it was created and not committed.
  void Discard();
  const ErrorLine& error() const { return error_; }

 private:
  ErrorLine error_;
  const char* name_ = "";
#ifdef _WIN32
  // Frees full_; returns false, for the failures of Create and Commit.
  bool Forget();
  void* handle_ = nullptr;
  wchar_t* full_ = nullptr;  // the file's long path, while it is open
#else
  // Writes data[0, size) at offset `at` of the file.
  bool WriteAt(const uint8_t* data, size_t size, uint64_t at);
  Folder* folder_ = nullptr;
  const PathChar* path_ = nullptr;
  int fd_ = -1;
  uint64_t offset_ = 0;       // bytes received
  uint64_t written_end_ = 0;  // end of the last write; blocks of zeros beyond are holes
#endif
};

// True when data[0, size), the start of a file, makes it a program: a
// script ("#!") or an ELF executable.
inline bool LooksExecutable(const uint8_t* data, size_t size) {
  return (size >= 2 && data[0] == '#' && data[1] == '!') ||
         (size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F');
}

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
// program does not get by itself are passed on to it. A stub killed outright
// takes the program with it (on Linux; on Windows where a job can hold it).
// While the program runs, folder->RemoveStale() clears up after earlier stubs.
int RunProgram(Folder* folder, const PathChar* path, char** argv, int first, ErrorLine* err);

// From now on Ctrl-C and SIGTERM are noted instead of ending the stub.
void CatchInterrupts();
// The number of the signal noted (2 for Ctrl-C on Windows), or 0.
int Interrupted();

#endif  // TUVOLINK_STUB_OS_H_
