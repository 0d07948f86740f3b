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

struct Spec {
  bool left = false;  // '-': pad on the right
  bool zero = false;  // '0': pad numbers with zeros
  size_t width = 0;
  size_t precision = SIZE_MAX;  // for %s: the most characters taken
  int longs = 0;                // 1 for l, 2 for ll
};

void PutPadded(Sink* sink, const Spec& spec, const char* text, size_t length, bool number) {
  size_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left) sink->Repeat(spec.zero && number ? '0' : ' ', pad);
  for (size_t i = 0; i < length; ++i) sink->Put(text[i]);
  if (spec.left) sink->Repeat(' ', pad);
}

void PutNumber(Sink* sink, const Spec& spec, uint64_t magnitude, bool negative, unsigned base) {
  char digits[24];
  size_t n = sizeof digits;
  do {
    digits[--n] = "0123456789abcdef"[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative && !(spec.zero && !spec.left)) digits[--n] = '-';
  if (negative && spec.zero && !spec.left) {
    sink->Put('-');
    Spec rest = spec;
    rest.width = spec.width > 0 ? spec.width - 1 : 0;
    PutPadded(sink, rest, digits + n, sizeof digits - n, true);
    return;
  }
  PutPadded(sink, spec, digits + n, sizeof digits - n, true);
}

// Reads the flags, width, precision and length of the conversion at *p
// (after the '%'), leaving *p at the conversion character.
Spec ReadSpec(const char** p, va_list* args) {
  Spec spec;
  const char* f = *p;
  for (;; ++f) {
    if (*f == '-') {
      spec.left = true;
    } else if (*f == '0') {
      spec.zero = true;
    } else {
      break;
    }
  }
  while (*f >= '0' && *f <= '9') spec.width = spec.width * 10 + static_cast<size_t>(*f++ - '0');
  if (f[0] == '.' && f[1] == '*') {
    int precision = va_arg(*args, int);
    spec.precision = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
    f += 2;
  }
  while (*f == 'l' && spec.longs < 2) {
    ++spec.longs;
    ++f;
  }
  *p = f;
  return spec;
}

uint64_t UnsignedArgument(const Spec& spec, va_list* args) {
  if (spec.longs == 2) return va_arg(*args, unsigned long long);
  if (spec.longs == 1) return va_arg(*args, unsigned long);
  return va_arg(*args, unsigned);
}

int64_t SignedArgument(const Spec& spec, va_list* args) {
  if (spec.longs == 2) return va_arg(*args, long long);
  if (spec.longs == 1) return va_arg(*args, long);
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
    Spec spec = ReadSpec(&p, &list);
    if (*p == 's') {
      const char* text = va_arg(list, const char*);
      if (text == nullptr) text = "(null)";
      size_t length = 0;
      while (length < spec.precision && text[length] != 0) ++length;
      PutPadded(&sink, spec, text, length, false);
    } else if (*p == 'c') {
      char c = static_cast<char>(va_arg(list, int));
      PutPadded(&sink, spec, &c, 1, false);
    } else if (*p == 'd' || *p == 'i') {
      int64_t value = SignedArgument(spec, &list);
      uint64_t magnitude =
          value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      PutNumber(&sink, spec, magnitude, value < 0, 10);
    } else if (*p == 'u' || *p == 'x') {
      PutNumber(&sink, spec, UnsignedArgument(spec, &list), false, *p == 'u' ? 10 : 16);
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
