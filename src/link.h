// Target linking: the stub, one record per input and the trailer, written to a
// temporary that replaces the target only once all of it is written.
#ifndef TUVOLINK_LINK_H_
#define TUVOLINK_LINK_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "file_list.h"

class PackObserver;

// The stub's fixed file name.
constexpr const char* StubName = "tuvo.exe";

// Finds the stub: tuvo.exe in the current folder first, then beside the
// packer's own executable, then in ../lib/tuvolink/ relative to it (an
// installed layout). Returns false and sets *err when there is none.
bool FindStub(std::string* path, std::string* err);

// Finds the stub that `choice` names: FindStub's when it is empty; for
// "windows" or "linux", the first stub of that system among those built or
// installed beside the packer (win64/tuvo.exe, tuvo.exe, ../tuvo.exe,
// ../lib/tuvolink/win64/tuvo.exe, ../lib/tuvolink/tuvo.exe); any other
// choice is the stub's path. *from_current_folder tells whether the stub is
// FindStub's tuvo.exe of the current folder.
bool ResolveStub(const std::string& choice, std::string* path, bool* from_current_folder,
                 std::string* err);

// What a run wrote, for a summary.
struct LinkSummary {
  uint64_t files = 0;
  uint64_t bytes_in = 0;   // the inputs' sizes
  uint64_t bytes_out = 0;  // the target's size
};

// Writes the target `target_name`: the stub read from `stub_path`, then a
// record for each node of `list` in list order, then the trailer, printing
// the progress lines to `progress` (none when it is null) and telling
// `observer` (which may be null) of the bytes read. Every input and the stub
// are checked before anything is written, and `progress` is flushed and
// checked before the target is replaced: a failed progress line fails the
// run. A stub with a seal slot (format/seal.h) gets the seal of all that
// follows it written into that slot; any other stub is copied unchanged.
// Returns false and sets *err (naming the file and the reason) on any
// failure; an existing target is then left as it was and no temporary
// remains. Fills *summary (which may be null) on success.
bool WriteTarget(const char* target_name, const std::string& stub_path, const LinkNode* list,
                 std::FILE* progress, PackObserver* observer, LinkSummary* summary,
                 std::string* err);

// How LinkIt runs.
struct LinkSettings {
  std::string stub;              // as for ResolveStub
  std::FILE* progress = stdout;  // null: no progress lines
  PackObserver* observer = nullptr;
  // Told the warnings and the stub used when it is not the current folder's,
  // each as one line without "tuvolink: ", before anything is written.
  std::function<void(const std::string&)> note;
};

// The last stage of a run: resolves the stub, checks the names and the
// program (see input_checks.h), then writes the target `target_name`
// (OutFile) from LinkList.
bool LinkIt(const char* target_name, const LinkSettings& settings, LinkSummary* summary,
            std::string* err);

// LinkIt with the stub FindStub finds and the progress lines on standard
// output.
bool LinkIt(const char* target_name, std::string* err);

#endif  // TUVOLINK_LINK_H_
