// The package seal: a slot in the stub's image that the packer fills with the
// length and the XXH3-128 hash of everything it writes after the stub, so that
// the stub can tell a damaged package from a sound one. docs/format.md draws it.
#ifndef TUVOLINK_FORMAT_SEAL_H_
#define TUVOLINK_FORMAT_SEAL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/layout.h"

// The slot: the magic, the covered length (u64 little-endian) and the hash.
// A stub as built holds the magic followed by zeros: an empty slot.
constexpr size_t SealMagicSize = 16;
constexpr size_t SealHashSize = 16;
constexpr size_t SealLengthOffset = SealMagicSize;
constexpr size_t SealHashOffset = SealLengthOffset + 8;
constexpr size_t SealSlotSize = SealHashOffset + SealHashSize;

// "tuvoseal" and eight random bytes, so that no other file holds it by chance.
// Inline, so that a program holds it only where it is used at run time (not
// even in an unoptimised build, which keeps every unused static constant):
// the stub builds its slot from it at compile time and must hold it nowhere
// else.
inline constexpr uint8_t SealMagic[SealMagicSize] = {
    't', 'u', 'v', 'o', 's', 'e', 'a', 'l', 0xce, 0xb9, 0x70, 0x79, 0xe0, 0xa4, 0xbc, 0x61};

// What a slot holds.
struct Seal {
  uint64_t covered = 0;             // bytes after the stub that the hash covers
  uint8_t hash[SealHashSize] = {};  // XXH3-128 of them, big-endian (canonical)
  // A zero hash marks an empty slot: the package was not sealed.
  bool sealed() const {
    for (uint8_t byte : hash) {
      if (byte != 0) return true;
    }
    return false;
  }
};

// The bytes of an empty slot, for the stub to build its slot from, so that
// its image holds the magic once, in the slot itself.
struct SealSlotBytes {
  uint8_t bytes[SealSlotSize];
};
constexpr SealSlotBytes EmptySealSlot() {
  SealSlotBytes slot{};
  for (size_t i = 0; i < SealMagicSize; ++i) slot.bytes[i] = SealMagic[i];
  return slot;
}

// Writes a filled slot: the magic, seal.covered and seal.hash.
void PutSeal(const Seal& seal, uint8_t out[SealSlotSize]);
// Reads the length and the hash of a slot. The magic is not compared: the
// stub reads the slot it holds itself, and the packer finds slots by it.
inline void ParseSeal(const uint8_t in[SealSlotSize], Seal* seal) {
  seal->covered = GetU64LE(in + SealLengthOffset);
  std::memcpy(seal->hash, in + SealHashOffset, SealHashSize);
}

// Finds the slot of a stub whose bytes are fed in order, in pieces of any
// size. A stub has a slot when the magic occurs exactly once in it, with
// room for the whole slot after it; any other file has none and is to be
// copied as it is. The slot may be empty or hold a seal already (a stub
// taken from a package): either way the packer writes a new one.
class SealSlotFinder {
 public:
  void Feed(const uint8_t* data, size_t size);
  // After the last Feed: true with *offset set when the stub has a slot.
  bool Found(uint64_t* offset) const;

 private:
  // Looks at the slots that start in data[0, starts), whose bytes must all
  // be in `data`; data[0] is at offset `at` of the stub.
  void Look(const uint8_t* data, size_t starts, uint64_t at);

  uint8_t carry_[SealSlotSize - 1] = {};  // the last bytes fed, not yet looked at
  size_t carry_size_ = 0;
  uint64_t fed_ = 0;
  unsigned magics_ = 0;  // 2 stands for two or more
  uint64_t offset_ = 0;  // of the first magic
};

// XXH3-128 over bytes fed in order. No allocation: the state lives inside.
class SealHash {
 public:
  SealHash();
  SealHash(const SealHash&) = delete;
  SealHash& operator=(const SealHash&) = delete;
  void Update(const void* data, size_t size);
  // The hash of all bytes fed, in canonical (big-endian) form.
  void Final(uint8_t out[SealHashSize]);

 private:
  // XXH3's state wants 64-byte alignment; it is placed at the first such
  // address in storage_, so that this class asks for no more than ordinary
  // alignment (an over-aligned class would pull the C++ library's aligned
  // new and delete, and its exception machinery, into the stub).
  void* State() {
    uintptr_t at = reinterpret_cast<uintptr_t>(storage_);
    return storage_ + (64 - at % 64) % 64;
  }
  unsigned char storage_[640 + 63];
};

#endif  // TUVOLINK_FORMAT_SEAL_H_
