// Extracting a package whose plan is made: the second pass, which decodes the
// records and writes their files.
#ifndef TUVOLINK_STUB_EXTRACT_H_
#define TUVOLINK_STUB_EXTRACT_H_

#include <cstdint>

#include "format/package_reader.h"
#include "os.h"
#include "plan.h"

// Writes every record of the package in source[0, end) into `folder` as
// `plan` lists it (built with check_names), in package order, so that a
// later record replaces an earlier one of the same path; the last record,
// the program, is made executable. Returns false with *err set on the first
// failure; the file being written is then removed.
bool ExtractAll(PackageSource* source, uint64_t end, const Plan& plan, Folder* folder,
                ErrorLine* err);

#endif  // TUVOLINK_STUB_EXTRACT_H_
