// The check pass with the package seal: the stub holds the seal slot that the
// packer fills, and checks the hash of everything after its image while it
// scans the records, so that a damaged package is refused before any write.
#ifndef TUVOLINK_STUB_SEAL_CHECK_H_
#define TUVOLINK_STUB_SEAL_CHECK_H_

#include "format/package_reader.h"
#include "format/seal.h"
#include "image_layout.h"
#include "plan.h"

// The seal in this stub's own slot; unsealed in a stub as built.
Seal OwnSeal();

// Builds *plan as Plan::Build does for the package at `span` in `source`. When
// `seal` is sealed, also hashes the bytes after the image while scanning and
// refuses a package whose length or hash differ from the seal's, with a
// message that says it is damaged. Returns false with *err set on any fault.
bool BuildCheckedPlan(PackageSource* source, const PackageSpan& span, const Seal& seal,
                      bool check_names, Plan* plan, ErrorLine* err);

#endif  // TUVOLINK_STUB_SEAL_CHECK_H_
