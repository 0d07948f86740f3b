// The hash behind the seal: XXH3-128 from xxHash, compiled into this file
// alone. The stub links this file, which never names the magic.
#include "format/seal.h"

#include <cstring>

#include "format/layout.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

SealHash::SealHash() {
  static_assert(sizeof(XXH3_state_t) + 63 <= sizeof storage_ && alignof(XXH3_state_t) <= 64,
                "storage_ must hold an XXH3_state_t at a 64-byte boundary");
  XXH3_128bits_reset(static_cast<XXH3_state_t*>(State()));
}

void SealHash::Update(const void* data, size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(State()), data, size);
}

void SealHash::Final(uint8_t out[SealHashSize]) {
  XXH128_hash_t hash = XXH3_128bits_digest(static_cast<XXH3_state_t*>(State()));
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  std::memcpy(out, canonical.digest, SealHashSize);
}
