// Test helpers over POSIX: mkdtemp, fork/exec with pipes, recursive removal.
#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "format/package_reader.h"

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tuvolink_test.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& text) { WriteFile(path, ToBytes(text)); }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

RunResult RunCommand(const std::vector<std::string>& argv, const std::string& cwd,
                     uint64_t max_file_size) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    if (max_file_size != 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {max_file_size, max_file_size};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.max_rss_kib = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

namespace {

class MemorySource : public PackageSource {
 public:
  explicit MemorySource(const Bytes& data) : data_(data) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > data_.size() || size > data_.size() - offset) return false;
    if (size > 0) std::memcpy(buffer, data_.data() + offset, size);
    return true;
  }

 private:
  const Bytes& data_;
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
  MemorySource source(package);
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
