// The conversions of FormatTextV, one at a time into a bounded buffer.
#include "format/text_format.h"

#include <cstdint>

namespace {

// The output buffer: keeps one byte for the terminating 0 and drops what
// does not fit.
struct Sink {
  char* out;
  size_t size;
  size_t used;
  void Put(char c) {
    if (used + 1 < size) out[used++] = c;
  }
  void Repeat(char c, size_t n) {
    for (; n > 0; --n) Put(c);
  }
};

struct Conversion {
  bool left = false;  // '-': pad on the right
  bool zero = false;  // '0': pad numbers with zeros
  size_t width = 0;
  size_t precision = SIZE_MAX;  // for %s: the most characters taken
  int longs = 0;                // 1 for l, 2 for ll
};

void PutPadded(Sink* sink, const Conversion& conv, const char* text, size_t length, bool number) {
  size_t pad = conv.width > length ? conv.width - length : 0;
  if (!conv.left) sink->Repeat(conv.zero && number ? '0' : ' ', pad);
  for (size_t i = 0; i < length; ++i) sink->Put(text[i]);
  if (conv.left) sink->Repeat(' ', pad);
}

void PutNumber(Sink* sink, const Conversion& conv, uint64_t magnitude, bool negative,
               unsigned base) {
  char digits[24];
  size_t n = sizeof digits;
  do {
    digits[--n] = "0123456789abcdef"[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative && !(conv.zero && !conv.left)) digits[--n] = '-';
  if (negative && conv.zero && !conv.left) {
    sink->Put('-');
    Conversion rest = conv;
    rest.width = conv.width > 0 ? conv.width - 1 : 0;
    PutPadded(sink, rest, digits + n, sizeof digits - n, true);
    return;
  }
  PutPadded(sink, conv, digits + n, sizeof digits - n, true);
}

// Reads the flags, width, precision and length of the conversion at *p
// (after the '%'), leaving *p at the conversion character.
Conversion ReadConversion(const char** p, va_list* args) {
  Conversion conv;
  const char* f = *p;
  for (;; ++f) {
    if (*f == '-') {
      conv.left = true;
    } else if (*f == '0') {
      conv.zero = true;
    } else {
      break;
    }
  }
  while (*f >= '0' && *f <= '9') conv.width = conv.width * 10 + static_cast<size_t>(*f++ - '0');
  if (f[0] == '.' && f[1] == '*') {
    int precision = va_arg(*args, int);
    conv.precision = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
    f += 2;
  }
  while (*f == 'l' && conv.longs < 2) {
    ++conv.longs;
    ++f;
  }
  *p = f;
  return conv;
}

uint64_t UnsignedArgument(const Conversion& conv, va_list* args) {
  if (conv.longs == 2) return va_arg(*args, unsigned long long);
  if (conv.longs == 1) return va_arg(*args, unsigned long);
  return va_arg(*args, unsigned);
}

int64_t SignedArgument(const Conversion& conv, va_list* args) {
  if (conv.longs == 2) return va_arg(*args, long long);
  if (conv.longs == 1) return va_arg(*args, long);
  return va_arg(*args, int);
}

}  // namespace

size_t FormatTextV(char* out, size_t size, const char* format, va_list args) {
  if (size == 0) return 0;
  Sink sink = {out, size, 0};
  va_list list;
  va_copy(list, args);
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      sink.Put(*p);
      continue;
    }
    const char* start = p++;
    Conversion conv = ReadConversion(&p, &list);
    if (*p == 's') {
      const char* text = va_arg(list, const char*);
      if (text == nullptr) text = "(null)";
      size_t length = 0;
      while (length < conv.precision && text[length] != 0) ++length;
      PutPadded(&sink, conv, text, length, false);
    } else if (*p == 'c') {
      char c = static_cast<char>(va_arg(list, int));
      PutPadded(&sink, conv, &c, 1, false);
    } else if (*p == 'd' || *p == 'i') {
      int64_t value = SignedArgument(conv, &list);
      uint64_t magnitude =
          value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      PutNumber(&sink, conv, magnitude, value < 0, 10);
    } else if (*p == 'u' || *p == 'x') {
      PutNumber(&sink, conv, UnsignedArgument(conv, &list), false, *p == 'u' ? 10 : 16);
    } else if (*p == '%') {
      sink.Put('%');
    } else {
      // Unknown: copied as it stands, so that the fault shows.
      for (const char* q = start; q <= p && *q != 0; ++q) sink.Put(*q);
      if (*p == 0) break;
    }
  }
  va_end(list);
  out[sink.used] = 0;
  return sink.used;
}

size_t FormatText(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatTextV(out, size, format, args);
  va_end(args);
  return n;
}
