// Walking a named folder with an explicit stack; links to folders are not
// followed, so the walk cannot loop.
#include "folder_walk.h"

#include <algorithm>

#include "format/layout.h"
#include "names.h"
#include "platform.h"

namespace {

std::string Join(const std::string& folder, const std::string& name) {
  char last = folder.back();
  return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

// Why an entry cannot be packed, or null when it can.
const char* Refusal(FolderEntry::Kind kind) {
  switch (kind) {
    case FolderEntry::File:
    case FolderEntry::LinkToFile:
    case FolderEntry::Folder:
      return nullptr;
    case FolderEntry::LinkToFolder:
      return "a symbolic link to a folder, which is not followed";
    case FolderEntry::LinkToOther:
      return "a symbolic link that leads to no regular file";
    case FolderEntry::Other:
      return "neither a regular file nor a folder";
  }
  return "of an unknown kind";
}

}  // namespace

bool WalkFolder(const std::string& named, std::vector<std::string>* files, std::string* err) {
  std::vector<std::string> found;
  std::vector<std::string> folders = {named};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    std::vector<FolderEntry> entries;
    if (!ReadFolder(folder, &entries, err)) return false;
    for (const FolderEntry& entry : entries) {
      std::string path = Join(folder, entry.name);
      if (const char* refusal = Refusal(entry.kind)) {
        *err = "cannot pack " + Quoted(path) + ": " + refusal;
        return false;
      }
      if (entry.kind == FolderEntry::Folder) {
        folders.push_back(path);
        continue;
      }
      if (path.size() > MaxName - 1) {
        *err = "name longer than " + std::to_string(MaxName - 1) + " characters: " + Quoted(path);
        return false;
      }
      found.push_back(path);
    }
  }
  // std::string compares as unsigned bytes (char_traits<char>::compare).
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return true;
}
