// tuvolink: packs a program and its data files behind the extractor stub
// tuvo.exe into one self-extracting target file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_list.h"
#include "link.h"
#include "platform.h"

namespace {

void PrintBanner() {
  std::printf("\nTuvo V1.0\n");
  std::printf("Self-extracting packages from a program and its data files");
  std::printf("\n\n");
}

void PrintUsage() {
  std::printf("USAGE: tuvolink OutFile file1 file2 file3 ...\n");
  std::printf("       tuvolink OutFile filelist.txt\n");
  std::printf("       the first file in the list MUST be the executable\n\n");
}

int Fail(const std::string& err) {
  std::fflush(stdout);
  std::fprintf(stderr, "tuvolink: %s\n", err.c_str());
  return 1;
}

int Run(int argc, char* argv[]) {
  PrintBanner();
  if (argc < 3) {
    PrintUsage();
    return 0;
  }
  LinkList = nullptr;
  std::string err;
  if (!CompileFileList(argc, argv, &err)) return Fail(err);
  if (!LinkIt(argv[1], &err)) return Fail(err);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  PrepareSignals();
  int status = Run(argc, argv);
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
    std::fprintf(stderr, "tuvolink: cannot write to standard output: %s\n", std::strerror(errno));
    status = 1;
  }
  return status;
}
