// Fuzz target: the packer's list file. The names read, and the input list
// built from them, must equal a plain model of the rules (one name a line,
// trailing CR removed, the list ends at the first empty line, a 0 byte or a
// name over MaxName - 1 bytes is refused, lines after the end draw a
// warning); and the printable form of every name must hold no control
// character, no invalid UTF-8 and no bidi control.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "file_list.h"
#include "format/printable.h"
#include "fuzz_check.h"

namespace {

// The list file's rules, byte by byte. False when the file is refused;
// *ignored counts the lines with text after the empty line that ends the list.
bool ModelList(const uint8_t* data, size_t size, std::vector<std::string>* names, size_t* ignored) {
  std::string line;
  bool ended = false, has_text = false;
  auto end_line = [&]() {
    if (ended) {
      *ignored += has_text ? 1 : 0;
      has_text = false;
      return true;
    }
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > MaxName - 1) return false;
    if (line.empty()) ended = true;
    if (!line.empty()) names->push_back(line);
    line.clear();
    return true;
  };
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      if (!end_line()) return false;
    } else if (ended) {
      has_text = has_text || data[i] != '\r';
    } else if (data[i] == 0) {
      return false;
    } else if (line.size() == 64 * 1024) {
      return false;  // the reader holds no longer line: no name can be that long
    } else {
      line.push_back(static_cast<char>(data[i]));
    }
  }
  return (!ended && line.empty()) || end_line();
}

// Code point of the UTF-8 sequence at s[0, left), with its length in *size;
// false if it is not valid UTF-8.
bool DecodeUtf8(const uint8_t* s, size_t left, uint32_t* code, size_t* size) {
  const uint8_t lead = s[0];
  *size = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || *size > left) return false;
  *code = *size == 1 ? lead : lead & (0x7Fu >> *size);
  for (size_t i = 1; i < *size; ++i) {
    if ((s[i] & 0xC0) != 0x80) return false;
    *code = *code << 6 | (s[i] & 0x3Fu);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  return *code >= least[*size] && *code <= 0x10FFFF && !(*code >= 0xD800 && *code <= 0xDFFF);
}

// What a name looks like on a terminal must be plain text.
void CheckShown(const std::string& name) {
  Shown shown(name.c_str());
  const uint8_t* s = reinterpret_cast<const uint8_t*>(shown.text);
  const size_t length = std::strlen(shown.text);
  FUZZ_CHECK(length < sizeof shown.text);
  for (size_t i = 0; i < length;) {
    uint32_t code = 0;
    size_t size = 0;
    FUZZ_CHECK(DecodeUtf8(s + i, length - i, &code, &size));
    FUZZ_CHECK(code >= 0x20 && code != 0x7F && !(code >= 0x80 && code <= 0x9F));
    FUZZ_CHECK(code != 0x061C && code != 0x200E && code != 0x200F);
    FUZZ_CHECK(!(code >= 0x202A && code <= 0x202E) && !(code >= 0x2066 && code <= 0x2069));
    i += size;
  }
  // A name with nothing to escape is shown as it is.
  bool plain = true;
  for (char c : name) plain = plain && c >= 0x20 && c < 0x7F;
  if (plain && name.size() < MaxName) FUZZ_CHECK(name == shown.text);
}

// The list file, in a file of memory that /proc/self/fd names.
std::string ListFile(const uint8_t* data, size_t size) {
  static int fd = memfd_create("list", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> expected;
  size_t ignored = 0;
  const bool model_ok = ModelList(data, size, &expected, &ignored);
  std::string list = ListFile(data, size);
  std::vector<std::string> names, warnings;
  std::string err;
  const bool ok = ReadListFile(list.c_str(), &names, &warnings, &err);
  FUZZ_CHECK(ok == model_ok);
  FUZZ_CHECK(ok ? names == expected : !err.empty());
  if (!ok) return 0;
  FUZZ_CHECK(warnings.size() == (ignored > 0 ? 1u : 0u));
  for (const std::string& name : names) CheckShown(name);

  // The input list: the names in reverse order. A folder among the names
  // stands for the files under it, which is another subject: such lists are
  // left out, so that a name like / walks nothing.
  for (const std::string& name : names) {
    if (IsFolder(name)) return 0;
  }
  char program[] = "tuvolink", out[] = "out";
  char* argv[] = {program, out, &list[0], nullptr};
  FreeFileList();
  err.clear();
  FUZZ_CHECK(CompileFileList(3, argv, &err));
  const LinkNode* node = LinkList;
  for (size_t i = names.size(); i-- > 0; node = node->Next) {
    FUZZ_CHECK(node != nullptr && names[i] == node->Name);
  }
  FUZZ_CHECK(node == nullptr);
  FreeFileList();
  return 0;
}
