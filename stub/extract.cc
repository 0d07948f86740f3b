// The second pass of an extraction: decoding every record again, now into
// the files, through the write queue.
#include "extract.h"

#include <cstring>

#include "write_queue.h"

namespace {

// A second thread pays when there is enough to write for writing and
// decoding to overlap; records share buffers, so small files cost no more
// handing over than large ones.
bool WorthAThread(const Plan& plan) {
  constexpr uint64_t MinTotal = uint64_t{16} << 20;
  return plan.total_size() >= MinTotal;
}

// Takes away what a failed extraction wrote into a folder that held files
// before: the files of the records before `committed`, then every folder
// the survey found missing and that is empty now.
void Undo(const Plan& plan, size_t committed, Folder* folder) {
  for (size_t i = 0; i < committed; ++i) {
    if (!plan.superseded(i)) folder->RemoveFile(plan.path(i));
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    if (!plan.superseded(i)) plan.RemoveMadeFolders(i, folder);
  }
}

bool Decode(PackageReader* reader, const Plan& plan, WriteQueue* queue, ErrorLine* err) {
  RecordInfo info;
  ErrorLine read_error;
  for (size_t i = 0; i < plan.size(); ++i) {
    bool skip = plan.superseded(i);
    if (!skip) queue->BeginRecord(i);
    PackageReader::Status status = reader->Next(&info, skip ? nullptr : queue, &read_error);
    bool as_planned = status == PackageReader::Record &&
                      std::strcmp(info.name, plan.name(i)) == 0 &&
                      info.decoded_size == plan.decoded_size(i);
    if (!as_planned || (!skip && !queue->EndRecord())) {
      // A write failure stops the decoder too; the writer tells which.
      if (queue->Finish(err)) err->Set("the package changed while it was being extracted");
      return false;
    }
  }
  return queue->Finish(err);
}

}  // namespace

bool ExtractAll(PackageSource* source, uint64_t end, const Plan& plan, Folder* folder,
                Progress* progress, ErrorLine* err) {
  PackageReader reader;
  ErrorLine read_error;
  if (!reader.Open(source, end, &read_error)) {
    err->Set("malformed package: %s", read_error.text);
    return false;
  }
  WriteQueue queue(plan, folder, progress);
  if (!queue.Start(WorthAThread(plan), err)) return false;
  if (Decode(&reader, plan, &queue, err)) return true;
  if (!folder->fresh()) Undo(plan, queue.committed(), folder);
  return false;
}
