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
  // True when a later record has the same path and replaces record i,
  // which is then not written at all; only after Build with check_names.
  bool superseded(size_t i) const { return entries_[i].superseded; }
  // The files and the distinct folders that the paths name.
  uint64_t entry_count() const { return entry_count_; }

  // Checks an existing folder for clashes before anything is written: a
  // record's path must name nothing there yet, and every folder on its way
  // must be a folder (not a link to one) or missing. Notes for every path
  // how much of it existed, for RemoveMadeFolders. False with *err set on
  // the first clash. Only after Build with check_names.
  bool Survey(Folder* folder, ErrorLine* err);
  // Removes, from a folder that Survey checked, the folders made for the
  // path of record i that are empty; deepest first. Once the files are
  // gone, doing so for every record removes every folder the run made.
  void RemoveMadeFolders(size_t i, Folder* folder) const;
  // Sum of the decoded sizes; saturates rather than wraps.
  uint64_t total_size() const { return total_size_; }

 private:
  struct Entry {
    uint64_t decoded_size;
    size_t name;  // offset in names_
    size_t path;  // offset in paths_
    bool stripped;
    bool superseded;
    size_t existed;  // folders of the path up to this length existed before
  };
  bool Add(const RecordInfo& info, bool check_names, ErrorLine* err);
  bool CheckFilesAndFolders(ErrorLine* err);
  // Checks the path of record i against what is in `folder`; `shared` is
  // the length of the folders it has in common with the path checked last,
  // whose folders existed up to `last_existed`.
  bool SurveyPath(size_t i, size_t shared, size_t last_existed, Folder* folder, ErrorLine* err);

  Entry* entries_ = nullptr;
  size_t count_ = 0, entries_capacity_ = 0;
  char* names_ = nullptr;
  size_t names_size_ = 0, names_capacity_ = 0;
  PathChar* paths_ = nullptr;
  size_t paths_size_ = 0, paths_capacity_ = 0;
  uint64_t total_size_ = 0;
  uint64_t entry_count_ = 0;
  size_t* order_ = nullptr;  // record numbers sorted by path
};

#endif  // TUVOLINK_STUB_PLAN_H_
