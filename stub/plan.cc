// Checking a package whole before writing, and then writing it.
#include "plan.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/printable.h"

namespace {

// Makes room for `needed` items of T at *data, doubling; false when memory
// runs out (a hostile package may hold millions of empty records).
template <typename T>
bool Reserve(T** data, size_t* capacity, size_t needed) {
  if (needed <= *capacity) return true;
  size_t grown = *capacity < 64 ? 64 : *capacity;
  while (grown < needed) {
    if (grown > (~size_t{0} / sizeof(T)) / 2) return false;
    grown *= 2;
  }
  void* bigger = std::realloc(*data, grown * sizeof(T));
  if (bigger == nullptr) return false;
  *data = static_cast<T*>(bigger);
  *capacity = grown;
  return true;
}

size_t Length(const PathChar* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

unsigned long Fold(PathChar c) {
  unsigned long u = static_cast<unsigned long>(c) & (sizeof(PathChar) == 1 ? 0xFFul : 0xFFFFFFFFul);
  // Windows matches names without regard to case.
  if (HostRules == NameRules::Windows && u >= 'a' && u <= 'z') u -= 'a' - 'A';
  return u;
}

// Compares a[0, a_length) with the whole of b, as the host's file system
// would match the names.
int Compare(const PathChar* a, size_t a_length, const PathChar* b) {
  for (size_t i = 0;; ++i) {
    unsigned long x = i < a_length ? Fold(a[i]) : 0, y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

}  // namespace

Plan::~Plan() {
  std::free(order_);
  std::free(entries_);
  std::free(names_);
  std::free(paths_);
}

bool Plan::Build(PackageSource* source, uint64_t end, uint64_t image_size, bool check_names,
                 ErrorLine* err) {
  PackageReader reader;
  ErrorLine read_error;
  if (!reader.Open(source, end, &read_error)) {
    err->Set("malformed package: %s", read_error.text);
    return false;
  }
  if (image_size != 0 && reader.start() != image_size) {
    err->Set(
        "malformed package: the records start at offset %llu, not where the program ends (%llu)",
        static_cast<unsigned long long>(reader.start()),
        static_cast<unsigned long long>(image_size));
    return false;
  }
  RecordInfo info;
  for (;;) {
    PackageReader::Status status = reader.Next(&info, nullptr, &read_error);
    if (status == PackageReader::End) break;
    if (status == PackageReader::Error) {
      err->Set("malformed package: %s", read_error.text);
      return false;
    }
    if (!Add(info, check_names, err)) return false;
  }
  return !check_names || CheckFilesAndFolders(err);
}

bool Plan::Add(const RecordInfo& info, bool check_names, ErrorLine* err) {
  size_t name_length = std::strlen(info.name) + 1;
  if (!Reserve(&entries_, &entries_capacity_, count_ + 1) ||
      !Reserve(&names_, &names_capacity_, names_size_ + name_length) ||
      !Reserve(&paths_, &paths_capacity_, paths_size_ + MaxName)) {
    err->Set("out of memory after %llu records", static_cast<unsigned long long>(count_));
    return false;
  }
  Entry& entry = entries_[count_];
  entry.decoded_size = info.decoded_size;
  entry.name = names_size_;
  entry.path = paths_size_;
  entry.stripped = false;
  entry.superseded = false;
  entry.existed = 0;
  std::memcpy(names_ + names_size_, info.name, name_length);
  names_size_ += name_length;
  paths_[paths_size_] = 0;
  if (check_names) {
    PathChar converted[MaxName];
    if (!ToPathChars(info.name, converted, MaxName)) {
      err->Set("unsafe name '%s': it is not valid text in this system's code page",
               Shown(info.name).text);
      return false;
    }
    NameFault fault = MakeEntryPath(converted, HostRules, HostSeparator, paths_ + paths_size_,
                                    MaxName, &entry.stripped);
    if (fault != NameFault::None) {
      err->Set("unsafe name '%s': %s", Shown(info.name).text, NameFaultText(fault));
      return false;
    }
    paths_size_ += Length(paths_ + paths_size_) + 1;
  } else {
    ++paths_size_;
  }
  total_size_ = total_size_ + info.decoded_size < total_size_ ? ~uint64_t{0}
                                                              : total_size_ + info.decoded_size;
  ++count_;
  return true;
}

namespace {

// The length of the folders that a and b have in common: the position of
// the last separator up to which they agree, or 0.
size_t SharedFolders(const PathChar* a, const PathChar* b) {
  size_t shared = 0;
  for (size_t i = 0; a[i] != 0 && Fold(a[i]) == Fold(b[i]); ++i) {
    if (a[i] == HostSeparator) shared = i;
  }
  return shared;
}

}  // namespace

// A path that one record writes as a file and another needs as a folder
// (a then a/b) cannot be extracted; finding it now keeps the run from
// failing halfway. Sorted paths let every folder prefix be looked up, put
// the records of one path side by side (the last one wins), and let the
// folders be counted once each.
bool Plan::CheckFilesAndFolders(ErrorLine* err) {
  order_ = static_cast<size_t*>(std::malloc((count_ + 1) * sizeof(size_t)));
  if (order_ == nullptr) {
    err->Set("out of memory");
    return false;
  }
  size_t* order = order_;
  for (size_t i = 0; i < count_; ++i) order[i] = i;
  std::sort(order, order + count_, [this](size_t a, size_t b) {
    int c = Compare(path(a), Length(path(a)), path(b));
    return c < 0 || (c == 0 && a < b);
  });
  for (size_t k = 0; k < count_; ++k) {
    const PathChar* p = path(order[k]);
    bool same_as_next = k + 1 < count_ && Compare(p, Length(p), path(order[k + 1])) == 0;
    entries_[order[k]].superseded = same_as_next;
    if (same_as_next) continue;
    size_t shared = k > 0 ? SharedFolders(p, path(order[k - 1])) : 0;
    ++entry_count_;  // the file
    for (size_t j = shared + (shared > 0 ? 1 : 0); p[j] != 0; ++j)
      entry_count_ += p[j] == HostSeparator;
    for (size_t j = 0; p[j] != 0; ++j) {
      if (p[j] != HostSeparator) continue;
      const size_t* hit = std::lower_bound(
          order, order + count_, p,
          [this, j](size_t e, const PathChar* key) { return Compare(key, j, path(e)) > 0; });
      if (hit != order + count_ && Compare(p, j, path(*hit)) == 0) {
        err->Set("unsafe name '%s': '%s' is a file in the same package", Shown(name(order[k])).text,
                 Shown(name(*hit)).text);
        return false;
      }
    }
  }
  return true;
}

bool Plan::Survey(Folder* folder, ErrorLine* err) {
  const PathChar* last = nullptr;
  size_t last_existed = 0;
  for (size_t k = 0; k < count_; ++k) {
    size_t i = order_[k];
    if (entries_[i].superseded) continue;
    size_t shared = last != nullptr ? SharedFolders(path(i), last) : 0;
    if (!SurveyPath(i, shared, last_existed, folder, err)) return false;
    last = path(i);
    last_existed = entries_[i].existed;
  }
  return true;
}

bool Plan::SurveyPath(size_t i, size_t shared, size_t last_existed, Folder* folder,
                      ErrorLine* err) {
  const PathChar* p = path(i);
  Entry& entry = entries_[i];
  // A folder missing in the part shared with the last path: the rest of
  // this one is missing too.
  entry.existed = last_existed < shared ? last_existed : shared;
  if (last_existed < shared) return true;
  size_t length = Length(p);
  char shown[4 * MaxName + 1];
  for (size_t j = shared + (shared > 0 ? 1 : 0); j <= length; ++j) {
    if (j < length && p[j] != HostSeparator) continue;
    EntryKind kind = folder->Kind(p, j);
    if (kind == EntryKind::Missing) return true;
    if (j < length && kind == EntryKind::Folder) {
      entry.existed = j;
      continue;
    }
    PathText(p, j, shown, sizeof shown);
    const char* why = kind == EntryKind::Unknown ? "cannot be checked"
                      : j == length              ? "exists already"
                                                 : "is a file or a symbolic link, not a folder";
    err->Set("cannot extract '%s': '%s' %s in '%s' (extract into a new or empty folder)",
             Shown(name(i)).text, shown, why, folder->display());
    return false;
  }
  return true;
}

void Plan::RemoveMadeFolders(size_t i, Folder* folder) const {
  const PathChar* p = path(i);
  for (size_t j = Length(p); j-- > entries_[i].existed;) {
    if (p[j] == HostSeparator && j > entries_[i].existed) folder->RemoveFolder(p, j);
  }
}
