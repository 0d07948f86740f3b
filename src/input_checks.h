// The checks made before anything is written: mistakes that would make a
// package no stub can extract are errors, and what merely looks wrong draws a
// warning for the entry to print.
#ifndef TUVOLINK_INPUT_CHECKS_H_
#define TUVOLINK_INPUT_CHECKS_H_

#include <string>
#include <vector>

#include "file_list.h"

// The system a stub (or a program) is built for, from its first bytes.
enum class StubSystem { Other, Windows, Linux };

// "MZ" starts a Windows (PE) program, "\x7f" "ELF" a Linux one.
StubSystem SystemOf(const std::string& head);

// The first `size` bytes of the file `name` (fewer if it is shorter).
bool ReadHead(const std::string& name, size_t size, std::string* head, std::string* err);

// OutFile must be a name, and not that of an existing folder. Checked before
// any input is read.
bool CheckTarget(const std::string& target, std::string* err);

// Checks every name of `list` by the stubs' own rules (MakeEntryPath). A name
// that no stub extracts (a '..' component, nothing left once the drive and the
// separators are removed) is an error; a name the extractor changes (absolute,
// a drive letter) and, for a Windows stub, a name Windows refuses add
// warnings.
bool CheckNames(const LinkNode* list, StubSystem system, std::vector<std::string>* warnings,
                std::string* err);

// Warnings about the package as a whole: an empty list (no program), or a
// first named file that does not look like a program for the stub's system.
void CheckProgram(const LinkNode* list, StubSystem system, std::vector<std::string>* warnings);

#endif  // TUVOLINK_INPUT_CHECKS_H_
