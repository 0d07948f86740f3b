// The stub's fault paths, end to end: signals it inherited, a relative
// TMPDIR, a program that locks its folder against cleanup, extraction into a
// folder that already holds files, names that reach the terminal, and a stub
// that is killed outright.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
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

std::string ToText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Runs `command` (a package and its arguments) through env(1), which first
// applies `settings` (NAME=value, --ignore-signal=SIG).
RunResult RunWith(const std::vector<std::string>& settings, const std::vector<std::string>& command,
                  const std::string& cwd) {
  std::vector<std::string> argv = {"/usr/bin/env"};
  argv.insert(argv.end(), settings.begin(), settings.end());
  argv.insert(argv.end(), command.begin(), command.end());
  return RunCommand(argv, cwd);
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
    EXPECT_TRUE(FolderNames(dir / "tmp").empty()) << name;
  }
}

// TMPDIR=rel: the program runs from inside the folder, so the folder is
// made absolute before anything refers to it.
TEST(StubFaults, TakesARelativeTmpdir) {
  TempDir dir;
  mkdir((dir / "rel").c_str(), 0700);
  std::string package = Pack(dir, {{"prog", "#!/bin/sh\necho \"$0\"\npwd\n"}});
  RunResult r = RunWith({"TMPDIR=rel//"}, {package}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string program = r.out.substr(0, r.out.find('\n'));
  std::string folder = r.out.substr(program.size() + 1);
  EXPECT_EQ(folder.rfind(dir / "rel/tuvo-", 0), 0u) << r.out;
  EXPECT_EQ(program + "\n", folder.substr(0, folder.size() - 1) + "/prog\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(FolderNames(dir / "rel").empty());
}

// A program may take the rights to its own folder away; the stub, as the
// same user, gives them back while it removes the folder. Root ignores
// rights, so as root the package runs as nobody.
TEST(StubFaults, RemovesAFolderWhoseRightsTheProgramTookAway) {
  std::vector<std::string> as_user;
  if (geteuid() == 0) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed to run as nobody";
    as_user = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  }
  const char* const scripts[] = {
      "mkdir -p sub/deeper && touch sub/deeper/f && chmod 000 sub",
      "mkdir -p dir/inner && touch dir/f dir/inner/g && chmod 300 dir",
      "mkdir -p sub && touch sub/f && chmod 500 sub . ",
  };
  for (const char* script : scripts) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    mkdir((dir / "tmp").c_str(), 0777);
    chmod((dir / "tmp").c_str(), 0777);
    std::string package = Pack(dir, {{"prog", std::string("#!/bin/sh\nset -e\n") + script + "\n"}});
    std::vector<std::string> command = as_user;
    command.insert(command.end(), {"/usr/bin/env", "TMPDIR=" + (dir / "tmp"), package});
    RunResult r = RunCommand(command, "/");
    EXPECT_EQ(r.status, 0) << script << ": " << r.err;
    EXPECT_EQ(r.err, "") << script;
    EXPECT_TRUE(FolderNames(dir / "tmp").empty()) << script;
  }
}

