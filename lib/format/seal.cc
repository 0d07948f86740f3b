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

void* SealHash::State() {
  uintptr_t at = reinterpret_cast<uintptr_t>(storage_);
  return storage_ + ((64 - at % 64) % 64);
}

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
