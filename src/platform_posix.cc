// POSIX implementation of the platform layer: file descriptors, mkstemp and
// rename, and signal handlers that remove an unfinished temporary.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "names.h"
#include "platform.h"

namespace {

std::string Failure(const char* what, const std::string& name, int error) {
  return std::string(what) + " " + Quoted(name) + ": " + std::strerror(error);
}

// The temporary that a signal handler removes. Only async-signal-safe calls
// touch it from the handler, so it lives in a fixed buffer.
char g_pending_temp[PATH_MAX + 1];
volatile sig_atomic_t g_pending_set = 0;

void RemovePendingAndDie(int sig) {
  if (g_pending_set) unlink(g_pending_temp);
  signal(sig, SIG_DFL);
  raise(sig);
}

// The signals whose default action ends the process and that a handler can
// catch. The faults a program raises on itself (SIGSEGV, SIGBUS...) are left
// to the default action and to the sanitizers.
const int TerminatingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

}  // namespace

void PrepareSignals() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  // Beyond the file size limit a write then fails with EFBIG, which is
  // reported like any failed write, instead of killing the process.
  signal(SIGXFSZ, SIG_IGN);
  for (int sig : TerminatingSignals) {
    struct sigaction action;
    // A signal ignored at start (nohup, a shell's background job) stays
    // ignored: the caller asked for the packer to survive it.
    if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemovePendingAndDie;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

namespace {

// Registers (or, with an empty path, clears) the temporary to remove on a
// signal, with signals blocked so the handler never sees half a path.
void SetPendingTemp(const std::string& path) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  if (path.empty() || path.size() > PATH_MAX) {
    g_pending_set = 0;
  } else {
    std::memcpy(g_pending_temp, path.c_str(), path.size() + 1);
    g_pending_set = 1;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

bool WriteAll(int fd, const uint8_t* data, size_t size, int* error) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads until `size` bytes are in `buffer` or the file ends, at `offset`, or
// at the current position when `offset` is negative.
bool ReadFully(int fd, const std::string& name, int64_t offset, void* buffer, size_t size,
               size_t* got, std::string* err) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < size) {
    ssize_t n = offset < 0 ? read(fd, out + total, size - total)
                           : pread(fd, out + total, size - total,
                                   static_cast<off_t>(offset + static_cast<int64_t>(total)));
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = Failure("cannot read", name, errno);
      return false;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  *got = total;
  return true;
}

// The message of Open for a file that exists but is no regular file.
std::string NotRegular(const std::string& name, mode_t mode) {
  return "cannot open " + Quoted(name) +
         (S_ISDIR(mode) ? ": Is a directory" : ": not a regular file");
}

// The temporary's mkstemp template: the target's name and ".tmpXXXXXX", in
// the target's folder, the target's last component cut so that the name
// stays within the folder's limit (a 250-character OutFile is valid).
std::string TempTemplate(const std::string& target) {
  const std::string suffix = ".tmpXXXXXX";
  size_t slash = target.rfind('/');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string dir = base == 0 ? std::string(".") : target.substr(0, base);
  long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = NAME_MAX;
  size_t keep = static_cast<size_t>(name_max) > suffix.size()
                    ? static_cast<size_t>(name_max) - suffix.size()
                    : 0;
  if (target.size() - base > keep) return target.substr(0, base + keep) + suffix;
  return target + suffix;
}

}  // namespace

bool InputFile::Check(const char* name, uint64_t* size, std::string* err) {
  return Check(name, LookAt(name), size, err);
}

bool InputFile::Check(const char* name, const PathLook& look, uint64_t* size, std::string* err) {
  if (!look.found) {
    *err = Failure("cannot open", name, look.error);
    return false;
  }
  if (!look.regular) {
    *err = NotRegular(name, static_cast<mode_t>(look.mode));
    return false;
  }
  // With the effective ids, as open checks them; no need to ask for a file
  // of our own that its owner may read, the commonest case (the owner's
  // permission bits are the owner's, whatever else an access list says).
  const bool own_readable = look.uid == static_cast<uint64_t>(geteuid()) && (look.mode & S_IRUSR);
  if (!own_readable && faccessat(AT_FDCWD, name, R_OK, AT_EACCESS) != 0) {
    *err = Failure("cannot open", name, errno);
    return false;
  }
  *size = look.size;
  return true;
}

bool InputFile::Open(const char* name, std::string* err) {
  Close();
  name_ = name;
  // Non-blocking so that a FIFO cannot hang the open itself. It is left so:
  // reads of a regular file, the only kind kept, ignore the flag.
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *err = Failure("cannot open", name_, errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = Failure("cannot read", name_, errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = NotRegular(name_, st.st_mode);
    ::close(fd);
    return false;
  }
  handle_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool InputFile::ReadSome(void* buffer, size_t size, size_t* got, std::string* err) {
  for (;;) {
    ssize_t n = read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      *err = Failure("cannot read", name_, errno);
      return false;
    }
  }
}

bool InputFile::Read(void* buffer, size_t size, size_t* got, std::string* err) {
  return ReadFully(static_cast<int>(handle_), name_, -1, buffer, size, got, err);
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got, std::string* err) {
  return ReadFully(static_cast<int>(handle_), name_, static_cast<int64_t>(offset), buffer, size,
                   got, err);
}

bool InputFile::Rewind(std::string* err) {
  if (lseek(static_cast<int>(handle_), 0, SEEK_SET) != 0) {
    *err = Failure("cannot read", name_, errno);
    return false;
  }
  return true;
}

void InputFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool TempOutput::Create(const std::string& target, std::string* err) {
  Discard();
  target_ = target;
  size_ = 0;
  std::string templ = TempTemplate(target);
  PrepareSignals();
  // Blocked, so that a signal cannot fall between mkstemp and registration.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  int fd = mkostemp(templ.data(), O_CLOEXEC);
  int error = errno;
  if (fd >= 0) {
    temp_path_ = templ;
    SetPendingTemp(temp_path_);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) {
    *err = Failure("cannot create", target_, error);
    return false;
  }
  handle_ = fd;
  return true;
}

bool TempOutput::Write(const void* data, size_t size, std::string* err) {
  int error = 0;
  if (!WriteAll(static_cast<int>(handle_), static_cast<const uint8_t*>(data), size, &error)) {
    *err = Failure("cannot write", target_, error);
    return false;
  }
  size_ += size;
  if (tap_ != nullptr) tap_->Wrote(data, size);
  return true;
}

bool TempOutput::WriteAt(uint64_t offset, const void* data, size_t size, std::string* err) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = pwrite(static_cast<int>(handle_), in, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = Failure("cannot write", target_, n < 0 ? errno : EIO);
      return false;
    }
    in += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TempOutput::Commit(std::string* err) {
  int fd = static_cast<int>(handle_);
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0777 & ~mask) != 0) {
    *err = Failure("cannot write", target_, errno);
    return false;
  }
  handle_ = -1;
  if (::close(fd) != 0) {
    *err = Failure("cannot write", target_, errno);
    return false;
  }
  if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    *err = Failure("cannot replace", target_, errno);
    return false;
  }
  SetPendingTemp(std::string());
  temp_path_.clear();
  return true;
}

