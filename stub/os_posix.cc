// The stub's system services on Linux and other POSIX systems. Every file and
// folder inside the extraction folder is reached from the folder's descriptor
// with O_NOFOLLOW, so that no symbolic link inside it is ever followed.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "format/printable.h"
#include "format/text_format.h"
#include "os.h"

namespace {

volatile sig_atomic_t noted_signal = 0;
volatile sig_atomic_t child_pid = 0;

// A signal that a process sent (kill, a service manager) reaches only the
// stub; one from the terminal (Ctrl-C) already went to the whole foreground
// group, the program included, and is not sent twice.
void OnInterrupt(int signal_number, siginfo_t* info, void*) {
  noted_signal = signal_number;
  bool from_process = info != nullptr && info->si_code <= 0;
  if (child_pid > 0 && from_process) kill(static_cast<pid_t>(child_pid), signal_number);
}

const int InterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t InterruptCount = sizeof InterruptSignals / sizeof InterruptSignals[0];

// Which interrupts the stub caught: one that it inherited ignored (nohup, a
// background job) stays ignored, for the stub and for the program.
bool caught[InterruptCount] = {};
struct sigaction inherited_xfsz;
bool xfsz_changed = false;
bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Holes are made of whole blocks of this size, aligned in the file: the
// page and block size of the common file systems.
constexpr uint64_t HoleBlock = 4096;

bool IsZeroBlock(const uint8_t* p) {
  uint64_t any = 0;
  for (size_t i = 0; i < HoleBlock && any == 0; i += 64) {
    uint64_t w[8];
    std::memcpy(w, p + i, sizeof w);
    any = w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7];
  }
  return any == 0;
}

// Gives the owner all rights to the folder `name` in `dir` without following
// a link: a program may have locked its own folders (chmod 000, 300, 500),
// and they must still be emptied.
void OpenUp(int dir, const char* name) {
  if (fchmodat(dir, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0 || errno != EOPNOTSUPP) return;
  // Systems that cannot change a mode without following a link.
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    fchmodat(dir, name, S_IRWXU, 0);
  }
}

// The first part of `path`, up to `end`, as a name of its own.
struct Prefix {
  Prefix(const char* path, const char* end) {
    size_t length =
        static_cast<size_t>(end - path) < MaxName ? static_cast<size_t>(end - path) : MaxName - 1;
    std::memcpy(text, path, length);
    text[length] = 0;
  }
  operator const char*() const { return text; }
  char text[MaxName];
};

// Removes everything inside the folder open at `dir` (which must grant its
// owner all rights); returns false when anything is left.
bool RemoveContents(int dir) {
  int listing = dup(dir);
  DIR* stream = listing >= 0 ? fdopendir(listing) : nullptr;
  if (stream == nullptr) {
    if (listing >= 0) close(listing);
    return false;
  }
  bool ok = true;
  while (struct dirent* entry = readdir(stream)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (unlinkat(dir, name, 0) == 0) continue;
    OpenUp(dir, name);
    int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      ok = false;
      continue;
    }
    ok = RemoveContents(sub) && ok;
    close(sub);
    if (unlinkat(dir, name, AT_REMOVEDIR) != 0) ok = false;
  }
  closedir(stream);
  return ok;
}

}  // namespace

void InitProcess(int*, char***) {}

void WriteText(int stream, const char* text) {
  WriteAll(stream == 1 ? STDOUT_FILENO : STDERR_FILENO, text, std::strlen(text));
}

bool IsTerminal(int stream) { return isatty(stream == 1 ? STDOUT_FILENO : STDERR_FILENO) == 1; }

uint64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool ToPathChars(const char* name, PathChar* out, size_t out_size) {
  size_t length = std::strlen(name);
  if (length >= out_size) return false;
  std::memcpy(out, name, length + 1);
  return true;
}

Folder::~Folder() {
  ForgetParent();
  if (fd_ >= 0) close(fd_);
}

