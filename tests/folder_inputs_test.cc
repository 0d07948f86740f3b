// Folders named as inputs: the files under them, their names and order, and
// the entries a walk refuses.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_util.h"

namespace {

struct Tree {
  Tree() {
    WriteFile(dir / "tuvo.exe", std::string("STUB"));
    WriteFile(dir / "prog", std::string("prog"));
    for (const char* folder : {"data", "data/sub", "data/empty"}) {
      mkdir((dir / folder).c_str(), 0755);
    }
    // "a.txt" sorts before "a/...", '.' being below '/'; "B" before "a".
    mkdir((dir / "data/a").c_str(), 0755);
    WriteFile(dir / "data/a/x", std::string("ax"));
    WriteFile(dir / "data/a.txt", std::string("a.txt"));
    WriteFile(dir / "data/B", std::string("B"));
    WriteFile(dir / "data/sub/\xc3\xa9t\xc3\xa9", std::string("summer"));
    EXPECT_EQ(symlink("../B", (dir / "data/sub/link").c_str()), 0);
  }
  RunResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), TUVOLINK_BIN);
    return RunCommand(args, dir.path());
  }
  std::vector<std::string> Names(const std::string& package) const {
    std::vector<Entry> entries;
    std::string err;
    EXPECT_TRUE(DecodePackage(ReadFile(dir / package), &entries, &err)) << err;
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(e.name);
    return names;
  }
  TempDir dir;
};

const std::vector<std::string> Sorted = {"data/B", "data/a.txt", "data/a/x", "data/sub/link",
                                         "data/sub/\xc3\xa9t\xc3\xa9"};

TEST(FolderInputs, PackEveryFileSortedAsIfNamedOneByOne) {
  Tree t;
  std::vector<std::string> by_hand = {"by_hand.exe", "prog"};
  by_hand.insert(by_hand.end(), Sorted.begin(), Sorted.end());
  ASSERT_EQ(t.Run(by_hand).status, 0);
  // Records come in the reverse order of naming, as for every input.
  std::vector<std::string> expected(Sorted.rbegin(), Sorted.rend());
  expected.push_back("prog");
  EXPECT_EQ(t.Names("by_hand.exe"), expected);
  // The folder as an argument, with a trailing slash, and in a list file.
  WriteFile(t.dir / "list.txt", std::string("prog\r\ndata\r\n"));
  for (std::vector<std::string> args : {std::vector<std::string>{"o.exe", "prog", "data"},
                                        {"o.exe", "prog", "data/"},
                                        {"o.exe", "list.txt"}}) {
    RunResult r = t.Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(t.dir / "o.exe"), ReadFile(t.dir / "by_hand.exe")) << args[1];
  }
  // The link's record holds the file it leads to.
  std::vector<Entry> entries;
  std::string err;
  ASSERT_TRUE(DecodePackage(ReadFile(t.dir / "o.exe"), &entries, &err)) << err;
  EXPECT_EQ(entries[1].name, "data/sub/link");
  EXPECT_EQ(entries[1].data, ToBytes("B"));
}

TEST(FolderInputs, RefuseWhatIsNotARegularFileAndOverlongNames) {
  Tree t;
  ASSERT_EQ(symlink("../a", (t.dir / "data/sub/folder_link").c_str()), 0);
  RunResult r = t.Run({"o.exe", "prog", "data"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "tuvolink: cannot pack 'data/sub/folder_link': a symbolic link to a folder, which is "
            "not followed\n");
  unlink((t.dir / "data/sub/folder_link").c_str());

  ASSERT_EQ(symlink("nowhere", (t.dir / "data/broken").c_str()), 0);
  r = t.Run({"o.exe", "prog", "data"});
  EXPECT_EQ(r.err,
            "tuvolink: cannot pack 'data/broken': a symbolic link that leads to no regular "
            "file\n");
  unlink((t.dir / "data/broken").c_str());

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socket_path = t.dir / "data/sock";
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  r = t.Run({"o.exe", "prog", "data"});
  EXPECT_EQ(r.err, "tuvolink: cannot pack 'data/sock': neither a regular file nor a folder\n");
  close(fd);
  unlink(socket_path.c_str());

  // 255 characters in a folder name fit the file system; with "data/" and
  // "/f" the name is 262 long.
  std::string deep = "data/" + std::string(255, 'd');
  mkdir((t.dir / deep).c_str(), 0755);
  WriteFile(t.dir / (deep + "/f"), std::string("f"));
  r = t.Run({"o.exe", "prog", "data"});
  EXPECT_EQ(r.err, "tuvolink: name longer than 259 characters: '" + deep + "/f'\n");
  EXPECT_FALSE(FileExists(t.dir / "o.exe"));
}

}  // namespace
