// The choice of a scheduler for PackRecords.
#include "pack_pipeline.h"

#include <algorithm>
#include <new>
#include <vector>

#include "pack_stages.h"
#include "platform.h"

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
  unsigned workers = options.workers != 0 ? options.workers : UsableProcessors();
  workers = std::min(workers, MaxWorkers);
#if TUVOLINK_PACK_THREADS
  // With one processor, threads would only take turns on it.
  if (workers > 1) return PackThreaded(names, workers, source, output, progress, observer, err);
#endif
  return PackSerial(names, source, output, progress, observer, err);
}