void Folder::SetDisplay(const char* path) {
  Printable(path, std::strlen(path), display_, sizeof display_);
}

void PathText(const PathChar* path, size_t length, char* out, size_t out_size) {
  Printable(path, length, out, out_size);
}

bool Folder::CreateTemp(ErrorLine* err) {
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] == 0) base = "/tmp";
  size_t length = std::strlen(base);
  while (length > 1 && base[length - 1] == '/') --length;
  // The program runs inside the folder, where a relative path would lead
  // nowhere: the folder's path starts from the current folder's.
  size_t used = 0;
  if (base[0] != '/') {
    if (getcwd(path_, sizeof path_ - 1) == nullptr) {
      err->Set("cannot find the current folder for TMPDIR '%s': %s", Shown(base).text,
               std::strerror(errno));
      return false;
    }
    used = std::strlen(path_);
    if (path_[used - 1] != '/') path_[used++] = '/';
  }
  static const char Leaf[] = "/tuvo-XXXXXX";
  if (used + length + sizeof Leaf > sizeof path_) {
    err->Set("the temporary folder name '%s' is too long", Shown(base).text);
    return false;
  }
  FormatText(path_ + used, sizeof path_ - used, "%.*s%s", static_cast<int>(length), base, Leaf);
  // mkdtemp creates the folder exclusively, with mode 0700 and a random name.
  if (mkdtemp(path_) == nullptr) {
    err->Set("cannot create a temporary folder in '%s': %s; set TMPDIR to a writable folder",
             Shown(base).text, std::strerror(errno));
    return false;
  }
  SetDisplay(path_);
  fresh_ = true;
  fd_ = open(path_, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    err->Set("cannot open '%s': %s", display_, std::strerror(errno));
    rmdir(path_);
    return false;
  }
  // The mark (the sticky bit, which means nothing on a folder only its
  // owner can enter) is set only once the lock is held, so a folder that
  // bears it and whose lock is free has no stub alive. The descriptor is
  // not inherited by the program (O_CLOEXEC), and neither is the lock.
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) fchmod(fd_, S_IRWXU | S_ISVTX);
  return true;
}

void Folder::Keep() {
  // Only the mark goes: the program may have set the rest on purpose.
  struct stat st;
  mode_t mark = S_ISVTX;
  if (fd_ >= 0 && fstat(fd_, &st) == 0) fchmod(fd_, st.st_mode & 07777u & ~mark);
}

void Folder::RemoveStale() {
  char* slash = std::strrchr(path_, '/');
  if (fd_ < 0 || slash == nullptr) return;
  *slash = 0;
  int base = open(slash == path_ ? "/" : path_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  *slash = '/';
  DIR* stream = base >= 0 ? fdopendir(base) : nullptr;
  if (stream == nullptr) {
    if (base >= 0) close(base);
    return;
  }
  while (struct dirent* entry = readdir(stream)) {
    const char* name = entry->d_name;
    // mkdtemp's names: "tuvo-" and six letters or digits.
    if (std::strlen(name) != 11 || std::strncmp(name, "tuvo-", 5) != 0) continue;
    if (std::strcmp(name, slash + 1) == 0) continue;
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
    int folder = openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) continue;
    struct stat st;
    if (fstat(folder, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & S_ISVTX) != 0 &&
        flock(folder, LOCK_EX | LOCK_NB) == 0) {
      fchmod(folder, S_IRWXU);
      if (RemoveContents(folder)) unlinkat(base, name, AT_REMOVEDIR);
    }
    close(folder);
  }
  closedir(stream);
}

