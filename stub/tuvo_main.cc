// tuvo.exe, the extractor stub at the head of every package: it finds the
// records behind its own image, checks the whole package, then extracts the
// files into a private temporary folder and runs the program among them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract.h"
#include "format/printable.h"
#include "format/text_format.h"
#include "image_layout.h"
#include "os.h"
#include "plan.h"
#include "progress.h"
#include "seal_check.h"
#include "self_image.h"

namespace {

enum class Mode { Run, Keep, List, Check, Extract, Help };

struct Options {
  Mode mode = Mode::Run;
  const char* folder = nullptr;  // for Extract
  int first_argument = 1;        // the program's arguments start here
};

void Say(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void Say(const char* format, ...) {
  static const char Prefix[] = "tuvo: ";
  constexpr size_t PrefixLength = sizeof Prefix - 1;
  char line[PrefixLength + sizeof ErrorLine::text + 1];
  std::memcpy(line, Prefix, PrefixLength);
  va_list args;
  va_start(args, format);
  // One byte is kept for the line end.
  size_t end =
      PrefixLength + FormatTextV(line + PrefixLength, sizeof line - PrefixLength - 1, format, args);
  va_end(args);
  line[end] = '\n';
  line[end + 1] = 0;
  WriteText(2, line);
}

int Fail(const ErrorLine& err) {
  Say("%s", err.text);
  return StubFailure;
}

void PrintUsage() {
  WriteText(1,
            "This program is a self-extracting package made by tuvolink.\n"
            "Usage: PACKAGE [ARGUMENT...]          extract into a new temporary folder, run the\n"
            "                                      program there with the ARGUMENTs, clean up\n"
            "       PACKAGE -- [ARGUMENT...]       the same; ARGUMENTs may begin with --tuvo-\n"
            "       PACKAGE --tuvo-keep [ARGUMENT...]\n"
            "                                      the same, but keep the folder and show it\n"
            "       PACKAGE --tuvo-list            list the files: size in bytes and name\n"
            "       PACKAGE --tuvo-check           check the whole package, write nothing\n"
            "       PACKAGE --tuvo-extract FOLDER  extract into FOLDER, run nothing\n"
            "                                      (nothing already in FOLDER is replaced)\n"
            "       PACKAGE --tuvo-help            show this text\n"
            "Exit status: the program's own; 125 when the package cannot be extracted,\n"
            "126 when the program cannot be started, 127 when it is not found.\n");
}

bool ParseOptions(int argc, char** argv, Options* options, ErrorLine* err) {
  if (argc < 2) return true;
  const char* first = argv[1];
  if (std::strcmp(first, "--") == 0) {
    options->first_argument = 2;
    return true;
  }
  if (std::strncmp(first, "--tuvo-", 7) != 0) return true;
  struct Known {
    const char* name;
    Mode mode;
    int operands;  // -1: the rest goes to the program
  };
  static const Known Table[] = {
      {"--tuvo-keep", Mode::Keep, -1},  {"--tuvo-list", Mode::List, 0},
      {"--tuvo-check", Mode::Check, 0}, {"--tuvo-extract", Mode::Extract, 1},
      {"--tuvo-help", Mode::Help, 0},
  };
  for (const Known& known : Table) {
    if (std::strcmp(first, known.name) != 0) continue;
    options->mode = known.mode;
    options->first_argument = 2;
    if (known.operands >= 0 && argc - 2 != known.operands) {
      err->Set("%s takes %s (see --tuvo-help)", known.name,
               known.operands == 0 ? "no argument" : "one argument, the folder");
      return false;
    }
    if (known.mode == Mode::Extract) options->folder = argv[2];
    return true;
  }
  err->Set("unknown option '%s' (see --tuvo-help; put -- before arguments for the program)",
           Shown(first).text);
  return false;
}

// Refuses to start an extraction that cannot fit, rather than failing
// halfway: bytes with a block of slack per file, and entries for the files
// and folders. An unknown free space passes.
bool CheckSpace(Folder* folder, const Plan& plan, ErrorLine* err) {
  uint64_t free_bytes = 0, free_entries = 0;
  ErrorLine ignored;
  if (!folder->FreeSpace(&free_bytes, &free_entries, &ignored)) return true;
  uint64_t slack = static_cast<uint64_t>(plan.size()) * 4096;
  uint64_t need = plan.total_size() + slack < slack ? ~uint64_t{0} : plan.total_size() + slack;
  if (need > free_bytes) {
    err->Set("not enough free space in '%s': the files take %llu bytes, %llu are free",
             folder->display(), static_cast<unsigned long long>(plan.total_size()),
             static_cast<unsigned long long>(free_bytes));
    return false;
  }
  if (plan.entry_count() > free_entries) {
    err->Set(
        "not enough free entries in '%s': the package makes %llu files and folders, %llu more "
        "fit",
        folder->display(), static_cast<unsigned long long>(plan.entry_count()),
        static_cast<unsigned long long>(free_entries));
    return false;
  }
  return true;
}

void NoteStrippedNames(const Plan& plan) {
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan.stripped(i))
      Say("note: '%s' is extracted without its drive and leading separators",
          Shown(plan.name(i)).text);
  }
}

