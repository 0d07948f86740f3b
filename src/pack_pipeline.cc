// The choice of a scheduler for PackRecords.
#include "pack_pipeline.h"

#include <algorithm>
#include <new>
#include <vector>

#include "pack_stages.h"
#include "platform.h"

unsigned WorkersFor(unsigned usable, double load) {
  // Rounded: a load of 0.3 on two processors leaves both to us, one of 0.6
  // only one.
  double spare = static_cast<double>(usable) - load + 0.5;
  unsigned workers = spare < 1 ? 1 : static_cast<unsigned>(spare);
  return std::min(std::min(workers, usable), MaxWorkers);
}

bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress,
                 PackObserver* observer, std::string* err) {
  return PackRecordsWith(list, output, progress, observer, PackOptions(), err);
}

bool PackRecordsWith(const LinkNode* list, TempOutput* output, std::FILE* progress,
                     PackObserver* observer, const PackOptions& options, std::string* err) {
  InputSource* source = options.source != nullptr ? options.source : FileSource();
  std::vector<const char*> names;
  try {
    for (const LinkNode* node = list; node != nullptr; node = node->Next) {
      names.push_back(node->Name);
    }
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
    return false;
  }
#if TUVOLINK_PACK_THREADS
  unsigned workers = std::min(options.workers, MaxWorkers);
  if (workers == 0) {
    const unsigned usable = UsableProcessors();
    workers = usable > 1 ? WorkersFor(usable, MachineLoad()) : 1;
  }
  // With one worker, threads would only hand work to each other.
  if (workers > 1) return PackThreaded(names, workers, source, output, progress, observer, err);
#endif
  return PackSerial(names, source, output, progress, observer, err);
}
