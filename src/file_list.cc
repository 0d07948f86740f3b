// Gathering the input names from the arguments or from a list file.
#include "file_list.h"

#include <cerrno>
#include <cstring>

#include "folder_walk.h"
#include "names.h"
#include "pack_pipeline.h"
#include "platform.h"

LinkNode* LinkList = nullptr;

namespace {

// What AddInputs saw of the nodes it added, in the order added.
std::vector<LinkLook> looks;

// A raw line this long is too long for a name even after its line end is
// removed; reading stops there instead of holding the whole line.
constexpr size_t MaxLineBytes = 64 * 1024;

std::string TooLong(const std::string& name) {
  return "name longer than " + std::to_string(MaxName - 1) + " characters: " + QuotedStart(name);
}

// Splits a list file into lines as it is read: the names up to the first
// empty line, then a count of the non-empty lines after it.
class ListReader {
 public:
  ListReader(const char* list_name, std::vector<std::string>* names)
      : list_name_(list_name), names_(names) {}

  bool Take(const char* data, size_t size, std::string* err);
  bool Finish(std::string* err);
  // The line that ended the list, or 0 if it ran to the end of the file.
  size_t end_line() const { return end_line_; }
  size_t ignored() const { return ignored_; }

 private:
  bool EndLine(std::string* err);
  std::string Where() const {
    return "list file " + Quoted(list_name_) + ", line " + std::to_string(number_) + ": ";
  }

  std::string list_name_;
  std::vector<std::string>* names_;
  std::string line_;
  size_t number_ = 1;
  size_t end_line_ = 0;
  size_t ignored_ = 0;
  bool line_has_text_ = false;  // after the end: the line holds more than a line end
};

bool ListReader::EndLine(std::string* err) {
  if (end_line_ != 0) {
    if (line_has_text_) ++ignored_;
    line_has_text_ = false;
  } else {
    while (!line_.empty() && (line_.back() == '\r' || line_.back() == '\n')) line_.pop_back();
    if (line_.empty()) {
      end_line_ = number_;
    } else if (line_.size() > MaxName - 1) {
      *err = Where() + TooLong(line_);
      return false;
    } else {
      names_->push_back(line_);
    }
    line_.clear();
  }
  ++number_;
  return true;
}

bool ListReader::Take(const char* data, size_t size, std::string* err) {
  for (size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (c == '\n') {
      if (!EndLine(err)) return false;
    } else if (end_line_ != 0) {
      if (c != '\r') line_has_text_ = true;
    } else if (c == 0) {
      *err = Where() + "a name cannot hold a 0 byte";
      return false;
    } else if (line_.size() == MaxLineBytes) {
      *err = Where() + TooLong(line_);
      return false;
    } else {
      line_.push_back(c);
    }
  }
  return true;
}

bool ListReader::Finish(std::string* err) {
  if (end_line_ == 0 && line_.empty()) return true;
  return EndLine(err);
}

}  // namespace

const std::vector<LinkLook>& LinkLooks() { return looks; }

bool AddInputs(const std::vector<std::string>& names, std::string* err) {
  // One look at each name, on the run's workers: for thousands of files the
  // looks are most of the time spent here.
  std::vector<PathLook> seen(names.size());
  SplitWork(names.size(), [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) seen[i] = LookAt(names[i]);
  });
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!seen[i].folder) {
      if (!AddToFileList(name, err)) return false;
      looks.push_back({LinkList, seen[i]});
      continue;
    }
    if (i == 0) {
      *err = "the first input, " + Quoted(name) + ", is a folder: it must be the program, a file";
      return false;
    }
    std::vector<std::string> files;
    if (!WalkFolder(name, &files, err)) return false;
    for (const std::string& file : files) {
      if (!AddToFileList(file, err)) return false;
    }
  }
  return true;
}

bool AddToFileList(const std::string& name, std::string* err) {
  if (name.size() > MaxName - 1) {
    *err = TooLong(name);
    return false;
  }
  LinkNode* node = new LinkNode;
  std::memcpy(node->Name, name.c_str(), name.size() + 1);
  node->Next = LinkList;
  LinkList = node;
  return true;
}

bool ReadListFile(const char* list_name, std::vector<std::string>* names,
                  std::vector<std::string>* warnings, std::string* err) {
  InputFile file;
  if (!file.Open(list_name, err)) return false;
  std::vector<char> block(64 * 1024);
  ListReader reader(list_name, names);
  for (;;) {
    size_t got = 0;
    if (!file.Read(block.data(), block.size(), &got, err)) return false;
    if (got == 0) break;
    if (!reader.Take(block.data(), got, err)) return false;
  }
  if (!reader.Finish(err)) return false;
  if (reader.ignored() > 0) {
    warnings->push_back("list file " + Quoted(list_name) + ", line " +
                        std::to_string(reader.end_line()) + " is empty: the list ends here, " +
                        std::to_string(reader.ignored()) + " more line" +
                        (reader.ignored() == 1 ? "" : "s") + " ignored");
  }
  return true;
}

bool CompileFileList(int argc, char* argv[], ListNotes* notes, std::string* err) {
  std::vector<std::string> names;
  if (argc == 3) {
    notes->read_list_file = true;
    if (!ReadListFile(argv[2], &names, &notes->warnings, err)) return false;
  } else {
    for (int i = 2; i < argc; ++i) {
      if (argv[i][0] != 0) names.push_back(argv[i]);
    }
  }
  return AddInputs(names, err);
}

bool CompileFileList(int argc, char* argv[], std::string* err) {
  ListNotes notes;
  return CompileFileList(argc, argv, &notes, err);
}

void FreeFileList() {
  looks.clear();
  while (LinkList != nullptr) {
    LinkNode* next = LinkList->Next;
    delete LinkList;
    LinkList = next;
  }
}
