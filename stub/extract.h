// Extracting a package whose plan is made: the second pass, which decodes the
// records and writes their files.
#ifndef TUVOLINK_STUB_EXTRACT_H_
#define TUVOLINK_STUB_EXTRACT_H_

#include <cstdint>

#include "format/package_reader.h"
#include "os.h"
#include "plan.h"
#include "progress.h"

// Writes the files of the package in source[0, end) into `folder` as `plan`
// lists them (built with check_names, and surveyed when the folder is not
// fresh), in package order; a record that a later one of the same path
// replaces is not written. The program, the last record, is made
// executable. Returns false with *err set on the first failure, having
// removed the files it wrote and the folders it made into a folder that is
// not fresh; a fresh folder is left for the caller to remove whole.
// `progress` (which may be null) is told of the bytes written.
bool ExtractAll(PackageSource* source, uint64_t end, const Plan& plan, Folder* folder,
                Progress* progress, ErrorLine* err);

#endif  // TUVOLINK_STUB_EXTRACT_H_