bool Folder::OpenOrCreate(const char* path, ErrorLine* err) {
  SetDisplay(path);
  size_t length = std::strlen(path);
  if (length >= sizeof path_ || length == 0) {
    err->Set("cannot use '%s' as a folder: the name is empty or too long", display_);
    return false;
  }
  std::memcpy(path_, path, length + 1);
  while (length > 1 && path_[length - 1] == '/') path_[--length] = 0;
  // Creates the parents first, like mkdir -p, noting where the first one
  // made begins so that a refusal can take them away again.
  for (char* p = path_ + 1; *p != 0; ++p) {
    if (*p != '/' || p[-1] == '/') continue;
    *p = 0;
    if (mkdir(path_, 0777) == 0 && parents_from_ == 0)
      parents_from_ = static_cast<size_t>(p - path_);
    *p = '/';
  }
  fresh_ = mkdir(path_, 0777) == 0;
  if (!fresh_ && errno != EEXIST) {
    err->Set("cannot create the folder '%s': %s", display_, std::strerror(errno));
    return false;
  }
  fd_ = open(path_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    err->Set("cannot open the folder '%s': %s", display_, std::strerror(errno));
    return false;
  }
  return true;
}

bool Folder::RemoveAll(ErrorLine* err) {
  if (fd_ < 0) return true;
  ForgetParent();
  // The program may have made its own folder read-only.
  fchmod(fd_, S_IRWXU);
  bool ok = RemoveContents(fd_);
  close(fd_);
  fd_ = -1;
  if (!ok || rmdir(path_) != 0) {
    err->Set("cannot remove all of the folder '%s'", display_);
    return false;
  }
  // The parents made by OpenOrCreate, deepest first; they hold nothing else.
  for (size_t i = std::strlen(path_); parents_from_ != 0 && i-- > parents_from_;) {
    if (path_[i] != '/') continue;
    path_[i] = 0;
    rmdir(path_);
  }
  return true;
}

bool Folder::FreeSpace(uint64_t* bytes, uint64_t* entries, ErrorLine* err) {
  struct statvfs info;
  if (fstatvfs(fd_, &info) != 0) {
    err->Set("cannot read the free space of '%s': %s", display_, std::strerror(errno));
    return false;
  }
  *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  // Some file systems (btrfs) have no fixed number of files and say 0.
  *entries = info.f_files == 0 ? ~uint64_t{0} : static_cast<uint64_t>(info.f_favail);
  return true;
}

