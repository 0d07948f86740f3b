// Formatting an error line.
#include "format/error_line.h"

#include <cstdarg>

#include "format/text_format.h"

void ErrorLine::Set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTextV(text, sizeof text, format, args);
  va_end(args);
}
