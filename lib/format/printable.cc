// Escaping names for the terminal.
#include "format/printable.h"

#include <cstdint>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence at p[0, left) that stands for a
// printable character, or 0 when its bytes must be escaped one by one.
size_t SafeSequence(const uint8_t* p, size_t left) {
  const uint8_t lead = p[0];
  if (lead >= 0x20 && lead < 0x7F) return 1;
  size_t size = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (left < size || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < size; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  uint32_t code = lead & (0xFFu >> (size + 1));
  for (size_t i = 1; i < size; ++i) code = code << 6 | (p[i] & 0x3Fu);
  const bool c1 = code >= 0x80 && code <= 0x9F;
  // The controls that reorder text on screen, so that a listed name could
  // show as another.
  const bool bidi = code == 0x061C || code == 0x200E || code == 0x200F ||
                    (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
  return c1 || bidi ? 0 : size;
}

}  // namespace

size_t Printable(const char* name, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
  size_t n = 0;
  for (size_t i = 0; i < length;) {
    size_t safe = SafeSequence(p + i, length - i);
    char escape[5];
    const char* piece;
    size_t piece_size;
    if (safe > 0) {
      piece = name + i;
      piece_size = safe;
    } else {
      static const char Hex[] = "0123456789abcdef";
      escape[0] = '\\';
      if (p[i] == '\n' || p[i] == '\r' || p[i] == '\t') {
        escape[1] = p[i] == '\n' ? 'n' : p[i] == '\r' ? 'r' : 't';
        piece_size = 2;
      } else {
        escape[1] = 'x';
        escape[2] = Hex[p[i] >> 4];
        escape[3] = Hex[p[i] & 0xF];
        piece_size = 4;
      }
      piece = escape;
      safe = 1;
    }
    if (n + piece_size + 1 > out_size) break;
    std::memcpy(out + n, piece, piece_size);
    n += piece_size;
    i += safe;
  }
  out[n] = 0;
  return n;
}

Shown::Shown(const char* name) {
  size_t length = 0;
  while (length < MaxName - 1 && name[length] != 0) ++length;
  Printable(name, length, text, sizeof text);
}
