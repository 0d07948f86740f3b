// Pack-time checks of the target, the names and the program.
#include "input_checks.h"

#include "format/entry_path.h"
#include "names.h"
#include "platform.h"

namespace {

// Room for any name of at most MaxName - 1 bytes, so that only the rules,
// never the size, can refuse it.
constexpr size_t PathRoom = MaxName + 1;

const char* SystemName(StubSystem system) {
  return system == StubSystem::Windows ? "Windows" : "Linux";
}

}  // namespace

StubSystem SystemOf(const std::string& head) {
  if (head.compare(0, 2, "MZ") == 0) return StubSystem::Windows;
  if (head.compare(0, 4,
                   "\x7f"
                   "ELF") == 0)
    return StubSystem::Linux;
  return StubSystem::Other;
}

bool ReadHead(const std::string& name, size_t size, std::string* head, std::string* err) {
  InputFile file;
  if (!file.Open(name.c_str(), err)) return false;
  head->assign(size, '\0');
  size_t got = 0;
  if (!file.Read(head->data(), size, &got, err)) return false;
  head->resize(got);
  return true;
}

bool CheckTarget(const std::string& target, std::string* err) {
  if (target.empty()) {
    *err = "the target's name (OutFile) is empty";
    return false;
  }
  if (IsFolder(target)) {
    *err = "cannot write " + Quoted(target) + ": it is a folder";
    return false;
  }
  return true;
}

bool CheckNames(const LinkNode* list, StubSystem system, std::vector<std::string>* warnings,
                std::string* err) {
  // In the order of naming, the reverse of the list's.
  std::vector<const LinkNode*> nodes;
  for (const LinkNode* node = list; node != nullptr; node = node->Next) nodes.push_back(node);
  char path[PathRoom];
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    const LinkNode* node = *it;
    bool stripped = false;
    NameFault fault =
        MakeEntryPath(node->Name, NameRules::Posix, '/', path, sizeof path, &stripped);
    if (fault != NameFault::None) {
      *err = "no stub extracts the name " + Quoted(node->Name) + ": " + NameFaultText(fault);
      return false;
    }
    if (stripped) {
      warnings->push_back("the name " + Quoted(node->Name) + " is extracted as " + Quoted(path));
    }
    if (system != StubSystem::Windows) continue;
    fault = MakeEntryPath(node->Name, NameRules::Windows, '/', path, sizeof path, &stripped);
    if (fault != NameFault::None) {
      warnings->push_back("the Windows stub refuses the name " + Quoted(node->Name) + ": " +
                          NameFaultText(fault));
    }
  }
  return true;
}

void CheckProgram(const LinkNode* list, StubSystem system, std::vector<std::string>* warnings) {
  if (list == nullptr) {
    warnings->push_back("the package holds no program: the list of inputs is empty");
    return;
  }
  if (system == StubSystem::Other) return;
  const LinkNode* first = list;
  while (first->Next != nullptr) first = first->Next;
  std::string head, err;
  // An unreadable program is reported, as an error, when it is opened.
  if (!ReadHead(first->Name, 4, &head, &err)) return;
  bool looks_right = system == StubSystem::Windows
                         ? SystemOf(head) == StubSystem::Windows
                         : SystemOf(head) == StubSystem::Linux || head.compare(0, 2, "#!") == 0;
  if (!looks_right) {
    warnings->push_back(std::string("the first file, ") + Quoted(first->Name) +
                        ", does not look like a " + SystemName(system) + " program (" +
                        (system == StubSystem::Windows ? "no MZ" : "neither ELF nor #!") +
                        " at its start)");
  }
}