// Extracts into a folder that is already open; on failure says why and
// returns the status to exit with, leaving nothing of the run behind: a
// fresh folder goes whole, and an existing one is checked for clashes
// before the first write.
int ExtractInto(SelfImage* image, const PackageSpan& span, Plan* plan, Folder* folder) {
  ErrorLine err;
  bool ok = (folder->fresh() || folder->Empty() || plan->Survey(folder, &err)) &&
            CheckSpace(folder, *plan, &err);
  if (ok) {
    NoteStrippedNames(*plan);
    Progress progress;
    progress.Begin("extracting", plan->total_size());
    ok = ExtractAll(image, span.end, *plan, folder, &progress, &err);
  }
  if (ok) return 0;
  ErrorLine ignored;
  if (folder->fresh()) folder->RemoveAll(&ignored);
  int signal_number = Interrupted();
  if (signal_number != 0) return 128 + signal_number;
  return Fail(err);
}

int RunPackage(SelfImage* image, const PackageSpan& span, Plan* plan, char** argv,
               const Options& options) {
  ErrorLine err;
  if (plan->size() == 0) {
    err.Set("the package holds no program to run");
    return Fail(err);
  }
  Folder folder;
  if (!folder.CreateTemp(&err)) return Fail(err);
  int status = ExtractInto(image, span, plan, &folder);
  bool extracted = status == 0;
  if (extracted) {
    status = RunProgram(&folder, plan->path(plan->size() - 1), argv, options.first_argument, &err);
    if (err.text[0] != 0) Say("%s", err.text);
  }
  // A failed extraction leaves nothing, even when asked to keep the files.
  if (options.mode == Mode::Keep && extracted) {
    folder.Keep();
    Say("the files are kept in '%s'", folder.display());
  } else if (!folder.RemoveAll(&err)) {
    Say("%s", err.text);
  }
  return status;
}

int Run(int argc, char** argv) {
  Options options;
  ErrorLine err;
  if (!ParseOptions(argc, argv, &options, &err)) return Fail(err);
  if (options.mode == Mode::Help) {
    PrintUsage();
    return 0;
  }
  SelfImage image;
  if (!image.Open(&err)) return Fail(err);
  PackageSpan span;
  LocatePackage(&image, image.size(), &span);
  if (span.image_size != 0 && span.end == span.image_size) {
    err.Set("no package is attached to this program (see --tuvo-help)");
    return Fail(err);
  }
  const Seal seal = OwnSeal();
  Plan plan;
  Progress progress;
  progress.Begin("checking", span.end);
  ProgressSource source(&image, &progress);
  bool built = BuildCheckedPlan(&source, span, seal, options.mode != Mode::List, &plan, &err);
  progress.End();
  if (!built) return Fail(err);
  if (options.mode == Mode::List) {
    for (size_t i = 0; i < plan.size(); ++i) {
      char line[sizeof(Shown::text) + 32];
      FormatText(line, sizeof line, "%12llu  %s\n",
                 static_cast<unsigned long long>(plan.decoded_size(i)), Shown(plan.name(i)).text);
      WriteText(1, line);
    }
    // On standard error, so that standard output keeps one line per file.
    Say(seal.sealed() ? "note: the package is sealed, and its seal matches"
                      : "note: the package is not sealed; only its structure was checked");
    return 0;
  }
  if (options.mode == Mode::Check) {
    WriteText(1, seal.sealed() ? "OK (sealed)\n" : "OK (not sealed)\n");
    return 0;
  }
  CatchInterrupts();
  if (options.mode == Mode::Extract) {
    Folder folder;
    if (!folder.OpenOrCreate(options.folder, &err)) return Fail(err);
    return ExtractInto(&image, span, &plan, &folder);
  }
  return RunPackage(&image, span, &plan, argv, options);
}

}  // namespace

// The stub needs nothing of the C++ runtime library but the deletes that
// virtual destructors refer to (it never deletes through them): defined
// here, so that the stub loads no libstdc++ when it starts.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  InitProcess(&argc, &argv);
  return Run(argc, argv);
}
