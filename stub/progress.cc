// The progress line: redrawn in place with a carriage return.
#include "progress.h"

#include <cstring>

#include "format/text_format.h"
#include "os.h"

namespace {

// Redraws a quarter of a second apart at the most.
constexpr uint64_t RedrawMs = 250;

}  // namespace

void Progress::Begin(const char* what, uint64_t total) {
  End();
  if (total <= Threshold || !IsTerminal(2)) return;
  shown_ = true;
  what_ = what;
  total_ = total;
  start_ms_ = NowMs();
  Redraw(0, true);
}

void Progress::Redraw(uint64_t done, bool now) {
  uint64_t ms = NowMs();
  if (!now && ms - drawn_ms_ < RedrawMs) return;
  drawn_ms_ = ms;
  unsigned percent = static_cast<unsigned>(done / (total_ / 100 + 1));
  if (percent > 100) percent = 100;
  char line[96];
  int n = static_cast<int>(FormatText(line, sizeof line, "\rtuvo: %s %3u%%", what_, percent));
  uint64_t elapsed = ms - start_ms_;
  if (elapsed > 0 && done > 0 && n > 0) {
    n += static_cast<int>(FormatText(line + n, sizeof line - static_cast<size_t>(n), ", %llu MB/s",
                                     static_cast<unsigned long long>(done / 1000 / elapsed)));
  }
  if (n <= 0) return;
  // Blanks over what is left of a longer line drawn before.
  while (n - 1 < width_ && n < static_cast<int>(sizeof line) - 1) line[n++] = ' ';
  line[n] = 0;
  width_ = n - 1;
  WriteText(2, line);
}

void Progress::End() {
  if (!shown_) return;
  shown_ = false;
  char line[100];
  int n = 0;
  line[n++] = '\r';
  while (n <= width_ && n < static_cast<int>(sizeof line) - 2) line[n++] = ' ';
  line[n++] = '\r';
  line[n] = 0;
  WriteText(2, line);
  width_ = 0;
}
