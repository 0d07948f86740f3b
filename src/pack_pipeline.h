// Packing the records of all inputs: on worker threads, as many as the
// processors this process may use (pack_threads.cc), or on the calling thread
// (pack_serial.cc). The bytes and the progress lines come out in list order,
// as from a single thread.
#ifndef TUVOLINK_PACK_PIPELINE_H_
#define TUVOLINK_PACK_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "file_list.h"

class InputSource;
class TempOutput;

// Told how far the reading of the inputs has come, for a progress display.
// The calls come from the packer's threads but never at the same time, at
// most once per block read; they must be cheap. Each byte of an input is
// told once, even where the input is read twice.
class PackObserver {
 public:
  virtual ~PackObserver() = default;
  // `bytes` more bytes of the input `name`, of `size` bytes in all, were read.
  virtual void Read(const std::string& name, uint64_t size, uint64_t bytes) = 0;
};

// Appends one record per node of `list`, in list order, to `output`, and
// prints each input's progress lines (Processing, CrunchByte, Compressing) to
// `progress` (none when it is null), and tells `observer` (which may be null)
// of the bytes read. A file of at most HoldLimit bytes (pack_stages.h) is
// read once; a larger one is read twice and must not change in between.
// Memory use is bounded (under 48 MiB, whatever the input sizes and the
// number of workers). Returns false and sets *err, naming the file and
// the reason, at the first failure in list order; nothing after it is written.
bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress,
                 PackObserver* observer, std::string* err);

constexpr unsigned MaxWorkers = 4;

// The number of workers for `usable` processors when `load` other threads
// want to run (MachineLoad): one for each processor the load leaves free, at
// least one, at most MaxWorkers. On a machine busy with other work, threads
// would only share the processors this process gets and add the cost of
// handing work between them.
unsigned WorkersFor(unsigned usable, double load);

// The number of workers for this run: WorkersFor the usable processors and
// the load seen at the first call (the same for the whole run).
unsigned RunWorkers();

// Calls part(begin, end) over contiguous ranges that cover [0, count), on
// RunWorkers() threads, the calling one among them; on the calling thread
// alone where the build has no threads or the items are few. For work made
// of system calls, such as looking at every input before packing. `part`
// must be safe to run on several threads at once; an exception it throws is
// thrown again here once every range is done.
void SplitWork(size_t count, const std::function<void(size_t, size_t)>& part);

// How PackRecordsWith packs: the seams of the tests.
struct PackOptions {
  // The number of workers: 0 for WorkersFor the usable processors and the
  // machine's load, 1 for the serial scheduler on the calling thread.
  unsigned workers = 0;
  // Where the inputs are read from; null for the files themselves.
  InputSource* source = nullptr;
};

// PackRecords with `options`. Where the build has no threads, every
// worker count means the serial scheduler.
bool PackRecordsWith(const LinkNode* list, TempOutput* output, std::FILE* progress,
                     PackObserver* observer, const PackOptions& options, std::string* err);

#endif  // TUVOLINK_PACK_PIPELINE_H_
