// printf-style formatting for the stub's messages, in a few hundred bytes of
// code: the C library's printf brings its floating-point conversions along,
// which alone take a fifth of the Windows stub's size budget.
#ifndef TUVOLINK_FORMAT_TEXT_FORMAT_H_
#define TUVOLINK_FORMAT_TEXT_FORMAT_H_

#include <cstdarg>
#include <cstddef>

// Formats like vsnprintf into out[0, size), always 0-terminated (size > 0),
// cut to fit. Knows the conversions the messages use: %s and %.*s, %c, %d,
// %u and %x with the length modifiers l and ll, a field width and the '0'
// and '-' flags, and %%; a conversion it does not know is copied as it
// stands. Returns the length written, never more than size - 1.
size_t FormatTextV(char* out, size_t size, const char* format, va_list args);
size_t FormatText(char* out, size_t size, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 3, 4)))
#endif
    ;

#endif  // TUVOLINK_FORMAT_TEXT_FORMAT_H_
