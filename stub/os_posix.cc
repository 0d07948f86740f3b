// The stub's system services on Linux and other POSIX systems. Every file and
// folder inside the extraction folder is reached from the folder's descriptor
// with O_NOFOLLOW, so that no symbolic link inside it is ever followed.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Removes everything inside the folder open at `dir`; returns false when
// anything is left.
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
    int sub = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      ok = false;
      continue;
    }
    fchmod(sub, S_IRWXU);  // the program may have left a folder read-only
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

bool ToPathChars(const char* name, PathChar* out, size_t out_size) {
  size_t length = std::strlen(name);
  if (length >= out_size) return false;
  std::memcpy(out, name, length + 1);
  return true;
}

Folder::~Folder() {
  if (fd_ >= 0) close(fd_);
}

bool Folder::CreateTemp(ErrorLine* err) {
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] == 0) base = "/tmp";
  size_t length = std::strlen(base);
  while (length > 1 && base[length - 1] == '/') --length;
  int n =
      std::snprintf(display_, sizeof display_, "%.*s/tuvo-XXXXXX", static_cast<int>(length), base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof display_) {
    err->Set("the temporary folder name '%s' is too long", base);
    return false;
  }
  // mkdtemp creates the folder exclusively, with mode 0700 and a random name.
  if (mkdtemp(display_) == nullptr) {
    err->Set("cannot create a temporary folder in '%.*s': %s; set TMPDIR to a writable folder",
             static_cast<int>(length), base, std::strerror(errno));
    return false;
  }
  fd_ = open(display_, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    err->Set("cannot open '%s': %s", display_, std::strerror(errno));
    rmdir(display_);
    return false;
  }
  return true;
}

bool Folder::OpenOrCreate(const char* path, ErrorLine* err) {
  if (std::strlen(path) >= sizeof display_ || path[0] == 0) {
    err->Set("cannot use '%s' as a folder: the name is empty or too long", path);
    return false;
  }
  std::strcpy(display_, path);
  // Creates the parents first, like mkdir -p.
  for (char* p = display_ + 1; *p != 0; ++p) {
    if (*p != '/') continue;
    *p = 0;
    mkdir(display_, 0777);
    *p = '/';
  }
  if (mkdir(display_, 0777) == 0) {
    created_ = true;
  } else if (errno != EEXIST) {
    err->Set("cannot create the folder '%s': %s", display_, std::strerror(errno));
    return false;
  }
  fd_ = open(display_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    err->Set("cannot open the folder '%s': %s", display_, std::strerror(errno));
    return false;
  }
  return true;
}

bool Folder::RemoveAll(ErrorLine* err) {
  if (fd_ < 0) return true;
  bool ok = RemoveContents(fd_);
  close(fd_);
  fd_ = -1;
  if (!ok || rmdir(display_) != 0) {
    err->Set("cannot remove all of the temporary folder '%s'", display_);
    return false;
  }
  return true;
}

bool Folder::FreeSpace(uint64_t* bytes, ErrorLine* err) {
  struct statvfs info;
  if (fstatvfs(fd_, &info) != 0) {
    err->Set("cannot read the free space of '%s': %s", display_, std::strerror(errno));
    return false;
  }
  *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

bool EntryFile::Create(Folder* folder, const PathChar* path, const char* name, bool executable,
                       uint64_t size, ErrorLine* err) {
  name_ = name;
  dir_ = dup(folder->fd_);
  const char* p = path;
  for (const char* slash; (slash = std::strchr(p, '/')) != nullptr; p = slash + 1) {
    char component[MaxName];
    size_t length = static_cast<size_t>(slash - p);
    std::memcpy(component, p, length);
    component[length] = 0;
    if (dir_ >= 0 && mkdirat(dir_, component, 0777) != 0 && errno != EEXIST) {
      err->Set("cannot create the folder '%.*s' for '%s': %s", static_cast<int>(slash - path), path,
               name, std::strerror(errno));
      return false;
    }
    int sub = openat(dir_, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      err->Set("cannot extract '%s': '%.*s' is %s", name, static_cast<int>(slash - path), path,
               errno == ELOOP || errno == ENOTDIR ? "a symbolic link or not a folder"
                                                  : std::strerror(errno));
      return false;
    }
    close(dir_);
    dir_ = sub;
  }
  std::strcpy(leaf_, p);
  offset_ = 0;
  written_end_ = 0;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(temp_, sizeof temp_, ".tuvo-%ld-%u.part", static_cast<long>(getpid()), counter++);
    fd_ = openat(dir_, temp_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 executable ? 0755 : 0644);  // less the umask
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ < 0) {
    err->Set("cannot create '%s' in '%s': %s", path, folder->display(), std::strerror(errno));
    temp_[0] = 0;
    return false;
  }
#ifdef __linux__
  // Blocks reserved ahead make the writes cheaper, and a file that cannot
  // fit fails before its first write. Not every file system can reserve.
  if (size > 0 && fallocate(fd_, 0, 0, static_cast<off_t>(size)) != 0 &&
      (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)) {
    err->Set("cannot write '%s': %s", name, std::strerror(errno));
    Discard();
    return false;
  }
#else
  (void)size;
#endif
  return true;
}