bool Folder::Empty() {
  int listing = dup(fd_);
  DIR* stream = listing >= 0 ? fdopendir(listing) : nullptr;
  if (stream == nullptr) {
    if (listing >= 0) close(listing);
    return false;
  }
  bool empty = true;
  while (struct dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(stream);
  return empty;
}

EntryKind Folder::Kind(const PathChar* path, size_t length) {
  char sub[MaxName];
  if (length >= sizeof sub) length = sizeof sub - 1;
  std::memcpy(sub, path, length);
  sub[length] = 0;
  // Every folder on the way was found to be a folder already: a link
  // among them would show as Other at its own turn.
  struct stat st;
  if (fstatat(fd_, sub, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? EntryKind::Missing : EntryKind::Unknown;
  }
  return S_ISDIR(st.st_mode) ? EntryKind::Folder : EntryKind::Other;
}

void Folder::RemoveFile(const PathChar* path) {
  const char* leaf;
  ErrorLine ignored;
  int dir = Parent(path, &leaf, false, "", &ignored);
  if (dir >= 0) unlinkat(dir, leaf, 0);
}

void Folder::RemoveFolder(const PathChar* path, size_t length) {
  char sub[MaxName];
  if (length >= sizeof sub) return;
  std::memcpy(sub, path, length);
  sub[length] = 0;
  const char* leaf;
  ErrorLine ignored;
  int dir = Parent(sub, &leaf, false, "", &ignored);
  if (dir >= 0) unlinkat(dir, leaf, AT_REMOVEDIR);
  ForgetParent();  // it may have been the folder just removed
}

void Folder::ForgetParent() {
  if (parent_fd_ >= 0) close(parent_fd_);
  parent_fd_ = -1;
  parent_length_ = 0;
}

namespace {

// Opens the folder `name` in `dir` for use as a starting point only, never
// through a link.
int OpenFolderAt(int dir, const char* name) {
#ifdef O_PATH
  return openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
#else
  return openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
#endif
}

}  // namespace

int Folder::Parent(const char* path, const char** leaf, bool create, const char* name,
                   ErrorLine* err) {
  const char* slash = std::strrchr(path, '/');
  *leaf = slash == nullptr ? path : slash + 1;
  if (slash == nullptr) return fd_;
  size_t length = static_cast<size_t>(slash - path);
  bool below = parent_fd_ >= 0 && parent_length_ <= length &&
               std::memcmp(path, parent_, parent_length_) == 0 &&
               (parent_length_ == length || path[parent_length_] == '/');
  if (below && parent_length_ == length) return parent_fd_;
  // A folder below the one kept open is reached from there.
  int dir = below ? parent_fd_ : fd_;
  size_t at = below ? parent_length_ + 1 : 0;
  while (at <= length) {
    const char* end = std::strchr(path + at, '/');
    char component[MaxName];
    std::memcpy(component, path + at, static_cast<size_t>(end - path) - at);
    component[end - path - static_cast<ptrdiff_t>(at)] = 0;
    int sub = OpenFolderAt(dir, component);
    if (sub < 0 && errno == ENOENT && create) {
      if (mkdirat(dir, component, 0777) != 0 && errno != EEXIST) {
        err->Set("cannot create the folder '%s' for '%s': %s", Shown(Prefix(path, end)).text,
                 Shown(name).text, std::strerror(errno));
        if (dir != fd_ && dir != parent_fd_) close(dir);
        return -1;
      }
      sub = OpenFolderAt(dir, component);
    }
    if (sub < 0) {
      err->Set("cannot extract '%s': '%s' is %s", Shown(name).text, Shown(Prefix(path, end)).text,
               errno == ELOOP || errno == ENOTDIR ? "a symbolic link or not a folder"
                                                  : std::strerror(errno));
    }
    if (dir != fd_ && dir != parent_fd_) close(dir);
    if (sub < 0) return -1;
    dir = sub;
    at = static_cast<size_t>(end - path) + 1;
  }
  ForgetParent();
  parent_fd_ = dir;
  parent_length_ = length;
  std::memcpy(parent_, path, length);
  return dir;
}

bool EntryFile::Create(Folder* folder, const PathChar* path, const char* name, bool executable,
                       ErrorLine* err) {
  name_ = name;
  folder_ = folder;
  path_ = path;
  offset_ = 0;
  written_end_ = 0;
  const char* leaf;
  int dir = folder->Parent(path, &leaf, true, name, err);
  if (dir < 0) return false;
  fd_ = openat(dir, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               executable ? 0755 : 0644);  // less the umask
  if (fd_ < 0) {
    err->Set("cannot extract '%s': %s", Shown(name).text,
             errno == EEXIST ? "something of that name is in the way" : std::strerror(errno));
    return false;
  }
  return true;
}

bool EntryFile::Put(const uint8_t* data, size_t size) {
  if (Interrupted() != 0) {
    error_.Set("interrupted while writing '%s'", Shown(name_).text);
    return false;
  }
  const uint8_t* pending = data;  // received, not yet written
  uint64_t pending_at = offset_;  // its place in the file
  while (size > 0) {
    uint64_t in_block = HoleBlock - offset_ % HoleBlock;
    size_t step = in_block < size ? static_cast<size_t>(in_block) : size;
    if (step == HoleBlock && IsZeroBlock(data)) {
      if (!WriteAt(pending, static_cast<size_t>(data - pending), pending_at)) return false;
      pending = data + step;
      pending_at = offset_ + step;
    }
    data += step;
    offset_ += step;
    size -= step;
  }
  return WriteAt(pending, static_cast<size_t>(data - pending), pending_at);
}

bool EntryFile::WriteAt(const uint8_t* data, size_t size, uint64_t at) {
  if (size == 0) return true;  // nothing written: the end stays where it was
  while (size > 0) {
    ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_.Set("cannot write '%s': %s", Shown(name_).text, std::strerror(n < 0 ? errno : ENOSPC));
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    at += static_cast<uint64_t>(n);
  }
  if (at > written_end_) written_end_ = at;
  return true;
}

bool EntryFile::Commit(ErrorLine* err) {
  // Blocks of zeros at the end are a hole that only the size covers.
  if (offset_ > written_end_ && ftruncate(fd_, static_cast<off_t>(offset_)) != 0) {
    err->Set("cannot write '%s': %s", Shown(name_).text, std::strerror(errno));
    Discard();
    return false;
  }
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    err->Set("cannot write '%s': %s", Shown(name_).text, std::strerror(errno));
    folder_->RemoveFile(path_);
    return false;
  }
  return true;
}

void EntryFile::Discard() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  folder_->RemoveFile(path_);
}

