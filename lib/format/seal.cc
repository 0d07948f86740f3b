// Reading a seal slot and the hash behind it: XXH3-128 from xxHash, compiled
// into this file alone. The stub links this file, and never names the magic.
#include "format/seal.h"

#include <cstring>

#include "format/layout.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

bool Seal::sealed() const {
  for (uint8_t byte : hash) {
    if (byte != 0) return true;
  }
  return false;
}

void ParseSeal(const uint8_t in[SealSlotSize], Seal* seal) {
  seal->covered = GetU64LE(in + SealLengthOffset);
  std::memcpy(seal->hash, in + SealHashOffset, SealHashSize);
}

SealHash::SealHash() {
  static_assert(sizeof(XXH3_state_t) <= sizeof state_ && alignof(XXH3_state_t) <= 64,
                "state_ must hold an XXH3_state_t");
  XXH3_128bits_reset(reinterpret_cast<XXH3_state_t*>(state_));
}

void SealHash::Update(const void* data, size_t size) {
  XXH3_128bits_update(reinterpret_cast<XXH3_state_t*>(state_), data, size);
}

void SealHash::Final(uint8_t out[SealHashSize]) const {
  XXH128_hash_t hash = XXH3_128bits_digest(reinterpret_cast<const XXH3_state_t*>(state_));
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  std::memcpy(out, canonical.digest, SealHashSize);
}
