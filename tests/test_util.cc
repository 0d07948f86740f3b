// The test fixtures over POSIX: mkdtemp, removal with the *at calls,
// fork/exec with the output in files, and the package model.
#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "format/histogram.h"
#include "reference_coder.h"
#include "seal_model.h"

extern char** environ;

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string DefaultParent() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && *base != 0 ? base : "/tmp";
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void CollectTree(const std::string& root, const std::string& prefix, std::set<std::string>* out) {
  for (const std::string& name : FolderNames(root + "/" + prefix)) {
    std::string relative = prefix + name;
    if (IsFolder(root + "/" + relative)) {
      out->insert(relative + "/");
      CollectTree(root, relative + "/", out);
    } else {
      out->insert(relative);
    }
  }
}

}  // namespace

std::vector<std::string> FolderNames(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() : TempDir(DefaultParent()) {}

TempDir::TempDir(const std::string& parent) {
  std::string templ = parent + "/tuvolink_test.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) Fail("mkdtemp in " + parent);
  path_ = templ;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::List() const { return FolderNames(path_); }

std::string MemoryFolder() {
  return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : DefaultParent();
}

void RemoveTree(const std::string& path) {
  if (IsFolder(path)) {
    chmod(path.c_str(), 0700);  // so that read-only folders go too
    for (const std::string& name : FolderNames(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void WriteFile(const std::string& path, const Bytes& data, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot create " + path);
  for (size_t at = 0; at < data.size();) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    if (n <= 0) Fail("cannot write " + path);
    at += static_cast<size_t>(n);
  }
  if (fchmod(fd, mode) != 0 || close(fd) != 0) Fail("cannot close " + path);
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  WriteFile(path, ToBytes(text), mode);
}

Bytes ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + path);
  struct stat st;
  // One byte more than the size, so that the end shows without growing.
  Bytes data(fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 65536);
  size_t used = 0;
  for (;;) {
    if (used == data.size()) data.resize(2 * data.size());
    ssize_t n = read(fd, data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot read " + path);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(used);
  return data;
}

std::string ReadText(const std::string& path) {
  Bytes data = ReadFile(path);
  return std::string(data.begin(), data.end());
}

void MakeSparseFile(const std::string& path, uint64_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot create " + path);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 || close(fd) != 0) Fail("cannot size " + path);
}

void MakeDirs(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make " + prefix);
    if (at == std::string::npos) return;
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> out;
  CollectTree(root, "", &out);
  return out;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

Bytes RandomBytes(size_t size, uint32_t seed, unsigned alphabet) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng() % alphabet);
  return data;
}

Bytes RandomRuns(size_t size, const std::vector<size_t>& lengths, unsigned values, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes data;
  while (data.size() < size) {
    size_t n = lengths[rng() % lengths.size()];
    data.insert(data.end(), n, static_cast<uint8_t>(rng() % values));
  }
  data.resize(size);
  return data;
}

// ---------------------------------------------------------------------------
// Running commands.

namespace {

// The child's side of Process::Start: only async-signal-safe calls.
[[noreturn]] void Exec(char* const* argv, char* const* envp, const RunOptions& options, int in,
                       int out, int err) {
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGXFSZ}) signal(sig, SIG_DFL);
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
  if (chdir(options.cwd.c_str()) != 0) _exit(121);
  if (options.max_file_size != 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {options.max_file_size, options.max_file_size};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(122);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

// This environment with `extra` (NAME=value) added or replacing.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** p = environ; *p != nullptr; ++p) {
    std::string entry = *p;
    std::string key = entry.substr(0, entry.find('=') + 1);
    bool replaced = std::any_of(extra.begin(), extra.end(), [&key](const std::string& e) {
      return e.compare(0, key.size(), key) == 0;
    });
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Waits up to `seconds` (no limit when 0) for `pid` to end; false on
// timeout. Without pidfd_open (Linux before 5.3) it waits without a limit.
bool AwaitExit(pid_t pid, double seconds) {
  int fd = seconds > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (fd < 0) return true;
  pollfd pfd = {fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, static_cast<int>(seconds * 1000));
  } while (ready < 0 && errno == EINTR);
  close(fd);
  return ready > 0;
}

}  // namespace

Process::~Process() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Process::Start(const std::vector<std::string>& argv, const RunOptions& options) {
  if (pid_ > 0) throw std::logic_error("the process has started already");
  WriteFile(scratch_ / "in", options.input);
  int in = open((scratch_ / "in").c_str(), O_RDONLY | O_CLOEXEC);
  int out = open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int err = open((scratch_ / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (in < 0 || out < 0 || err < 0) Fail("cannot open the output files");
  std::vector<std::string> env = Environment(options.env);
  std::vector<char*> arg_pointers = Pointers(argv), env_pointers = Pointers(env);
#ifdef __GLIBC__
  // The child is charged with the memory this process holds when it forks:
  // give back what malloc keeps free.
  malloc_trim(0);
#endif
  pid_ = fork();
  if (pid_ == 0) Exec(arg_pointers.data(), env_pointers.data(), options, in, out, err);
  close(in);
  close(out);
  close(err);
  if (pid_ < 0) Fail("fork");
  setpgid(pid_, pid_);  // also here, so that Kill and the timeout never race the child
  timeout_seconds_ = options.timeout_seconds;
}

void Process::Kill(int signal_number) const {
  if (pid_ > 0) kill(pid_, signal_number);
}

RunResult Process::Wait() {
  RunResult result;
  if (pid_ <= 0) throw std::logic_error("no process to wait for");
  if (!AwaitExit(pid_, timeout_seconds_)) {
    result.timed_out = true;
    kill(-pid_, SIGKILL);
  }
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result.max_rss_kib = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = ReadText(scratch_ / "out");
  result.err = ReadText(scratch_ / "err");
  return result;
}

RunOptions InFolder(const std::string& cwd, const std::vector<std::string>& env) {
  RunOptions options;
  options.cwd = cwd;
  options.env = env;
  return options;
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  Process process;
  process.Start(argv, options);
  return process.Wait();
}

RunResult RunCommand(const std::vector<std::string>& argv, const std::string& cwd,
                     uint64_t max_file_size) {
  RunOptions options;
  options.cwd = cwd;
  options.max_file_size = max_file_size;
  return RunProgram(argv, options);
}

// ---------------------------------------------------------------------------
// Packages.

const Bytes& NativeStub() {
  static const Bytes stub = ReadFile(TUVO_STUB_BIN);
  return stub;
}

namespace {

void AppendRecord(const std::string& name, const Bytes& data, uint8_t crunch, Bytes* out) {
  out->insert(out->end(), name.begin(), name.end());
  out->push_back(0);
  out->push_back(crunch);
  reference::Encoder::Code(data.data(), data.size(), crunch,
                           [out](uint8_t b) { out->push_back(b); });
}

}  // namespace

Bytes RecordOf(const std::string& name, const Bytes& data, uint8_t crunch) {
  Bytes record;
  AppendRecord(name, data, crunch, &record);
  return record;
}

Bytes RecordOf(const std::string& name, const Bytes& data) {
  return RecordOf(name, data, reference::CrunchByte(data.data(), data.size()));
}

Bytes RecordOf(const std::string& name, const std::string& text) {
  return RecordOf(name, ToBytes(text));
}

Bytes TrailerOf(uint32_t start) {
  Bytes trailer(TrailerSize);
  PutTrailer(start, trailer.data());
  return trailer;
}

Bytes PackageOf(const Bytes& stub, const Bytes& records, uint32_t start) {
  return Concat({stub, records, TrailerOf(start)});
}

Bytes PackageOf(const Bytes& stub, const Bytes& records) {
  return PackageOf(stub, records, static_cast<uint32_t>(stub.size()));
}

Bytes ModelPackage(const Bytes& stub, const PackedFiles& files) {
  Bytes package = stub;
  size_t size = stub.size() + TrailerSize;
  for (const PackedFile& file : files) size += file.name.size() + 4 + file.data.size() * 101 / 100;
  package.reserve(size);
  for (size_t i = files.size(); i-- > 0;) {
    const Bytes& data = files[i].data;
    AppendRecord(files[i].name, data, reference::CrunchByte(data.data(), data.size()), &package);
  }
  Bytes trailer = TrailerOf(static_cast<uint32_t>(stub.size()));
  package.insert(package.end(), trailer.begin(), trailer.end());
  SealLikeThePacker(&package, stub.size());
  return package;
}

std::string ModelConsole(const PackedFiles& files) {
  std::string text =
      "\nTuvo V1.0\nSelf-extracting packages from a program and its data files\n\n"
      "Linking...\nAdding Executable...\n";
  for (size_t i = files.size(); i-- > 0;) {
    const Bytes& data = files[i].data;
    text += "Processing " + files[i].name + "...\n  CrunchByte: " +
            std::to_string(reference::CrunchByte(data.data(), data.size())) +
            "\n  Compressing...\n";
  }
  return text + "Terminating Target...\n";
}

RunResult RunPacker(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = {TUVOLINK_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, options);
}

RunResult PackFiles(const std::string& dir, const std::string& target, const PackedFiles& files,
                    const std::vector<std::string>& env) {
  std::vector<std::string> args = {target};
  for (const PackedFile& file : files) {
    size_t slash = file.name.find_last_of('/');
    if (slash != std::string::npos) MakeDirs(dir + "/" + file.name.substr(0, slash));
    WriteFile(dir + "/" + file.name, file.data);
    args.push_back(file.name);
  }
  return RunPacker(args, InFolder(dir, env));
}

bool MemorySource::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (offset > data_.size() || size > data_.size() - offset) return false;
  if (size > 0) std::memcpy(buffer, data_.data() + offset, size);
  return true;
}

namespace {

// The bytes of a package that the caller keeps, without a copy.
// Keeps track of the reader's read ahead, as a source with a reading thread
// would need it finished before the source goes away.
class ViewSource : public PackageSource {
 public:
  explicit ViewSource(const Bytes& data) : data_(data) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset == ahead_offset_) ahead_ = false;
    if (offset > data_.size() || size > data_.size() - offset) return false;
    if (size > 0) std::memcpy(buffer, data_.data() + offset, size);
    return true;
  }
  void ReadAhead(uint64_t offset, void*, size_t) override {
    ahead_ = true;
    ahead_offset_ = offset;
  }
  void Settle() override { ahead_ = false; }
  bool reading_ahead() const { return ahead_; }

 private:
  const Bytes& data_;
  bool ahead_ = false;
  uint64_t ahead_offset_ = 0;
};

class VectorSink : public DecodeSink {
 public:
  explicit VectorSink(Bytes* out) : out_(out) {}
  bool Put(const uint8_t* data, size_t size) override {
    out_->insert(out_->end(), data, data + size);
    return true;
  }

 private:
  Bytes* out_;
};

}  // namespace

bool DecodePackage(const Bytes& package, std::vector<Entry>* entries, std::string* err) {
  ViewSource source(package);
  PackageReader reader;
  ErrorLine error;
  if (!reader.Open(&source, package.size(), &error)) {
    *err = error.text;
    return false;
  }
  for (;;) {
    Entry entry;
    VectorSink sink(&entry.data);
    RecordInfo info;
    PackageReader::Status status = reader.Next(&info, &sink, &error);
    if (status != PackageReader::Record && source.reading_ahead()) {
      *err = "the reader stopped with a read ahead still running";
      return false;
    }
    if (status == PackageReader::End) return true;
    if (status == PackageReader::Error) {
      *err = error.text;
      return false;
    }
    entry.name = info.name;
    entry.crunch = info.crunch;
    if (info.decoded_size != entry.data.size()) {
      *err = "decoded size disagrees with the data";
      return false;
    }
    entries->push_back(entry);
  }
}