void CatchInterrupts() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnInterrupt;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  // One call per signal installs the handler and tells what was there; an
  // ignored signal (rare) gets its disposition back at once, and none is
  // delivered in between.
  sigset_t block, old_mask;
  sigemptyset(&block);
  for (int signal_number : InterruptSignals) sigaddset(&block, signal_number);
  sigprocmask(SIG_BLOCK, &block, &old_mask);
  for (size_t i = 0; i < InterruptCount; ++i) {
    struct sigaction old;
    if (sigaction(InterruptSignals[i], &action, &old) != 0) continue;
    caught[i] = old.sa_handler != SIG_IGN;
    if (!caught[i]) sigaction(InterruptSignals[i], &old, nullptr);
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  // A file size limit then fails the write with EFBIG, and the partly
  // written file is removed, instead of the signal ending the stub.
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  xfsz_changed = sigaction(SIGXFSZ, &ignore, &inherited_xfsz) == 0;
}

int Interrupted() { return noted_signal; }

namespace {

// In the child: the working directory, the signal handling the stub
// inherited, then exec. An exec failure is reported to the parent through
// `report`.
[[noreturn]] void StartChild(int folder, const char* program, char** args, int report,
                             const sigset_t* old_mask, pid_t stub) {
  int code = 0;
#ifdef __linux__
  // The program must not outlive a stub killed outright, whose folder the
  // next run removes. A stub gone before this call has left the child to
  // another parent already.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != stub) _exit(CannotRun);
#else
  (void)stub;
#endif
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  for (size_t i = 0; i < InterruptCount; ++i) {
    if (caught[i]) sigaction(InterruptSignals[i], &action, nullptr);
  }
  if (xfsz_changed) sigaction(SIGXFSZ, &inherited_xfsz, nullptr);
  sigprocmask(SIG_SETMASK, old_mask, nullptr);
  if (fchdir(folder) == 0) {
    execv(program, args);
  }
  code = errno;
  WriteAll(report, &code, sizeof code);
  _exit(NotFound);
}

// Tells the program, whose working folder is the extraction folder, where
// the package was started from and where the package is.
void SetContext() {
  char path[4096];
  if (getcwd(path, sizeof path) != nullptr) {
    setenv("TUVO_CALLER_DIR", path, 1);
  } else {
    unsetenv("TUVO_CALLER_DIR");
  }
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = 0;
    setenv("TUVO_PACKAGE", path, 1);
  } else {
    unsetenv("TUVO_PACKAGE");
  }
}

}  // namespace

