// A 64-bit digest of a stretch of bytes (XXH3-64), for checking that two
// readings of the same input saw the same bytes.
#ifndef TUVOLINK_FORMAT_DIGEST_H_
#define TUVOLINK_FORMAT_DIGEST_H_

#include <cstddef>
#include <cstdint>

// The digest of data[0, size) under `seed`: different seeds give unrelated
// digests, so that a digest also stands for where its bytes were.
uint64_t Digest64(const void* data, size_t size, uint64_t seed);

#endif  // TUVOLINK_FORMAT_DIGEST_H_
