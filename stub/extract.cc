// The second pass of an extraction: decoding every record again, now into
// the files, through the write queue.
#include "extract.h"

#include <cstring>

#include "write_queue.h"

bool ExtractAll(PackageSource* source, uint64_t end, const Plan& plan, Folder* folder,
                ErrorLine* err) {
  PackageReader reader;
  ErrorLine read_error;
  if (!reader.Open(source, end, &read_error)) {
    err->Set("malformed package: %s", read_error.text);
    return false;
  }
  WriteQueue queue(plan, folder);
  if (!queue.Start(err)) return false;
  RecordInfo info;
  for (size_t i = 0; i < plan.size(); ++i) {
    queue.BeginRecord(i);
    PackageReader::Status status = reader.Next(&info, &queue, &read_error);
    bool as_planned = status == PackageReader::Record &&
                      std::strcmp(info.name, plan.name(i)) == 0 &&
                      info.decoded_size == plan.decoded_size(i);
    if (!as_planned || !queue.EndRecord()) {
      // A write failure stops the decoder too; the writer tells which.
      if (queue.Finish(err)) err->Set("the package changed while it was being extracted");
      return false;
    }
  }
  return queue.Finish(err);
}
