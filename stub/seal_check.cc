// The stub's seal slot and the hashing of the check pass.
#include "seal_check.h"

#include <cstring>

namespace {

// The slot itself. The packer finds it by its magic and writes the seal into
// the copy at the head of the package; nothing else in the image may hold the
// magic, so the code below never names it. Read through a volatile pointer, so
// that the compiler cannot fold the empty slot's zeros into the code.
alignas(8) SealSlotBytes Slot = EmptySealSlot();

unsigned long long ULL(uint64_t value) { return static_cast<unsigned long long>(value); }

// Passes the reads of the check pass on to `source` and hashes the bytes of
// [next, end) as they go by in order; Finish reads those it did not see.
class HashingSource : public PackageSource {
 public:
  HashingSource(PackageSource* source, uint64_t next, uint64_t end)
      : source_(source), next_(next), end_(end) {}

  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (!source_->ReadAt(offset, buffer, size)) return false;
    if (offset <= next_ && next_ - offset < size && next_ < end_) {
      uint64_t stop = offset + size < end_ ? offset + size : end_;
      hash_.Update(static_cast<const uint8_t*>(buffer) + (next_ - offset),
                   static_cast<size_t>(stop - next_));
      next_ = stop;
    }
    return true;
  }
  void ReadAhead(uint64_t offset, void* buffer, size_t size) override {
    source_->ReadAhead(offset, buffer, size);
  }
  void Settle() override { source_->Settle(); }

  // The hash of [next, end); false when the rest cannot be read.
  bool Finish(uint8_t out[SealHashSize]) {
    uint8_t buffer[64 * 1024];
    while (next_ < end_) {
      size_t size =
          end_ - next_ < sizeof buffer ? static_cast<size_t>(end_ - next_) : sizeof buffer;
      if (!source_->ReadAt(next_, buffer, size)) return false;
      hash_.Update(buffer, size);
      next_ += size;
    }
    hash_.Final(out);
    return true;
  }

 private:
  PackageSource* source_;
  uint64_t next_, end_;
  SealHash hash_;
};

// Where the sealed bytes begin: the image's end, which must leave exactly
// the covered length before the package's end.
bool SealedStart(const PackageSpan& span, const Seal& seal, uint64_t* start, ErrorLine* err) {
  if (span.image_size == 0 && seal.covered <= span.end) {
    *start = span.end - seal.covered;  // unknown headers: the seal tells
    return true;
  }
  uint64_t held = span.end > span.image_size ? span.end - span.image_size : 0;
  if (span.image_size == 0 || held != seal.covered) {
    err->Set("damaged package: %llu bytes follow the program, but it was sealed with %llu",
             ULL(held), ULL(seal.covered));
    return false;
  }
  *start = span.image_size;
  return true;
}

}  // namespace

Seal OwnSeal() {
  uint8_t bytes[SealSlotSize];
  const volatile uint8_t* slot = Slot.bytes;
  for (size_t i = 0; i < SealSlotSize; ++i) bytes[i] = slot[i];
  Seal seal;
  ParseSeal(bytes, &seal);
  return seal;
}

bool BuildCheckedPlan(PackageSource* source, const PackageSpan& span, const Seal& seal,
                      bool check_names, Plan* plan, ErrorLine* err) {
  if (!seal.sealed()) return plan->Build(source, span.end, span.image_size, check_names, err);
  uint64_t start = 0;
  if (!SealedStart(span, seal, &start, err)) return false;
  HashingSource hashed(source, start, span.end);
  ErrorLine fault;
  const bool built = plan->Build(&hashed, span.end, start, check_names, &fault);
  // A damaged package is said to be damaged, whatever fault the damage made.
  uint8_t hash[SealHashSize];
  if (!hashed.Finish(hash)) {
    err->Set("cannot read the package to check its seal");
    return false;
  }
  if (std::memcmp(hash, seal.hash, SealHashSize) != 0) {
    err->Set("damaged package: its %llu bytes after the program do not match their seal",
             ULL(seal.covered));
    return false;
  }
  if (!built) *err = fault;
  return built;
}