void TempOutput::Discard() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());
    SetPendingTemp(std::string());
    temp_path_.clear();
  }
}

std::string ExecutableDir() {
  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) return std::string();
  std::string exe(path, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

unsigned UsableProcessors() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

struct ProcessorSet {
#if defined(__linux__)
  cpu_set_t set;
#endif
};

ProcessorStay::ProcessorStay() {
#if defined(__linux__)
  std::unique_ptr<ProcessorSet> before(new ProcessorSet);
  const int here = sched_getcpu();
  if (here < 0 || pthread_getaffinity_np(pthread_self(), sizeof before->set, &before->set) != 0) {
    return;
  }
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(here, &only);
  if (pthread_setaffinity_np(pthread_self(), sizeof only, &only) == 0) before_ = std::move(before);
#endif
}

ProcessorStay::~ProcessorStay() {
#if defined(__linux__)
  if (before_) pthread_setaffinity_np(pthread_self(), sizeof before_->set, &before_->set);
#endif
}

uint8_t* AllocateBuffer(size_t size) {
  constexpr size_t Huge = size_t{2} << 20;
  void* buffer = nullptr;
  if (size < Huge) {
    buffer = std::malloc(size);
    if (buffer == nullptr) throw std::bad_alloc();
    return static_cast<uint8_t*>(buffer);
  }
  if (posix_memalign(&buffer, Huge, size) != 0) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  // Advice only: without huge pages the buffer works as well, more slowly.
  madvise(buffer, size / Huge * Huge, MADV_HUGEPAGE);
#endif
  return static_cast<uint8_t*>(buffer);
}

void FreeBuffer(uint8_t* buffer) { std::free(buffer); }

double MachineLoad() {
#if defined(__linux__)
  // The fourth field of /proc/loadavg, "running/total", counts the threads
  // runnable at this moment, the reader among them. The averages beside it
  // trail by a minute: a run of packs would see its own earlier runs as load.
  // One look may catch a thread that runs for a moment (a kernel worker, the
  // shell that started us): the least of three looks, 0.3 ms apart, counts
  // only those that keep running.
  int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    unsigned least = UINT_MAX;
    for (int look = 0; look < 3; ++look) {
      if (look > 0) {
        const struct timespec pause = {0, 300 * 1000};
        nanosleep(&pause, nullptr);
      }
      char text[128];
      ssize_t n = pread(fd, text, sizeof text - 1, 0);
      if (n <= 0) break;
      text[n] = '\0';
      double averages[3];
      unsigned running = 0;
      if (std::sscanf(text, "%lf %lf %lf %u/", &averages[0], &averages[1], &averages[2],
                      &running) != 4 ||
          running == 0) {
        break;
      }
      least = running - 1 < least ? running - 1 : least;
    }
    close(fd);
    if (least != UINT_MAX) return least;
  }
#endif
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? load[0] : 0;
}

