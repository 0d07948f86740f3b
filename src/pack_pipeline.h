// Packing the records of all inputs on three threads: one reads the inputs
// and counts their bytes, one codes the records, one writes them. The bytes
// and the progress lines come out in list order, as from a single thread.
#ifndef TUVOLINK_PACK_PIPELINE_H_
#define TUVOLINK_PACK_PIPELINE_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "file_list.h"

class TempOutput;

// Told how far the reading of the inputs has come, for a progress display.
// The calls come from the packer's threads but never at the same time, at
// most once per block read; they must be cheap.
class PackObserver {
 public:
  virtual ~PackObserver() = default;
  // `bytes` more bytes of the input `name`, of `size` bytes in all, were read.
  virtual void Read(const std::string& name, uint64_t size, uint64_t bytes) = 0;
};

// Appends one record per node of `list`, in list order, to `output`, and
// prints each input's progress lines (Processing, CrunchByte, Compressing) to
// `progress` (none when it is null), and tells `observer` (which may be null)
// of the bytes read. A file of at most InMemoryLimit bytes is read once; a larger one
// is read twice and must not change in between. Memory use is bounded
// (about 32 MiB) whatever the input sizes. Returns false and sets *err, naming
// the file and the reason, at the first failure in list order.
bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress,
                 PackObserver* observer, std::string* err);

#endif  // TUVOLINK_PACK_PIPELINE_H_
