// The progress display and the summary line that the packer shows on
// standard error when it is a terminal.
#ifndef TUVOLINK_TERMINAL_PROGRESS_H_
#define TUVOLINK_TERMINAL_PROGRESS_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "pack_pipeline.h"

// One line for the input being read (its name, the percentage read and the
// speed), drawn only once an input has taken a quarter of a second, redrawn
// at most four times a second, and erased when the input is read and at the
// end. Small inputs therefore draw nothing.
class TerminalProgress : public PackObserver {
 public:
  // `clock` gives seconds from any fixed start; `out` is the terminal.
  TerminalProgress(std::FILE* out, std::function<double()> clock);
  void Read(const std::string& name, uint64_t size, uint64_t bytes) override;
  // Erases the line if one is shown.
  void Finish();

 private:
  void Draw(double now);
  void Erase();

  std::FILE* out_;
  std::function<double()> clock_;
  std::string name_;
  uint64_t size_ = 0;
  uint64_t done_ = 0;
  uint64_t first_ = 0;  // the bytes of the first block
  double started_ = 0;
  double drawn_ = 0;
  bool shown_ = false;
};

// The summary of a run, e.g. "3 files, 12.3 MB in, 4.5 MB out (36.6%), 0.42 s".
std::string SummaryLine(uint64_t files, uint64_t bytes_in, uint64_t bytes_out, double seconds);

// Seconds on a steady clock, for TerminalProgress and the summary.
double SteadySeconds();

#endif  // TUVOLINK_TERMINAL_PROGRESS_H_
