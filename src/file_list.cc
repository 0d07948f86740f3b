// Gathering the input names from the arguments or from a list file.
#include "file_list.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

LinkNode* LinkList = nullptr;

namespace {

// The start of an overlong name, enough to recognise it in a message.
std::string Shortened(const std::string& name) {
  constexpr size_t Shown = 40;
  return name.size() <= Shown ? name : name.substr(0, Shown) + "...";
}

// A raw line this long is too long for a name even after its line end is
// removed; reading stops there instead of holding the whole line.
constexpr size_t MaxLineBytes = 64 * 1024;

}  // namespace

bool AddToFileList(const std::string& name, std::string* err) {
  if (name.size() > MaxName - 1) {
    *err = "name longer than " + std::to_string(MaxName - 1) + " characters: '" + Shortened(name) +
           "'";
    return false;
  }
  LinkNode* node = new LinkNode;
  std::memcpy(node->Name, name.c_str(), name.size() + 1);
  node->Next = LinkList;
  LinkList = node;
  return true;
}

bool ReadListFile(const char* list_name, std::vector<std::string>* names, std::string* err) {
  InputFile file;
  if (!file.Open(list_name, err)) return false;
  std::vector<char> block(64 * 1024);
  std::string line;
  size_t number = 1;
  // Ends the current line; false once the list is complete.
  auto end_line = [&]() {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) return false;
    names->push_back(line);
    line.clear();
    ++number;
    return true;
  };
  for (;;) {
    size_t got = 0;
    if (!file.Read(block.data(), block.size(), &got, err)) return false;
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      char c = block[i];
      if (c == '\n') {
        if (!end_line()) return true;
        continue;
      }
      if (c == 0) {
        *err = "list file '" + std::string(list_name) + "', line " + std::to_string(number) +
               ": a name cannot hold a 0 byte";
        return false;
      }
      if (line.size() == MaxLineBytes) {
        *err = "list file '" + std::string(list_name) + "', line " + std::to_string(number) +
               ": name longer than " + std::to_string(MaxName - 1) + " characters: '" +
               Shortened(line) + "'";
        return false;
      }
      line.push_back(c);
    }
  }
  end_line();
  return true;
}

bool CompileFileList(int argc, char* argv[], std::string* err) {
  std::vector<std::string> names;
  if (argc == 3) {
    if (!ReadListFile(argv[2], &names, err)) return false;
  } else {
    for (int i = 2; i < argc; ++i) {
      if (argv[i][0] != 0) names.push_back(argv[i]);
    }
  }
  for (const std::string& name : names) {
    if (!AddToFileList(name, err)) return false;
  }
  return true;
}

void FreeFileList() {
  while (LinkList != nullptr) {
    LinkNode* next = LinkList->Next;
    delete LinkList;
    LinkList = next;
  }
}
