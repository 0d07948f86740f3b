// tuvolink: packs a program and its data files behind the extractor stub
// tuvo.exe into one self-extracting target file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  PrepareSignals();
  std::vector<std::string> utf8 = Utf8Arguments(argc, argv);
  std::vector<char*> args;
  args.reserve(utf8.size() + 1);
  for (std::string& arg : utf8) args.push_back(arg.data());
  args.push_back(nullptr);
  int status = Tuvolink(static_cast<int>(utf8.size()), args.data());
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
    std::fprintf(stderr, "tuvolink: cannot write to standard output: %s\n", std::strerror(errno));
    status = 1;
  }
  return status;
}
