// Parsing the options and printing the fixed texts.
#include "options.h"

#include <cstring>

#include "names.h"

namespace {

// The value of an option that takes one: "--stub=x", or the next argument.
bool TakeValue(int argc, char* argv[], int* i, const char* option, std::string* value,
               std::string* err) {
  const char* arg = argv[*i];
  size_t length = std::strlen(option);
  if (arg[length] == '=') {
    *value = arg + length + 1;
  } else if (*i + 1 < argc) {
    *value = argv[++*i];
  } else {
    *err = std::string("the option ") + option + " needs a value (see --help)";
    return false;
  }
  if (value->empty()) {
    *err = std::string("the option ") + option + " needs a value (see --help)";
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(int argc, char* argv[], Options* options, std::string* err) {
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] == 0) break;
    if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (std::strcmp(arg, "--help") == 0) {
      options->help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      options->version = true;
    } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
      options->quiet = true;
    } else if (std::strncmp(arg, "--stub", 6) == 0 && (arg[6] == 0 || arg[6] == '=')) {
      if (!TakeValue(argc, argv, &i, "--stub", &options->stub, err)) return false;
    } else {
      *err = "unknown option " + Quoted(arg) + " (see --help; -- ends the options)";
      return false;
    }
  }
  options->first = i;
  return true;
}

void PrintBanner(std::FILE* out) {
  std::fprintf(out, "\nTuvo V1.0\n");
  std::fprintf(out, "Self-extracting packages from a program and its data files");
  std::fprintf(out, "\n\n");
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "USAGE: tuvolink OutFile file1 file2 file3 ...\n");
  std::fprintf(out, "       tuvolink OutFile filelist.txt\n");
  std::fprintf(out, "       the first file in the list MUST be the executable\n\n");
}

void PrintHelp(std::FILE* out) {
  PrintUsage(out);
  std::fprintf(out,
               "OPTIONS (before OutFile; -- ends them):\n"
               "  --help         this text\n"
               "  --version      the version and the package format\n"
               "  -q, --quiet    no progress lines\n"
               "  --stub PATH    the stub to use: a file, or 'windows' or 'linux' for the\n"
               "                 stub installed or built beside tuvolink\n\n"
               "A folder as an input packs every regular file under it, in byte-wise\n"
               "sorted order. To pack a single file: tuvolink OutFile file \"\"\n");
}

void PrintVersion(std::FILE* out) {
  std::fprintf(out, "tuvolink 1.0\npackage format: Tuvo V1.0 (run-length coded records)\n");
}
