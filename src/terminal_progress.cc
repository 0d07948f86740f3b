// Drawing on one terminal line with a carriage return and "erase to the end
// of the line" (ESC [ K), which every terminal emulator in use understands.
#include "terminal_progress.h"

#include <chrono>

#include "names.h"

namespace {

// A quarter of a second: few enough updates not to slow the run or flicker.
constexpr double Interval = 0.25;

std::string Megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

TerminalProgress::TerminalProgress(std::FILE* out, std::function<double()> clock)
    : out_(out), clock_(std::move(clock)) {}

void TerminalProgress::Read(const std::string& name, uint64_t size, uint64_t bytes) {
  const double now = clock_();
  if (name != name_ || size != size_) {
    Erase();
    name_ = name;
    size_ = size;
    done_ = 0;
    started_ = now;
    // The first block was read before `now`, in a time unknown: the speed
    // counts from the second one on.
    first_ = bytes;
  }
  done_ += bytes;
  if (done_ >= size_) {
    Erase();
    return;
  }
  if (now - started_ >= Interval && (!shown_ || now - drawn_ >= Interval)) Draw(now);
}

void TerminalProgress::Finish() { Erase(); }

void TerminalProgress::Draw(double now) {
  const double seconds = now - started_;
  const double rate = seconds > 0 ? static_cast<double>(done_ - first_) / seconds : 0;
  const unsigned percent = static_cast<unsigned>(done_ * 100 / size_);
  std::fprintf(out_, "\rReading %s  %3u%%  %s/s\x1b[K", QuotedStart(name_).c_str(), percent,
               Megabytes(rate).c_str());
  std::fflush(out_);
  shown_ = true;
  drawn_ = now;
}

void TerminalProgress::Erase() {
  if (!shown_) return;
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
  shown_ = false;
}

std::string SummaryLine(uint64_t files, uint64_t bytes_in, uint64_t bytes_out, double seconds) {
  char text[160];
  const double ratio =
      bytes_in > 0 ? 100.0 * static_cast<double>(bytes_out) / static_cast<double>(bytes_in) : 0;
  std::snprintf(text, sizeof text, "%llu file%s, %s in, %s out (%.1f%%), %.2f s",
                static_cast<unsigned long long>(files), files == 1 ? "" : "s",
                Megabytes(static_cast<double>(bytes_in)).c_str(),
                Megabytes(static_cast<double>(bytes_out)).c_str(), ratio, seconds);
  return text;
}

double SteadySeconds() {
  using std::chrono::steady_clock;
  return std::chrono::duration<double>(steady_clock::now().time_since_epoch()).count();
}
