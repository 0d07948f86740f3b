// A fault found by the format library or the stub, as one line of text. A
// fixed buffer rather than a string: the stub builds without exceptions.
#ifndef TUVOLINK_FORMAT_ERROR_LINE_H_
#define TUVOLINK_FORMAT_ERROR_LINE_H_

struct ErrorLine {
  char text[1024] = {};

  // Formats the line as printf does, cut to fit.
  void Set(const char* format, ...)
#ifdef __GNUC__
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  bool empty() const { return text[0] == 0; }
};

#endif  // TUVOLINK_FORMAT_ERROR_LINE_H_
