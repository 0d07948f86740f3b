// XXH3-64 from xxHash's header, compiled into this file alone.
#include "format/digest.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

uint64_t Digest64(const void* data, size_t size, uint64_t seed) {
  return XXH3_64bits_withSeed(data, size, seed);
}
