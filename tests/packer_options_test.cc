// The packer's options and its pack-time checks, end to end: what each option
// prints and picks, the mistakes refused before anything is written, and the
// warnings that leave the package as it would be.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

struct Folder {
  Folder() {
    WriteFile(dir / "tuvo.exe", std::string("STUB"));
    WriteFile(dir / "prog", std::string("#!/bin/sh\necho hi\n"));
    WriteFile(dir / "data", std::string("data"));
  }
  RunResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), TUVOLINK_BIN);
    return RunCommand(args, dir.path());
  }
  TempDir dir;
};

// The lines of `err` that start with "tuvolink: warning: ", without it.
std::vector<std::string> Warnings(const std::string& err) {
  std::vector<std::string> found;
  const std::string tag = "tuvolink: warning: ";
  for (size_t at = 0; (at = err.find(tag, at)) != std::string::npos;) {
    size_t end = err.find('\n', at);
    found.push_back(err.substr(at + tag.size(), end - at - tag.size()));
    at = end;
  }
  return found;
}

TEST(PackerOptions, HelpVersionAndUsageExitZeroAndWriteNothing) {
  Folder f;
  RunResult help = f.Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.substr(0, Banner.size() + Usage.size()), Banner + Usage);
  EXPECT_NE(help.out.find("--stub PATH"), std::string::npos) << help.out;
  RunResult version = f.Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.find(Banner + "tuvolink 1.0\n"), 0u) << version.out;
  // Options and fewer than two names after them: the usage, status 0.
  RunResult usage = f.Run({"-q", "out.exe"});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out, Banner + Usage);
  EXPECT_EQ(f.dir.List(), (std::vector<std::string>{"data", "prog", "tuvo.exe"}));
}

TEST(PackerOptions, QuietWritesTheSamePackageWithoutProgressLines) {
  Folder f;
  ASSERT_EQ(f.Run({"loud.exe", "prog", "data"}).status, 0);
  RunResult quiet = f.Run({"--quiet", "quiet.exe", "prog", "data"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, Banner);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(ReadFile(f.dir / "quiet.exe"), ReadFile(f.dir / "loud.exe"));
}

TEST(PackerOptions, DoubleDashEndsTheOptionsAndUnknownOnesFail) {
  Folder f;
  RunResult dash = f.Run({"-q", "--", "-out.exe", "prog", "data"});
  EXPECT_EQ(dash.status, 0) << dash.err;
  EXPECT_TRUE(FileExists(f.dir / "-out.exe"));
  for (std::string option : {"--bogus", "-x", "-out.exe"}) {
    RunResult r = f.Run({option, "out.exe", "prog"});
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_EQ(r.err,
              "tuvolink: unknown option '" + option + "' (see --help; -- ends the options)\n");
  }
  RunResult no_value = f.Run({"--stub"});
  EXPECT_EQ(no_value.status, 1);
  EXPECT_EQ(no_value.err, "tuvolink: the option --stub needs a value (see --help)\n");
  EXPECT_FALSE(FileExists(f.dir / "out.exe"));
}

// A copy of tuvolink in prefix/bin with a Windows and a Linux stub where a
// build or an install puts them.
TEST(PackerOptions, StubChoicesAndTheLineThatNamesTheStub) {
  Folder f;
  for (bool installed : {false, true}) {
    TempDir prefix;
    std::string bin = prefix / "bin", lib = installed ? prefix / "lib/tuvolink" : bin;
    for (std::string dir : {bin, prefix / "lib", lib, lib + "/win64"}) mkdir(dir.c_str(), 0755);
    WriteFile(bin + "/tuvolink", ReadFile(TUVOLINK_BIN));
    chmod((bin + "/tuvolink").c_str(), 0755);
    WriteFile(lib + "/win64/tuvo.exe", std::string("MZwin"));
    WriteFile(lib + "/tuvo.exe", std::string("\x7f"
                                             "ELFlinux"));
    for (std::string system : {"windows", "linux"}) {
      RunResult r =
          RunCommand({bin + "/tuvolink", "--stub", system, "o.exe", "prog", "data"}, f.dir.path());
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
                "tuvolink: using the stub '" + bin + "/" + (installed ? "../lib/tuvolink/" : "") +
                    (system == "windows" ? "win64/" : "") + "tuvo.exe'\n");
      Bytes package = ReadFile(f.dir / "o.exe");
      EXPECT_EQ(Bytes(package.begin(), package.begin() + 2), ToBytes(system == "windows" ? "MZ"
                                                                                         : "\x7f"
                                                                                           "E"));
    }
  }
  // A path; and the current folder's stub draws no line.
  RunResult path = f.Run({"--stub=tuvo.exe", "o.exe", "prog", "data"});
  EXPECT_EQ(path.err, "tuvolink: using the stub 'tuvo.exe'\n");
  RunResult here = f.Run({"o.exe", "prog", "data"});
  EXPECT_EQ(here.err, "");
  // A tuvolink with no stub beside it.
  TempDir alone;
  WriteFile(alone / "tuvolink", ReadFile(TUVOLINK_BIN));
  chmod((alone / "tuvolink").c_str(), 0755);
  RunResult none =
      RunCommand({alone / "tuvolink", "--stub", "windows", "o.exe", "prog", "data"}, f.dir.path());
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("cannot find the Windows stub"), std::string::npos) << none.err;
}