bool EntryFile::Put(const uint8_t* data, size_t size) {
  if (Interrupted() != 0) {
    error_.Set("interrupted while writing '%s'", name_);
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
  while (size > 0) {
    ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_.Set("cannot write '%s': %s", name_, std::strerror(n < 0 ? errno : ENOSPC));
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
    err->Set("cannot write '%s': %s", name_, std::strerror(errno));
    Discard();
    return false;
  }
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    err->Set("cannot write '%s': %s", name_, std::strerror(errno));
    Discard();
    return false;
  }
  // A rename replaces an earlier file, or a symbolic link, of that name
  // rather than writing through it.
  if (renameat(dir_, temp_, dir_, leaf_) != 0) {
    err->Set("cannot extract '%s': %s", name_, std::strerror(errno));
    Discard();
    return false;
  }
  temp_[0] = 0;
  close(dir_);
  dir_ = -1;
  return true;
}

void EntryFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (temp_[0] != 0 && dir_ >= 0) unlinkat(dir_, temp_, 0);
  temp_[0] = 0;
  if (dir_ >= 0) close(dir_);
  dir_ = -1;
}

void CatchInterrupts() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnInterrupt;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : InterruptSignals) sigaction(signal_number, &action, nullptr);
  // A file size limit then fails the write with EFBIG, and the partly
  // written file is removed, instead of the signal ending the stub.
  signal(SIGXFSZ, SIG_IGN);
}

int Interrupted() { return noted_signal; }

namespace {

// In the child: the working directory, default signal handling, then exec.
// An exec failure is reported to the parent through `report`.
[[noreturn]] void StartChild(int folder, const char* program, char** args, int report,
                             const sigset_t* old_mask) {
  int code = 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  for (int signal_number : InterruptSignals) sigaction(signal_number, &action, nullptr);
  sigaction(SIGXFSZ, &action, nullptr);
  sigprocmask(SIG_SETMASK, old_mask, nullptr);
  if (fchdir(folder) == 0) {
    execv(program, args);
  }
  code = errno;
  WriteAll(report, &code, sizeof code);
  _exit(NotFound);
}

}  // namespace

int RunProgram(Folder* folder, const PathChar* path, char** argv, int first, ErrorLine* err) {
  int argc = 0;
  while (argv[argc] != nullptr) ++argc;
  char program[sizeof folder->display_ + MaxName + 1];
  std::snprintf(program, sizeof program, "%s/%s", folder->display_, path);
  char** args = static_cast<char**>(std::calloc(static_cast<size_t>(argc) + 2, sizeof(char*)));
  int report[2];
  if (args == nullptr || pipe2(report, O_CLOEXEC) != 0) {
    std::free(args);
    err->Set("cannot start '%s': %s", path, std::strerror(errno));
    return CannotRun;
  }
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
  pid_t pid = fork();
  if (pid == 0) StartChild(folder->fd_, program, args, report[1], &old_mask);
  int fork_errno = errno;
  if (pid > 0) child_pid = pid;
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  close(report[1]);
  std::free(args);
  if (pid < 0) {
    close(report[0]);
    err->Set("cannot start '%s': %s", path, std::strerror(fork_errno));
    return CannotRun;
  }
  int code = 0;
  ssize_t got;
  do {
    got = read(report[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  child_pid = 0;
  if (got == static_cast<ssize_t>(sizeof code)) {
    if (code == ENOENT) {
      err->Set("cannot run '%s': %s (is its interpreter missing?)", path, std::strerror(code));
      return NotFound;
    }
    err->Set("cannot run '%s': %s%s", path, std::strerror(code),
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