int RunProgram(Folder* folder, const PathChar* path, char** argv, int first, ErrorLine* err) {
  int argc = 0;
  while (argv[argc] != nullptr) ++argc;
  char program[sizeof folder->path_ + MaxName + 1];
  FormatText(program, sizeof program, "%s/%s", folder->path_, path);
  char** args = static_cast<char**>(std::calloc(static_cast<size_t>(argc) + 2, sizeof(char*)));
  int report[2];
  if (args == nullptr || pipe2(report, O_CLOEXEC) != 0) {
    std::free(args);
    err->Set("cannot start '%s': %s", Shown(path).text, std::strerror(errno));
    return CannotRun;
  }
  SetContext();
  int n = 0;
  args[n++] = program;
  for (int i = first; i < argc; ++i) args[n++] = argv[i];
  sigset_t block, old_mask;
  sigemptyset(&block);
  for (int signal_number : InterruptSignals) sigaddset(&block, signal_number);
  sigprocmask(SIG_BLOCK, &block, &old_mask);
  if (noted_signal != 0) {  // interrupted before the program could start
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    close(report[0]);
    close(report[1]);
    std::free(args);
    return 128 + noted_signal;
  }
  pid_t stub = getpid();
  // vfork: no page tables to copy and no memory to copy on write, which is
  // much of a small package's start-up. The child shares the stub's memory
  // until it execs, so StartChild only makes system calls on its own stack,
  // with no handler able to run (the interrupts are blocked until their
  // handling is the default again).
  pid_t pid = vfork();
  if (pid == 0) StartChild(folder->fd_, program, args, report[1], &old_mask, stub);
  int fork_errno = errno;
  if (pid > 0) child_pid = pid;
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  close(report[1]);
  std::free(args);
  if (pid < 0) {
    close(report[0]);
    err->Set("cannot start '%s': %s", Shown(path).text, std::strerror(fork_errno));
    return CannotRun;
  }
  int code = 0;
  ssize_t got;
  do {
    got = read(report[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  // The program runs: time to clear up after earlier stubs.
  if (got == 0) folder->RemoveStale();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  child_pid = 0;
  if (got == static_cast<ssize_t>(sizeof code)) {
    if (code == ENOENT) {
      err->Set("cannot run '%s': %s (is its interpreter missing?)", Shown(path).text,
               std::strerror(code));
      return NotFound;
    }
    err->Set("cannot run '%s': %s%s", Shown(path).text, std::strerror(code),
             code == EACCES || code == EPERM
                 ? "; if the temporary folder is on a file system mounted noexec, set TMPDIR to "
                   "another folder"
                 : "");
    return CannotRun;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return CannotRun;
}

struct Worker::State {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  bool running;
  void (*run)(void*);
  void* arg;
};

namespace {

void* RunWorker(void* state) {
  Worker::State* s = static_cast<Worker::State*>(state);
  s->run(s->arg);
  return nullptr;
}

}  // namespace

Worker::~Worker() {
  if (state_ == nullptr) return;
  Join();
  pthread_cond_destroy(&state_->wake);
  pthread_mutex_destroy(&state_->lock);
  std::free(state_);
}

bool Worker::Start(void (*run)(void*), void* arg) {
  if (state_ != nullptr) return false;
  State* s = static_cast<State*>(std::calloc(1, sizeof(State)));
  if (s == nullptr) return false;
  if (pthread_mutex_init(&s->lock, nullptr) != 0) {
    std::free(s);
    return false;
  }
  if (pthread_cond_init(&s->wake, nullptr) != 0) {
    pthread_mutex_destroy(&s->lock);
    std::free(s);
    return false;
  }
  s->run = run;
  s->arg = arg;
  // The new thread inherits a mask that keeps the interrupts on this one.
  sigset_t block, old_mask;
  sigemptyset(&block);
  for (int signal_number : InterruptSignals) sigaddset(&block, signal_number);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  state_ = s;  // before the thread can use it
  s->running = pthread_create(&s->thread, nullptr, RunWorker, s) == 0;
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return s->running;
}

void Worker::Join() {
  if (state_ == nullptr || !state_->running) return;
  pthread_join(state_->thread, nullptr);
  state_->running = false;
}

void Worker::Lock() { pthread_mutex_lock(&state_->lock); }
void Worker::Unlock() { pthread_mutex_unlock(&state_->lock); }
void Worker::Wait() { pthread_cond_wait(&state_->wake, &state_->lock); }
void Worker::WakeAll() { pthread_cond_broadcast(&state_->wake); }
