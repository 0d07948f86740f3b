// The packer's run: options, the input list, the checks, the target, and what
// is printed along the way.
#include "command.h"

#include <cstdio>
#include <string>

#include "file_list.h"
#include "input_checks.h"
#include "link.h"
#include "options.h"
#include "platform.h"
#include "terminal_progress.h"

namespace {

void Note(const std::string& line) {
  std::fflush(stdout);
  std::fprintf(stderr, "tuvolink: %s\n", line.c_str());
}

int Fail(const std::string& err) {
  Note(err);
  return 1;
}

// After an error, when the single argument was read as a list file: perhaps
// it was meant as the one input.
int FailAfterList(const std::string& err, const ListNotes& notes) {
  Fail(err);
  if (notes.read_list_file) {
    Note(
        "hint: a single name after OutFile is read as a list file; to pack one file, use: "
        "tuvolink OutFile file \"\"");
  }
  return 1;
}

// Packs, with a progress display and a summary when standard error is a
// terminal. `args` holds OutFile at [1] and the inputs after it.
int Pack(const Options& options, int argc, char* args[]) {
  const char* target = args[1];
  std::string err;
  if (!CheckTarget(target, &err)) return Fail(err);
  LinkList = nullptr;
  ListNotes notes;
  if (!CompileFileList(argc, args, &notes, &err)) return FailAfterList(err, notes);
  for (const std::string& warning : notes.warnings) Note("warning: " + warning);
  const bool terminal = IsTerminal(stderr);
  const double started = SteadySeconds();
  TerminalProgress display(stderr, SteadySeconds);
  LinkSettings settings;
  settings.stub = options.stub;
  settings.progress = options.quiet ? nullptr : stdout;
  settings.observer = terminal ? &display : nullptr;
  settings.note = Note;
  LinkSummary summary;
  bool linked = LinkIt(target, settings, &summary, &err);
  display.Finish();
  FreeFileList();
  if (!linked) return FailAfterList(err, notes);
  if (terminal) {
    Note(
        SummaryLine(summary.files, summary.bytes_in, summary.bytes_out, SteadySeconds() - started));
  }
  return 0;
}

}  // namespace

int Tuvolink(int argc, char* argv[]) {
  PrintBanner(stdout);
  Options options;
  std::string err;
  if (!ParseOptions(argc, argv, &options, &err)) return Fail(err);
  if (options.help) {
    PrintHelp(stdout);
    return 0;
  }
  if (options.version) {
    PrintVersion(stdout);
    return 0;
  }
  // Fewer than two arguments after the options: the usage, as always.
  if (argc - options.first < 2) {
    PrintUsage(stdout);
    return 0;
  }
  // args[0] stands where the program's name was, so that OutFile is args[1].
  return Pack(options, argc - options.first + 1, argv + options.first - 1);
}