bool IsRegularFile(const std::string& path) { return LookAt(path).regular; }

bool IsFolder(const std::string& path) { return LookAt(path).folder; }

PathLook LookAt(const std::string& path) {
  PathLook look;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    look.error = errno;
    return look;
  }
  look.found = true;
  look.folder = S_ISDIR(st.st_mode);
  look.regular = S_ISREG(st.st_mode);
  look.mode = static_cast<unsigned>(st.st_mode);
  look.size = static_cast<uint64_t>(st.st_size);
  look.uid = static_cast<uint64_t>(st.st_uid);
  return look;
}

bool ReadFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* err) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    *err = Failure("cannot read the folder", path, errno);
    return false;
  }
  const std::string prefix = path.back() == '/' ? path : path + "/";
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string full = prefix + name;
    struct stat st;
    FolderEntry::Kind kind = FolderEntry::Other;
    if (lstat(full.c_str(), &st) != 0) {
      kind = FolderEntry::Other;
    } else if (S_ISREG(st.st_mode)) {
      kind = FolderEntry::File;
    } else if (S_ISDIR(st.st_mode)) {
      kind = FolderEntry::Folder;
    } else if (S_ISLNK(st.st_mode)) {
      kind = stat(full.c_str(), &st) != 0 ? FolderEntry::LinkToOther
             : S_ISREG(st.st_mode)        ? FolderEntry::LinkToFile
             : S_ISDIR(st.st_mode)        ? FolderEntry::LinkToFolder
                                          : FolderEntry::LinkToOther;
    }
    entries->push_back({name, kind});
    errno = 0;
  }
  int error = errno;
  closedir(dir);
  if (error != 0) {
    *err = Failure("cannot read the folder", path, error);
    return false;
  }
  return true;
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv, argv + argc);
}
