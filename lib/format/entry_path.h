// From a record's name to a relative path inside the extraction folder: the
// rules that keep every file of a package inside that folder, applied by the
// stub when it extracts and by the packer when it checks names. Templates over
// the character type, since Windows checks names after converting them to
// UTF-16 (a double-byte code page may hold '\' inside a character).
#ifndef TUVOLINK_FORMAT_ENTRY_PATH_H_
#define TUVOLINK_FORMAT_ENTRY_PATH_H_

#include <cstddef>

enum class NameRules { Posix, Windows };

enum class NameFault {
  None,
  Empty,    // nothing left once the drive, separators and '.' are gone
  DotDot,   // a '..' component
  Device,   // a Windows device name such as CON or com1.txt
  BadChar,  // a character Windows does not allow in names
  BadEnd,   // a component ending in '.' or ' ', which Windows would drop
  TooLong,  // does not fit the output buffer
};

// Why a name is refused, as a phrase for a message.
inline const char* NameFaultText(NameFault fault) {
  switch (fault) {
    case NameFault::None:
      return "a safe name";
    case NameFault::Empty:
      return "it names no file";
    case NameFault::DotDot:
      return "it has a '..' component";
    case NameFault::Device:
      return "it names a Windows device";
    case NameFault::BadChar:
      return "it holds a character that Windows does not allow in names";
    case NameFault::BadEnd:
      return "a component ends in '.' or a blank";
    case NameFault::TooLong:
      return "it is too long";
  }
  return "unknown fault";
}

namespace entry_path_internal {

template <typename Char>
bool IsSeparator(Char c) {
  return c == Char('/') || c == Char('\\');
}

template <typename Char>
unsigned long Upper(Char c) {
  unsigned long u = static_cast<unsigned long>(c) & (sizeof(Char) == 1 ? 0xFFul : 0xFFFFFFFFul);
  return (u >= 'a' && u <= 'z') ? u - 'a' + 'A' : u;
}

// The device names that Windows reserves in every folder, whatever the
// extension: the part before the first '.', trailing blanks ignored.
template <typename Char>
bool IsDevice(const Char* begin, size_t length) {
  size_t stem = 0;
  while (stem < length && begin[stem] != Char('.')) ++stem;
  while (stem > 0 && begin[stem - 1] == Char(' ')) --stem;
  static const char* const Names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : Names) {
    size_t i = 0;
    while (i < stem && name[i] != 0 && Upper(begin[i]) == static_cast<unsigned char>(name[i])) ++i;
    if (i == stem && name[i] == 0) return true;
  }
  if (stem != 4) return false;
  bool com = Upper(begin[0]) == 'C' && Upper(begin[1]) == 'O' && Upper(begin[2]) == 'M';
  bool lpt = Upper(begin[0]) == 'L' && Upper(begin[1]) == 'P' && Upper(begin[2]) == 'T';
  unsigned long digit = Upper(begin[3]);
  // COM0 to COM9, and the superscript digits 1 to 3 (Latin-1 code points).
  bool numbered = (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  return (com || lpt) && numbered;
}

template <typename Char>
NameFault CheckWindowsComponent(const Char* begin, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned long c = Upper(begin[i]);
    if (c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
        c == '*') {
      return NameFault::BadChar;
    }
  }
  if (begin[length - 1] == Char('.') || begin[length - 1] == Char(' ')) return NameFault::BadEnd;
  if (IsDevice(begin, length)) return NameFault::Device;
  return NameFault::None;
}

}  // namespace entry_path_internal

// Turns `name` into a relative path in out[0, out_size), its components
// joined by `separator`. Both '/' and '\' separate folders; a leading drive
// ("C:") and leading separators are removed, which sets *stripped; empty and
// '.' components are dropped. Returns NameFault::None on success, otherwise
// the reason the name cannot be extracted safely.
template <typename Char>
NameFault MakeEntryPath(const Char* name, NameRules rules, Char separator, Char* out,
                        size_t out_size, bool* stripped) {
  using entry_path_internal::IsSeparator;
  const Char* p = name;
  *stripped = false;
  unsigned long first = entry_path_internal::Upper(p[0]);
  if (first >= 'A' && first <= 'Z' && p[1] == Char(':')) {
    p += 2;
    *stripped = true;
  }
  if (IsSeparator(*p)) *stripped = true;
  size_t n = 0;
  for (;;) {
    while (IsSeparator(*p)) ++p;
    const Char* begin = p;
    while (*p != Char(0) && !IsSeparator(*p)) ++p;
    size_t length = static_cast<size_t>(p - begin);
    if (length == 0) break;
    if (length == 1 && begin[0] == Char('.')) continue;
    if (length == 2 && begin[0] == Char('.') && begin[1] == Char('.')) return NameFault::DotDot;
    if (rules == NameRules::Windows) {
      NameFault fault = entry_path_internal::CheckWindowsComponent(begin, length);
      if (fault != NameFault::None) return fault;
    }
    if (n + (n > 0 ? 1 : 0) + length + 1 > out_size) return NameFault::TooLong;
    if (n > 0) out[n++] = separator;
    for (size_t i = 0; i < length; ++i) out[n++] = begin[i];
  }
  if (n == 0) return NameFault::Empty;
  out[n] = Char(0);
  return NameFault::None;
}

#endif  // TUVOLINK_FORMAT_ENTRY_PATH_H_
