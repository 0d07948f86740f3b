// Writing a seal slot and finding it in a stub: the packer's side.
// Kept apart from seal.cc, which the stub links, so that the stub's image
// holds the magic only in its slot.
#include <cstring>

#include "format/layout.h"
#include "format/seal.h"

namespace {

bool IsMagicAt(const uint8_t* data) { return std::memcmp(data, SealMagic, SealMagicSize) == 0; }

// Magics that begin in data[0, starts), each of which ends inside the data.
unsigned CountMagics(const uint8_t* data, size_t starts) {
  unsigned count = 0;
  for (size_t p = 0; p < starts; ++p) count += IsMagicAt(data + p) ? 1 : 0;
  return count;
}

}  // namespace

void PutSeal(const Seal& seal, uint8_t out[SealSlotSize]) {
  std::memcpy(out, SealMagic, SealMagicSize);
  PutU32LE(static_cast<uint32_t>(seal.covered), out + SealLengthOffset);
  PutU32LE(static_cast<uint32_t>(seal.covered >> 32), out + SealLengthOffset + 4);
  std::memcpy(out + SealHashOffset, seal.hash, SealHashSize);
}

void SealSlotFinder::Feed(const uint8_t* data, size_t size) {
  // Slots that begin in the carry are looked at in a copy joined with the
  // first bytes of `data`.
  constexpr size_t Tail = SealSlotSize - 1;
  const size_t take = size < Tail ? size : Tail;
  uint8_t joint[2 * Tail];
  std::memcpy(joint, carry_, carry_size_);
  std::memcpy(joint + carry_size_, data, take);
  const size_t joint_size = carry_size_ + take;
  if (joint_size >= SealSlotSize) {
    size_t starts = joint_size - SealSlotSize + 1;
    Look(joint, starts < carry_size_ ? starts : carry_size_, fed_ - carry_size_);
  }
  if (size >= SealSlotSize) Look(data, size - SealSlotSize + 1, fed_);
  fed_ += size;
  // The carry becomes the last Tail bytes of carry and data together.
  if (size >= Tail) {
    std::memcpy(carry_, data + size - Tail, Tail);
    carry_size_ = Tail;
  } else {
    size_t keep = carry_size_ < Tail - size ? carry_size_ : Tail - size;
    std::memmove(carry_, carry_ + carry_size_ - keep, keep);
    std::memcpy(carry_ + keep, data, size);
    carry_size_ = keep + size;
  }
}

void SealSlotFinder::Look(const uint8_t* data, size_t starts, uint64_t at) {
  const uint8_t* p = data;
  const uint8_t* end = data + starts;
  while (p < end) {
    const void* hit = std::memchr(p, SealMagic[0], static_cast<size_t>(end - p));
    if (hit == nullptr) return;
    p = static_cast<const uint8_t*>(hit);
    if (IsMagicAt(p) && magics_++ == 0) offset_ = at + static_cast<uint64_t>(p - data);
    if (magics_ > 2) magics_ = 2;
    ++p;
  }
}

bool SealSlotFinder::Found(uint64_t* offset) const {
  // A magic in the carry ends too close to the end of the stub to be a slot,
  // but it still makes a second one.
  unsigned late =
      carry_size_ >= SealMagicSize ? CountMagics(carry_, carry_size_ - SealMagicSize + 1) : 0;
  if (magics_ != 1 || late != 0) return false;
  *offset = offset_;
  return true;
}
