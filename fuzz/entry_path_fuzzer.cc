// Fuzz target: turning a record's name into a path inside the extraction
// folder, by the POSIX and the Windows rules, on bytes and on UTF-16 code
// units. The result must equal a plain model of the rules, and a path that
// is accepted must stay inside the folder: relative, no drive, no '..', no
// empty component, and, by the Windows rules, no device name and no
// character that Windows would read as more than a name.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/entry_path.h"
#include "fuzz_check.h"

namespace {

template <typename Char>
using Text = std::vector<Char>;

template <typename Char>
bool Separator(Char c) {
  return c == Char('/') || c == Char('\\');
}

template <typename Char>
unsigned long Code(Char c) {
  return static_cast<unsigned long>(c) & (sizeof(Char) == 1 ? 0xFFul : 0xFFFFFFFFul);
}

template <typename Char>
bool Is(const Text<Char>& part, const char* word) {
  size_t i = 0;
  for (; word[i] != 0; ++i) {
    if (i == part.size()) return false;
    unsigned long c = Code(part[i]);
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    if (c != static_cast<unsigned char>(word[i])) return false;
  }
  return i == part.size();
}

// Windows reserves these names in every folder, with any extension and
// blanks before it; COM and LPT take a digit or a superscript 1, 2 or 3.
template <typename Char>
bool ModelDevice(const Text<Char>& part) {
  Text<Char> stem;
  for (Char c : part) {
    if (c == Char('.')) break;
    stem.push_back(c);
  }
  while (!stem.empty() && stem.back() == Char(' ')) stem.pop_back();
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (Is(stem, name)) return true;
  }
  if (stem.size() != 4) return false;
  Text<Char> three(stem.begin(), stem.begin() + 3);
  unsigned long digit = Code(stem[3]);
  bool numbered = (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return (Is(three, "COM") || Is(three, "LPT")) && numbered;
}

template <typename Char>
NameFault ModelWindowsPart(const Text<Char>& part) {
  for (Char c : part) {
    unsigned long u = Code(c);
    for (char bad : {'<', '>', ':', '"', '|', '?', '*'}) {
      if (u == static_cast<unsigned long>(bad)) return NameFault::BadChar;
    }
    if (u < 0x20) return NameFault::BadChar;
  }
  if (part.back() == Char('.') || part.back() == Char(' ')) return NameFault::BadEnd;
  return ModelDevice(part) ? NameFault::Device : NameFault::None;
}

// The rules, written plainly: drop a drive and the separators around and
// between components, drop '.', refuse the first faulty component in order.
template <typename Char>
NameFault Model(const Text<Char>& name, NameRules rules, Char separator, size_t out_size,
                Text<Char>* path, bool* stripped) {
  size_t i = 0;
  *stripped = false;
  unsigned long first = name.empty() ? 0 : Code(name[0]);
  if (name.size() >= 2 && ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) &&
      name[1] == Char(':')) {
    i = 2;
    *stripped = true;
  }
  if (i < name.size() && Separator(name[i])) *stripped = true;
  path->clear();
  while (i < name.size()) {
    Text<Char> part;
    for (; i < name.size() && !Separator(name[i]); ++i) part.push_back(name[i]);
    for (; i < name.size() && Separator(name[i]); ++i) {
    }
    if (part.empty() || (part.size() == 1 && part[0] == Char('.'))) continue;
    if (part.size() == 2 && part[0] == Char('.') && part[1] == Char('.')) return NameFault::DotDot;
    if (rules == NameRules::Windows) {
      NameFault fault = ModelWindowsPart(part);
      if (fault != NameFault::None) return fault;
    }
    size_t joined = path->size() + (path->empty() ? 0 : 1) + part.size();
    if (joined + 1 > out_size) return NameFault::TooLong;
    if (!path->empty()) path->push_back(separator);
    path->insert(path->end(), part.begin(), part.end());
  }
  return path->empty() ? NameFault::Empty : NameFault::None;
}

// Direct checks of an accepted path, whatever the model says.
template <typename Char>
void CheckSafe(const Char* path, size_t length, NameRules rules, Char separator) {
  FUZZ_CHECK(length > 0);
  FUZZ_CHECK(path[0] != separator && path[length - 1] != separator);
  size_t begin = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i < length && path[i] != separator) {
      FUZZ_CHECK(path[i] != Char('/') && path[i] != Char('\\') && path[i] != Char(0));
      if (rules == NameRules::Windows) FUZZ_CHECK(path[i] != Char(':'));
      continue;
    }
    FUZZ_CHECK(i > begin);  // no empty component
    FUZZ_CHECK(!(i - begin == 2 && path[begin] == Char('.') && path[begin + 1] == Char('.')));
    begin = i + 1;
  }
}

template <typename Char>
void Check(const Text<Char>& name, NameRules rules, size_t out_size) {
  const Char separator = rules == NameRules::Windows ? Char('\\') : Char('/');
  Text<Char> expected;
  bool expected_stripped = false;
  const NameFault expected_fault =
      Model(name, rules, separator, out_size, &expected, &expected_stripped);
  Text<Char> input(name);
  input.push_back(Char(0));
  // Exactly out_size, so that a write past the end is caught.
  Text<Char> out(out_size, Char('@'));
  bool stripped = false;
  NameFault fault = MakeEntryPath(input.data(), rules, separator, out.data(), out_size, &stripped);
  FUZZ_CHECK(fault == expected_fault);
  FUZZ_CHECK(stripped == expected_stripped || fault != NameFault::None);
  if (fault != NameFault::None) return;
  FUZZ_CHECK(expected.size() < out_size && out[expected.size()] == Char(0));
  FUZZ_CHECK(Text<Char>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())) ==
             expected);
  CheckSafe(out.data(), expected.size(), rules, separator);
}

}  // namespace

// Input: a flags byte (bit 0: Windows rules; bit 1: UTF-16 code units, two
// bytes each, rather than bytes), a byte for the output size (0: MaxName),
// then the name up to its first 0.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const NameRules rules = (data[0] & 1) ? NameRules::Windows : NameRules::Posix;
  const size_t out_size = data[1] == 0 ? 260 : data[1];
  if (data[0] & 2) {
    Text<wchar_t> name;
    for (size_t i = 2; i + 1 < size; i += 2) {
      wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
      if (c == 0) break;
      name.push_back(c);
    }
    Check(name, rules, out_size);
  } else {
    Text<char> name;
    for (size_t i = 2; i < size && data[i] != 0; ++i) name.push_back(static_cast<char>(data[i]));
    Check(name, rules, out_size);
  }
  return 0;
}
