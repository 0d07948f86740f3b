// One line on standard error that shows how far a long check or extraction
// has come: only on a terminal, only for a large package, at most four
// updates a second, erased at the end.
#ifndef TUVOLINK_STUB_PROGRESS_H_
#define TUVOLINK_STUB_PROGRESS_H_

#include <cstddef>
#include <cstdint>

#include "format/package_reader.h"

class Progress {
 public:
  Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { End(); }

  // Starts showing work of `total` bytes as `what` ("checking"), when
  // standard error is a terminal and the total is over Threshold; else the
  // object stays silent.
  void Begin(const char* what, uint64_t total);
  // `done` bytes of the total are done.
  void Update(uint64_t done) {
    if (shown_) Redraw(done, false);
  }
  // Erases the line.
  void End();

  static constexpr uint64_t Threshold = uint64_t{64} << 20;

 private:
  void Redraw(uint64_t done, bool now);

  bool shown_ = false;
  const char* what_ = "";
  uint64_t total_ = 0;
  uint64_t start_ms_ = 0;
  uint64_t drawn_ms_ = 0;
  int width_ = 0;  // of the line on screen
};

// A package source that shows how far the reading has come.
class ProgressSource : public PackageSource {
 public:
  ProgressSource(PackageSource* source, Progress* progress)
      : source_(source), progress_(progress) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    progress_->Update(offset + size);
    return source_->ReadAt(offset, buffer, size);
  }
  void ReadAhead(uint64_t offset, void* buffer, size_t size) override {
    source_->ReadAhead(offset, buffer, size);
  }
  void Settle() override { source_->Settle(); }

 private:
  PackageSource* source_;
  Progress* progress_;
};

#endif  // TUVOLINK_STUB_PROGRESS_H_
