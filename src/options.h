// The packer's command line: the options that may come before OutFile, and
// the texts of the banner, the usage, the help and the version.
#ifndef TUVOLINK_OPTIONS_H_
#define TUVOLINK_OPTIONS_H_

#include <cstdio>
#include <string>

struct Options {
  bool help = false;
  bool version = false;
  bool quiet = false;  // no progress lines
  std::string stub;    // empty (look it up), "windows", "linux" or a path
  int first = 1;       // index in argv of OutFile, argc when there is none
};

// Reads the options: the arguments before OutFile that start with '-', a lone
// "-" excepted; "--" ends them, so that OutFile may start with a dash. Returns
// false and sets *err for an unknown option or a --stub without its value.
bool ParseOptions(int argc, char* argv[], Options* options, std::string* err);

void PrintBanner(std::FILE* out);
// The usage text that a run without inputs prints.
void PrintUsage(std::FILE* out);
// The usage and the options, for --help.
void PrintHelp(std::FILE* out);
void PrintVersion(std::FILE* out);

#endif  // TUVOLINK_OPTIONS_H_
