// Formatting an error line.
#include "format/error_line.h"

#include <cstdarg>
#include <cstdio>

void ErrorLine::Set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}
