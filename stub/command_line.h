// Splitting a Windows command line the way the C runtime does, so that the
// stub can take its own first argument off the raw line and hand the rest to
// the program untouched, quoting and all. Templates, so that the rules are
// tested natively with plain chars and used on Windows with wchar_t.
#ifndef TUVOLINK_STUB_COMMAND_LINE_H_
#define TUVOLINK_STUB_COMMAND_LINE_H_

#include <cstddef>

namespace command_line_internal {

template <typename Char>
bool IsBlank(Char c) {
  return c == Char(' ') || c == Char('\t');
}

}  // namespace command_line_internal

// Skips the program name at the start of `line`: up to the closing quote if
// it starts with one, else up to the first blank (backslashes are not
// escapes here). Returns the position after it and the blanks that follow.
template <typename Char>
const Char* SkipProgramName(const Char* line) {
  const Char* p = line;
  if (*p == Char('"')) {
    ++p;
    while (*p != Char(0) && *p != Char('"')) ++p;
    if (*p == Char('"')) ++p;
  } else {
    while (*p != Char(0) && !command_line_internal::IsBlank(*p)) ++p;
  }
  while (command_line_internal::IsBlank(*p)) ++p;
  return p;
}

// Reads one argument at *p (which must not be at a blank), writing its text
// to out[0, out_size) when out is not null (cut short if it does not fit,
// always terminated), and moves *p past it and the blanks that follow.
// Returns the argument's length. The rules: blanks end an argument outside
// quotes; 2n backslashes before a quote give n backslashes and the quote
// opens or closes quoting; 2n + 1 give n and a literal quote; a doubled quote
// inside quotes is a literal quote; other backslashes are literal.
template <typename Char>
size_t NextArgument(const Char** p, Char* out, size_t out_size) {
  const Char* s = *p;
  size_t length = 0;
  auto emit = [&](Char c) {
    if (out != nullptr && length + 1 < out_size) out[length] = c;
    ++length;
  };
  bool quoted = false;
  while (*s != Char(0) && (quoted || !command_line_internal::IsBlank(*s))) {
    if (*s == Char('\\')) {
      size_t slashes = 0;
      while (*s == Char('\\')) ++slashes, ++s;
      if (*s == Char('"')) {
        for (size_t i = 0; i < slashes / 2; ++i) emit(Char('\\'));
        if (slashes % 2 == 1) emit(*s++);
      } else {
        for (size_t i = 0; i < slashes; ++i) emit(Char('\\'));
      }
    } else if (*s == Char('"')) {
      if (quoted && s[1] == Char('"')) {
        emit(Char('"'));
        s += 2;
      } else {
        quoted = !quoted;
        ++s;
      }
    } else {
      emit(*s++);
    }
  }
  if (out != nullptr && out_size > 0) out[length < out_size ? length : out_size - 1] = Char(0);
  while (command_line_internal::IsBlank(*s)) ++s;
  *p = s;
  return length;
}

// The raw text after the program name and the first `skip` arguments.
template <typename Char>
const Char* CommandLineTail(const Char* line, int skip) {
  const Char* p = SkipProgramName(line);
  for (int i = 0; i < skip && *p != Char(0); ++i) NextArgument<Char>(&p, nullptr, 0);
  return p;
}

#endif  // TUVOLINK_STUB_COMMAND_LINE_H_