// Names come from the package: an escape sequence in one must reach the
// terminal escaped, whatever message it is part of.
TEST(StubFaults, EscapesNamesInEveryMessage) {
  const std::string evil = "\x1b]0;owned\x07\x1b[2J";
  struct Case {
    const char* what;
    Files files;
    uint64_t max_file_size;
    bool extract;  // into dest/, where a file named `evil` is in the way
  } cases[] = {
      {"a program that cannot run", {{evil + "prog", "plain text"}}, 0, false},
      {"a file that cannot be written",
       {{"prog", "#!/bin/sh\n"}, {evil, std::string(5000, 'x')}},
       4096,
       false},
      {"a file in the way", {{"prog", "#!/bin/sh\n"}, {evil + "/f", "x"}}, 0, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    mkdir((dir / "tmp").c_str(), 0700);
    std::string package = Pack(dir, c.files);
    mkdir((dir / "dest").c_str(), 0700);
    WriteFile(dir / ("dest/" + evil), "in the way");
    std::vector<std::string> command = {"/usr/bin/env", "TMPDIR=" + (dir / "tmp"), package};
    if (c.extract) command = {package, "--tuvo-extract", dir / "dest"};
    RunResult r = RunCommand(command, dir.path(), c.max_file_size);
    EXPECT_NE(r.status, 0) << c.what;
    ASSERT_FALSE(r.err.empty()) << c.what;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(r.err.find('\x07'), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("\\x1b]0;owned\\x07"), std::string::npos) << c.what << ": " << r.err;
  }
}

// Starts `argv` with no input or output and returns its process id.
pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits up to five seconds for `test` to hold.
template <typename Test>
bool Eventually(Test test) {
  for (int i = 0; i < 500; ++i) {
    if (test()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return test();
}

// True when process `pid` has ended (a zombie counts: it runs no more).
bool Ended(pid_t pid) {
  std::string stat;
  try {
    Bytes bytes = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    stat.assign(bytes.begin(), bytes.end());
  } catch (const std::exception&) {
    return true;
  }
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

// SIGKILL cannot be caught: the program dies with the stub, and the next
// run removes the folder left behind, but never a folder whose stub lives,
// one without the mark of a stub that locks it, or another user's.
TEST(StubFaults, ClearsUpAfterAStubKilledOutright) {
  TempDir dir;
  std::string tmp = dir / "tmp";
  mkdir(tmp.c_str(), 0700);
  std::string package = Pack(
      dir, {{"prog", "#!/bin/sh\n[ -z \"$1\" ] && exit 0\necho $$ > \"$1\"\nexec sleep 30\n"}});
  auto start = [&](const std::string& mark) {
    pid_t stub = Spawn({"/usr/bin/env", "TMPDIR=" + tmp, package, mark});
    EXPECT_TRUE(Eventually([&] { return FileExists(mark) && !ReadFile(mark).empty(); }));
    return std::make_pair(stub, static_cast<pid_t>(std::stoi(ToText(ReadFile(mark)))));
  };
  // Folders a run must leave alone.
  for (const char* name : {"tuvo-nomark", "tuvo-marked-longer", "tuvo-others"}) {
    mkdir((dir / ("tmp/" + std::string(name))).c_str(), 0700);
    chmod((dir / ("tmp/" + std::string(name))).c_str(), 01700);
  }
  chmod((tmp + "/tuvo-nomark").c_str(), 0700);
  bool others = chown((tmp + "/tuvo-others").c_str(), 65534, 65534) == 0;
  std::pair<pid_t, pid_t> killed = start(dir / "mark1");
  std::vector<std::string> before = FolderNames(tmp);
  kill(killed.first, SIGKILL);
  waitpid(killed.first, nullptr, 0);
  EXPECT_TRUE(Eventually([&] { return Ended(killed.second); })) << "the program outlived its stub";
  std::pair<pid_t, pid_t> live = start(dir / "mark2");
  std::vector<std::string> with_live = FolderNames(tmp);
  RunResult r = RunWith({"TMPDIR=" + tmp}, {package}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected = {"tuvo-marked-longer", "tuvo-nomark", "tuvo-others"};
  if (!others) expected.pop_back();
  for (const std::string& name : with_live) {
    bool is_live = std::find(before.begin(), before.end(), name) == before.end();
    if (is_live) expected.push_back(name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderNames(tmp), expected);
  kill(live.first, SIGTERM);
  int status = 0;
  waitpid(live.first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
}

// Everything below `root` with its content: folders end in '/', links show
// their target after "->".
std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& at = "") {
  std::map<std::string, std::string> out;
  for (const std::string& name : FolderNames(root + "/" + at)) {
    std::string path = at + name, full = root + "/" + path;
    struct stat st;
    lstat(full.c_str(), &st);
    char target[256] = {};
    if (S_ISLNK(st.st_mode)) {
      ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
      out[path] = "->" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      out[path + "/"] = "";
      for (const auto& inner : Snapshot(root, path + "/")) out.insert(inner);
    } else {
      out[path] = ToText(ReadFile(full));
    }
  }
  return out;
}

// --tuvo-extract into a folder that holds files: anything at a file's path,
// or anything but a folder where a folder is needed, is a clash, and any
// clash refuses the whole package before the first write.
TEST(StubFaults, RefusesToExtractOverAnything) {
  struct Case {
    const char* what;
    Files files;  // besides the program
    std::function<void(const std::string&)> prepare;
  } cases[] = {
      {"a folder and a file, as reported",
       {{"b", "new b"}, {"a", "new a"}},
       [](const std::string& d) {
         mkdir((d + "/b").c_str(), 0755);
         WriteFile(d + "/a", "old a");
       }},
      {"a file",
       {{"x/f", "new"}},
       [](const std::string& d) {
         mkdir((d + "/x").c_str(), 0755);
         WriteFile(d + "/x/f", "old");
       }},
      {"a link to nowhere",
       {{"f", "new"}},
       [](const std::string& d) { symlink("missing", (d + "/f").c_str()); }},
      {"a file where a folder goes",
       {{"x/f", "new"}},
       [](const std::string& d) { WriteFile(d + "/x", "old"); }},
      {"a link to a folder where a folder goes",
       {{"x/f", "new"}},
       [](const std::string& d) {
         mkdir((d + "/real").c_str(), 0755);
         symlink("real", (d + "/x").c_str());
       }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Files files = {{"prog", "#!/bin/sh\n"}};
    files.insert(files.end(), c.files.begin(), c.files.end());
    std::string package = Pack(dir, files);
    std::string dest = dir / "dest";
    mkdir(dest.c_str(), 0755);
    c.prepare(dest);
    auto before = Snapshot(dest);
    RunResult r = RunCommand({package, "--tuvo-extract", dest}, dir.path());
    EXPECT_EQ(r.status, 125) << c.what;
    EXPECT_NE(r.err.find("cannot extract"), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(Snapshot(dest), before) << c.what;
  }
}

// A failure halfway through an extraction into an existing folder takes
// away what the run made, and only that; into a new folder, the folder
// goes too, with the parents the run made for it.
TEST(StubFaults, TakesBackAFailedExtraction) {
  TempDir dir;
  // Packed in reverse: old/new3, keep/new1 and made/deep/new2 come before
  // big, which cannot be written.
  std::string package = Pack(dir, {{"prog", "#!/bin/sh\n"},
                                   {"big", std::string(300000, 'b')},
                                   {"made/deep/new2", "2"},
                                   {"keep/new1", "1"},
                                   {"old/new3", "3"}});
  std::string dest = dir / "dest";
  mkdir(dest.c_str(), 0755);
  mkdir((dest + "/keep").c_str(), 0755);
  mkdir((dest + "/old").c_str(), 0755);
  WriteFile(dest + "/old/file", "old");
  auto before = Snapshot(dest);
  RunResult r = RunCommand({package, "--tuvo-extract", dest}, dir.path(), 100000);
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("cannot write 'big'"), std::string::npos) << r.err;
  EXPECT_EQ(Snapshot(dest), before);
  r = RunCommand({package, "--tuvo-extract", dir / "n1/n2/dest"}, dir.path(), 100000);
  EXPECT_EQ(r.status, 125);
  EXPECT_FALSE(FileExists(dir / "n1")) << r.err;
}

}  // namespace