TEST(PackerChecks, NamesNoStubExtractsAndAFolderAsOutFileWriteNothing) {
  Folder f;
  mkdir((f.dir / "sub").c_str(), 0755);
  mkdir((f.dir / "out.exe").c_str(), 0755);
  WriteFile(f.dir / "C:", std::string("x"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"t.exe", "prog", "sub/../data"},
       "no stub extracts the name 'sub/../data': it has a '..' component"},
      {{"t.exe", "prog", "C:"}, "no stub extracts the name 'C:': it names no file"},
      // Checked before any input is read: the missing input is not reported.
      {{"out.exe", "prog", "missing"}, "cannot write 'out.exe': it is a folder"},
  };
  for (const Case& c : cases) {
    RunResult r = f.Run(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, "tuvolink: " + c.message + "\n");
    EXPECT_FALSE(FileExists(f.dir / "t.exe"));
  }
}

TEST(PackerChecks, WarningsLeaveThePackageAsItWouldBe) {
  Folder f;
  WriteFile(f.dir / "con.txt", std::string("c"));
  WriteFile(f.dir / "ab:c", std::string("c"));
  WriteFile(f.dir / "win.exe", std::string("MZ program"));
  WriteFile(f.dir / "pe_stub", std::string("MZ stub"));
  WriteFile(f.dir / "elf_stub", std::string("\x7f"
                                            "ELF stub"));
  WriteFile(f.dir / "list.txt", std::string("prog\n\r\ndata\n\nmore\n"));
  const std::string absolute = f.dir / "data";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> warnings;
  } cases[] = {
      {{"--stub=pe_stub", "o.exe", "win.exe", "con.txt", "ab:c", absolute},
       {"the Windows stub refuses the name 'con.txt': it names a Windows device",
        "the Windows stub refuses the name 'ab:c': it holds a character that Windows does not "
        "allow in names",
        "the name '" + absolute + "' is extracted as '" + absolute.substr(1) + "'"}},
      // The Linux stub extracts those names as they are.
      {{"--stub=elf_stub", "o.exe", "prog", "con.txt", "ab:c"}, {}},
      {{"--stub=pe_stub", "o.exe", "prog", "data"},
       {"the first file, 'prog', does not look like a Windows program (no MZ at its start)"}},
      {{"--stub=elf_stub", "o.exe", "data", "prog"},
       {"the first file, 'data', does not look like a Linux program (neither ELF nor #! at its "
        "start)"}},
      {{"o.exe", "list.txt"},
       {"list file 'list.txt', line 2 is empty: the list ends here, 2 more lines ignored"}},
      {{"o.exe", "", ""}, {"the package holds no program: the list of inputs is empty"}},
  };
  for (const Case& c : cases) {
    unlink((f.dir / "o.exe").c_str());
    RunResult r = f.Run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Warnings(r.err), c.warnings) << r.err;
    EXPECT_TRUE(FileExists(f.dir / "o.exe"));
  }
}

}  // namespace
