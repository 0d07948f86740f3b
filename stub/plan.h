// The plan of an extraction: a first pass over the whole package that checks
// every record and scans its data for the end marker and the decoded size,
// turning each name into a safe path, so that a bad package is refused before
// anything is written.
#ifndef TUVOLINK_STUB_PLAN_H_
#define TUVOLINK_STUB_PLAN_H_

#include <cstddef>
#include <cstdint>

#include "format/package_reader.h"
#include "os.h"

class Plan {
 public:
  Plan() = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan();

  // Walks the package in source[0, end) whose records must begin at
  // `image_size` (not checked when 0) and scans every record. With
  // `check_names`, also turns every name into a path by the host's rules
  // and refuses a name that is unsafe or a path that is both a file and a
  // folder. Returns false with *err set (one line) on the first fault.
  bool Build(PackageSource* source, uint64_t end, uint64_t image_size, bool check_names,
             ErrorLine* err);

  size_t size() const { return count_; }
  const char* name(size_t i) const { return names_ + entries_[i].name; }
  // The path of record i; only after Build with check_names.
  const PathChar* path(size_t i) const { return paths_ + entries_[i].path; }
  uint64_t decoded_size(size_t i) const { return entries_[i].decoded_size; }
  // True when a drive or leading separators were taken off the name.
  bool stripped(size_t i) const { return entries_[i].stripped; }
  // Sum of the decoded sizes; saturates rather than wraps.
  uint64_t total_size() const { return total_size_; }

 private:
  struct Entry {
    uint64_t decoded_size;
    size_t name;  // offset in names_
    size_t path;  // offset in paths_
    bool stripped;
  };
  bool Add(const RecordInfo& info, bool check_names, ErrorLine* err);
  bool CheckFilesAndFolders(ErrorLine* err);

  Entry* entries_ = nullptr;
  size_t count_ = 0, entries_capacity_ = 0;
  char* names_ = nullptr;
  size_t names_size_ = 0, names_capacity_ = 0;
  PathChar* paths_ = nullptr;
  size_t paths_size_ = 0, paths_capacity_ = 0;
  uint64_t total_size_ = 0;
};

#endif  // TUVOLINK_STUB_PLAN_H_
