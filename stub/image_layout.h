// Where the package lies in the stub's own file: the executable image ends
// where its headers say (ELF or PE), the records begin right there, and on a
// package signed with Authenticode the certificate table follows the trailer.
#ifndef TUVOLINK_STUB_IMAGE_LAYOUT_H_
#define TUVOLINK_STUB_IMAGE_LAYOUT_H_

#include <cstdint>

#include "format/package_reader.h"

struct PackageSpan {
  // Length of the executable image itself, from its headers; 0 if the
  // headers are not recognised.
  uint64_t image_size = 0;
  // End of the package: the file's end, or the start of an Authenticode
  // certificate table that ends the file.
  uint64_t end = 0;
};

// Reads the executable headers of the file source[0, file_size) and fills
// *span. Never fails: unknown or damaged headers leave image_size at 0 and
// end at file_size, and the package checks then decide.
void LocatePackage(PackageSource* source, uint64_t file_size, PackageSpan* span);

#endif  // TUVOLINK_STUB_IMAGE_LAYOUT_H_
