// The input list: the names of the files to pack, from the command line or
// from a list file, held in reverse order of naming.
#ifndef TUVOLINK_FILE_LIST_H_
#define TUVOLINK_FILE_LIST_H_

#include <string>
#include <vector>

#include "format/layout.h"
#include "platform.h"

struct LinkNode {
  char Name[MaxName];  // the name as given, 0-terminated
  LinkNode* Next;      // the name given before this one, or null
};

// Head of the input list: the name given last. Empty (null) until
// CompileFileList has run.
extern LinkNode* LinkList;

// What building the list found besides the names: warnings for the entry to
// print, and whether the single argument was read as a list file.
struct ListNotes {
  std::vector<std::string> warnings;
  bool read_list_file = false;
};

// Builds LinkList from main's arguments: argv[2] names a list file when it is
// the only argument after OutFile (argc == 3), and the inputs otherwise; a
// folder among the inputs stands for the files under it (see AddInputs).
// Empty arguments are skipped, and an empty line ends a list file (the
// non-empty lines after it draw a warning). Returns false and sets *err when
// the list file cannot be read or a name is over MaxName - 1 characters or (in
// a list file) holds a 0 byte; a list file's errors name it and the line.
// LinkList then holds the names accepted so far.
bool CompileFileList(int argc, char* argv[], ListNotes* notes, std::string* err);
// The same, the warnings dropped.
bool CompileFileList(int argc, char* argv[], std::string* err);

// Adds `names`, in the order given, to LinkList; a folder among them adds
// every regular file under it (see WalkFolder). The first name must not be a
// folder: it is the program. False, with *err set, at the first failure.
bool AddInputs(const std::vector<std::string>& names, std::string* err);

// Puts a node for `name` at the head of LinkList. False if it is too long.
bool AddToFileList(const std::string& name, std::string* err);

// What AddInputs saw of the names it added itself, not those found in a
// folder: for the checks before packing, which need not look at them again.
struct LinkLook {
  const LinkNode* node;
  PathLook look;
};
const std::vector<LinkLook>& LinkLooks();

// Reads the names of a list file, in the order they are given: one name a
// line, trailing CR and LF removed, up to the first empty line or the end of
// the file. Returns false and sets *err (naming the file and the line) when it
// cannot be read or a line holds a 0 byte or is too long for a name. Adds a
// warning when non-empty lines follow the empty line that ends the list.
bool ReadListFile(const char* list_name, std::vector<std::string>* names,
                  std::vector<std::string>* warnings, std::string* err);

// Releases every node of LinkList and empties it.
void FreeFileList();

#endif  // TUVOLINK_FILE_LIST_H_
