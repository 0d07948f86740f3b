// Target linking: the stub, one record per input and the trailer, written to a
// temporary that replaces the target only once all of it is written.
#ifndef TUVOLINK_LINK_H_
#define TUVOLINK_LINK_H_

#include <cstdio>
#include <string>

#include "file_list.h"

// The stub's fixed file name.
constexpr const char* StubName = "tuvo.exe";

// Finds the stub: tuvo.exe in the current folder first, then beside the
// packer's own executable, then in ../lib/tuvolink/ relative to it (an
// installed layout). Returns false and sets *err when there is none.
bool FindStub(std::string* path, std::string* err);

// Writes the target `target_name`: the stub read from `stub_path`, then a
// record for each node of `list` in list order, then the trailer, printing
// the progress lines to `progress`. A stub with a seal slot
// (format/seal.h) gets the seal of all that follows it written into that
// slot; any other stub is copied unchanged. Every input and the stub are checked
// before anything is written. Returns false and sets *err (naming the file
// and the reason) on any failure; an existing target is then left as it was
// and no temporary remains.
bool WriteTarget(const char* target_name, const std::string& stub_path, const LinkNode* list,
                 std::FILE* progress, std::string* err);

// The last stage of a run: writes the target `target_name` (OutFile) from
// LinkList with the stub FindStub finds, progress on standard output.
bool LinkIt(const char* target_name, std::string* err);

#endif  // TUVOLINK_LINK_H_
