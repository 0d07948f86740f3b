// The seal that the packer writes, as a model for the tests that compare
// packages byte for byte: the package's bytes are those of the model except
// the stub's seal slot, which holds the length and hash of what follows.
#ifndef TUVOLINK_TESTS_SEAL_MODEL_H_
#define TUVOLINK_TESTS_SEAL_MODEL_H_

#include <cstdint>
#include <vector>

#include "format/seal.h"

// Fills the seal slot of the stub package[0, stub_size), if it has one, as
// the packer does; a stub without a slot is left as it is.
inline void SealLikeThePacker(std::vector<uint8_t>* package, size_t stub_size) {
  SealSlotFinder finder;
  finder.Feed(package->data(), stub_size);
  uint64_t slot = 0;
  if (!finder.Found(&slot)) return;
  Seal seal;
  seal.covered = package->size() - stub_size;
  SealHash hash;
  hash.Update(package->data() + stub_size, package->size() - stub_size);
  hash.Final(seal.hash);
  PutSeal(seal, package->data() + slot);
}

#endif  // TUVOLINK_TESTS_SEAL_MODEL_H_
