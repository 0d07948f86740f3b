// Names taken from a package or a list file are printed only through this
// function: a name may hold bytes that a terminal takes as commands (ESC
// sequences, BEL, CR, bidirectional overrides), or fake extra lines.
#ifndef TUVOLINK_FORMAT_PRINTABLE_H_
#define TUVOLINK_FORMAT_PRINTABLE_H_

#include <cstddef>

#include "format/layout.h"

// Copies name[0, length) into out[0, out_size), always 0-terminated, with
// every byte that is not safe to show escaped as \xHH (\n, \r and \t as
// such): control characters, DEL, bytes that are not part of valid UTF-8,
// and the UTF-8 forms of the C1 controls and of the bidirectional controls.
// Escapes are never cut in half; a name that does not fit is cut. Returns
// the length written.
size_t Printable(const char* name, size_t length, char* out, size_t out_size);

// The printable form of a 0-terminated name of at most MaxName - 1 bytes
// (longer ones are cut), for a message: Shown(name).text.
struct Shown {
  explicit Shown(const char* name);
  char text[4 * MaxName + 1];
};

#endif  // TUVOLINK_FORMAT_PRINTABLE_H_
