// The stub's fault paths, end to end: signals it inherited, a relative
// TMPDIR, a program that locks its folder against cleanup, extraction into a
// folder that already holds files, names that reach the terminal, and a stub
// that is killed outright.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// Writes `files` into dir/src (the first is the program) and packs them with
// the real packer, through a list file, into dir/pkg.
std::string Pack(const TempDir& dir, const Files& files) {
  mkdir((dir / "src").c_str(), 0755);
  std::string list;
  for (const auto& file : files) {
    for (size_t slash = file.first.find('/'); slash != std::string::npos;
         slash = file.first.find('/', slash + 1)) {
      mkdir((dir / ("src/" + file.first.substr(0, slash))).c_str(), 0755);
    }
    WriteFile(dir / ("src/" + file.first), file.second);
    list += file.first + "\n";
  }
  WriteFile(dir / "files.lst", list);
  RunResult packed = RunCommand({TUVOLINK_BIN, dir / "pkg", dir / "files.lst"}, dir / "src");
  EXPECT_EQ(packed.status, 0) << packed.err;
  chmod((dir / "pkg").c_str(), 0755);
  return dir / "pkg";
}

// Runs `command` (a package and its arguments) through env(1), which first
// applies `settings` (NAME=value, --ignore-signal=SIG).
RunResult RunWith(const std::vector<std::string>& settings, const std::vector<std::string>& command,
                  const std::string& cwd) {
  std::vector<std::string> argv = {"/usr/bin/env"};
  argv.insert(argv.end(), settings.begin(), settings.end());
  argv.insert(argv.end(), command.begin(), command.end());
  return RunCommand(argv, cwd);
}

// Names in the folder `path`, sorted; empty when it cannot be read.
std::vector<std::string> Entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* folder = opendir(path.c_str())) {
    while (dirent* entry = readdir(folder)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A program run under nohup (or as a background job) inherits ignored
// signals, and must get them ignored still.
TEST(StubFaults, HandsTheProgramTheSignalsItInheritedAsIgnored) {
  TempDir dir;
  mkdir((dir / "tmp").c_str(), 0700);
  std::string package = Pack(dir, {{"prog", "#!/bin/sh\nkill -$1 $$\necho survived $1\n"}});
  for (const char* name : {"HUP", "INT", "QUIT", "TERM", "XFSZ"}) {
    RunResult r = RunWith({std::string("--ignore-signal=") + name, "TMPDIR=" + (dir / "tmp")},
                          {package, name}, dir.path());
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, std::string("survived ") + name + "\n");
    EXPECT_TRUE(Entries(dir / "tmp").empty()) << name;
  }
}

}  // namespace
