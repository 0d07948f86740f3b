// The package seal: the slot's bytes, finding the slot in a stub, the hash,
// the packer filling the slot, and the stub refusing a package that no longer
// matches its seal.
#include "format/seal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const Bytes Magic(SealMagic, SealMagic + SealMagicSize);

Bytes EmptySlot() {
  SealSlotBytes slot = EmptySealSlot();
  return Bytes(slot.bytes, slot.bytes + SealSlotSize);
}

Bytes Noise(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

void Put(Bytes* data, size_t at, const Bytes& piece) {
  std::copy(piece.begin(), piece.end(), data->begin() + static_cast<long>(at));
}

// Feeds `data` to a finder in pieces of `piece` bytes.
bool FindSlot(const Bytes& data, size_t piece, uint64_t* offset) {
  SealSlotFinder finder;
  for (size_t at = 0; at < data.size(); at += piece)
    finder.Feed(data.data() + at, std::min(piece, data.size() - at));
  return finder.Found(offset);
}

size_t CountMagics(const Bytes& data) {
  size_t count = 0;
  for (auto it = data.begin();
       (it = std::search(it, data.end(), Magic.begin(), Magic.end())) != data.end(); ++it)
    ++count;
  return count;
}

std::string Hex(const uint8_t* data, size_t size) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", data[i]);
    out += two;
  }
  return out;
}

TEST(SealSlot, HoldsTheMagicTheLengthAndTheHash) {
  Seal seal;
  seal.covered = 0x0102030405060708u;
  for (size_t i = 0; i < SealHashSize; ++i) seal.hash[i] = static_cast<uint8_t>(0xA0 + i);
  uint8_t slot[SealSlotSize];
  PutSeal(seal, slot);
  Bytes expected = Magic;
  for (int b : {8, 7, 6, 5, 4, 3, 2, 1}) expected.push_back(static_cast<uint8_t>(b));  // LE
  expected.insert(expected.end(), seal.hash, seal.hash + SealHashSize);
  EXPECT_EQ(Bytes(slot, slot + SealSlotSize), expected);
  Seal back;
  ParseSeal(slot, &back);
  EXPECT_EQ(back.covered, seal.covered);
  EXPECT_EQ(Hex(back.hash, SealHashSize), Hex(seal.hash, SealHashSize));
  EXPECT_TRUE(back.sealed());

  // A stub as built: the magic, then zeros, which read as not sealed.
  Bytes empty = Magic;
  empty.resize(SealSlotSize, 0);
  EXPECT_EQ(EmptySlot(), empty);
  ParseSeal(empty.data(), &back);
  EXPECT_FALSE(back.sealed());
}

TEST(SealSlotFinder, FindsTheOneSlotWhateverThePieces) {
  const size_t size = 3000;
  Bytes filled = EmptySlot();  // as in a stub taken from a sealed package
  filled[SealSlotSize - 1] = 1;
  for (size_t at :
       {size_t{0}, size_t{1}, SealSlotSize - 1, SealSlotSize, size_t{1500}, size - SealSlotSize}) {
    Bytes stub = Noise(size, 1);
    Put(&stub, at, at == 1500 ? filled : EmptySlot());
    for (size_t piece : {size_t{1}, size_t{7}, SealSlotSize - 1, SealSlotSize, size_t{41}, size}) {
      uint64_t found = ~uint64_t{0};
      EXPECT_TRUE(FindSlot(stub, piece, &found)) << "slot at " << at << ", pieces of " << piece;
      EXPECT_EQ(found, at) << "pieces of " << piece;
    }
  }
}

TEST(SealSlotFinder, FindsNoSlotInAnyOtherFile) {
  Bytes cut_short = Magic;
  cut_short.resize(SealSlotSize - 10, 0);
  struct Case {
    const char* what;
    std::vector<std::pair<size_t, Bytes>> pieces;  // written over 2000 plain bytes
  } cases[] = {
      {"no magic at all", {}},
      {"two empty slots", {{100, EmptySlot()}, {900, EmptySlot()}}},
      {"an empty slot and a magic that ends the file", {{100, EmptySlot()}, {1984, Magic}}},
      {"a slot cut short by the end of the file", {{2000 - cut_short.size(), cut_short}}},
  };
  for (const Case& c : cases) {
    Bytes stub = Noise(2000, 2);
    for (const auto& piece : c.pieces) Put(&stub, piece.first, piece.second);
    for (size_t piece : {size_t{1}, size_t{13}, stub.size()}) {
      uint64_t offset = 0;
      EXPECT_FALSE(FindSlot(stub, piece, &offset)) << c.what << ", pieces of " << piece;
    }
  }
}

TEST(SealHash, IsXxh3Of128BitsInCanonicalOrderInAnyPieces) {
  // Known answers from xxhsum -H2 (xxHash 0.8.1).
  struct Case {
    size_t size;
    uint8_t (*byte)(size_t);
    const char* hash;
  } cases[] = {
      {0, nullptr, "99aa06d3014798d86001c324468d497f"},
      {1000, [](size_t i) { return static_cast<uint8_t>(i * 7 + 3); },
       "6bcc7eff62da44c26c4f14bd97bd9e82"},
      {300000, [](size_t i) { return static_cast<uint8_t>(i * i + i / 251); },
       "cb6e19bb1f7d11770209d792bcc7a163"},
  };
  for (const Case& c : cases) {
    Bytes data(c.size);
    for (size_t i = 0; i < c.size; ++i) data[i] = c.byte(i);
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{4096}, size_t{1} << 20}) {
      if (piece == 1 && c.size > 1000) continue;
      SealHash hash;
      for (size_t at = 0; at < c.size; at += piece)
        hash.Update(data.data() + at, std::min(piece, c.size - at));
      uint8_t out[SealHashSize];
      hash.Final(out);
      EXPECT_EQ(Hex(out, SealHashSize), c.hash) << c.size << " bytes in pieces of " << piece;
    }
  }
}

TEST(SealHash, StubsHoldTheMagicOnceInTheirSlot) {
  std::vector<std::string> stubs = {TUVO_STUB_BIN};
  if (FileExists(TUVO_WIN64_STUB)) stubs.push_back(TUVO_WIN64_STUB);
  for (const std::string& path : stubs) {
    Bytes stub = ReadFile(path);
    EXPECT_EQ(CountMagics(stub), 1u) << path;
    uint64_t offset = 0;
    EXPECT_TRUE(FindSlot(stub, stub.size(), &offset)) << path;
  }
  // The seal must not pull the C++ library's heavier parts into the Windows
  // stub (an over-aligned class once added 66 KB).
  if (FileExists(TUVO_WIN64_STUB)) {
    EXPECT_LT(ReadFile(TUVO_WIN64_STUB).size(), 80u * 1024);
  }
}

// A package made by the real packer from a program and a data file, in a
// folder of its own, with the stub at `stub` (the built one by default).
class Packed {
 public:
  explicit Packed(const Bytes& stub = ReadFile(TUVO_STUB_BIN),
                  const std::string& data = "some data, some data, some data\n")
      : stub_(stub) {
    WriteFile(dir_ / "tuvo.exe", stub_);
    WriteFile(dir_ / "prog.sh", "#!/bin/sh\necho run\n");
    WriteFile(dir_ / "data.txt", data);
    RunResult r = RunCommand({TUVOLINK_BIN, "pkg", "prog.sh", "data.txt"}, dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    bytes_ = ReadFile(dir_ / "pkg");
  }
  const Bytes& stub() const { return stub_; }
  const Bytes& bytes() const { return bytes_; }
  // Writes `package` as a program and runs it with `args`.
  RunResult Run(const Bytes& package, const std::vector<std::string>& args) const {
    WriteFile(dir_ / "run.exe", package);
    chmod((dir_ / "run.exe").c_str(), 0755);
    std::vector<std::string> argv = {dir_ / "run.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, dir_.path());
  }
  std::string path(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  Bytes stub_, bytes_;
};

TEST(PackageSeal, PackerWritesTheSealIntoTheSlotAndChangesNothingElse) {
  Packed pkg;
  const Bytes& stub = pkg.stub();
  uint64_t slot = 0;
  ASSERT_TRUE(FindSlot(stub, stub.size(), &slot));
  Bytes package = pkg.bytes();
  ASSERT_GT(package.size(), stub.size());
  Bytes head(package.begin(), package.begin() + static_cast<long>(stub.size()));
  Seal seal;
  ParseSeal(head.data() + slot, &seal);
  EXPECT_EQ(seal.covered, package.size() - stub.size());
  SealHash hash;
  hash.Update(package.data() + stub.size(), package.size() - stub.size());
  uint8_t expected[SealHashSize];
  hash.Final(expected);
  EXPECT_EQ(Hex(seal.hash, SealHashSize), Hex(expected, SealHashSize));
  // Apart from the slot's length and hash, the stub is copied as it is.
  Put(&head, slot, EmptySlot());
  EXPECT_TRUE(head == stub);
}

TEST(PackageSeal, PackerCopiesAStubWithoutOneSlotUnchanged) {
  Bytes two = Noise(5000, 3);
  Put(&two, 64, EmptySlot());
  Put(&two, 4096, EmptySlot());
  for (const Bytes& stub : {Noise(5000, 5), two}) {
    Packed pkg(stub);
    ASSERT_GT(pkg.bytes().size(), stub.size());
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), pkg.bytes().begin()));
  }
}

TEST(PackageSeal, AStubTakenFromASealedPackageIsSealedAnew) {
  Packed first;
  Bytes stub(first.bytes().begin(), first.bytes().begin() + static_cast<long>(first.stub().size()));
  Packed second(stub, "other data\n");
  RunResult r = second.Run(second.bytes(), {"--tuvo-check"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK (sealed)\n");
}

TEST(PackageSeal, StubRefusesEveryChangedByteAfterItself) {
  Packed pkg;
  const size_t stub_size = pkg.stub().size();
  for (size_t at = stub_size; at < pkg.bytes().size(); ++at) {
    Bytes damaged = pkg.bytes();
    damaged[at] = static_cast<uint8_t>(damaged[at] ^ (at % 2 == 0 ? 0x01 : 0x80));
    RunResult r = pkg.Run(damaged, {"--tuvo-check"});
    EXPECT_EQ(r.status, 125) << "byte " << at - stub_size << " after the stub";
    EXPECT_EQ(r.err.rfind("tuvo: damaged package: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(PackageSeal, StubRefusesAPackageCutOrExtendedAndWritesNothing) {
  Packed pkg;
  Bytes cut(pkg.bytes().begin(), pkg.bytes().end() - 1);
  Bytes longer = pkg.bytes();
  longer.push_back(0);
  Bytes flipped = pkg.bytes();
  flipped[pkg.stub().size() + 1] ^= 0x20;  // in the first record's name
  for (const Bytes& damaged : {cut, longer, flipped}) {
    RunResult r = pkg.Run(damaged, {"--tuvo-extract", pkg.path("out")});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err.rfind("tuvo: damaged package: ", 0), 0u) << r.err;
    EXPECT_FALSE(FileExists(pkg.path("out")));
  }
}

TEST(PackageSeal, CheckAndListSayWhetherThePackageIsSealed) {
  Packed pkg;
  uint64_t slot = 0;
  ASSERT_TRUE(FindSlot(pkg.stub(), pkg.stub().size(), &slot));
  Bytes unsealed = pkg.bytes();
  Put(&unsealed, slot, EmptySlot());  // as a packer without the seal made it
  struct Case {
    const Bytes* package;
    const char* check;
    const char* note;
  } cases[] = {
      {&pkg.bytes(), "OK (sealed)\n", "tuvo: note: the package is sealed, and its seal matches\n"},
      {&unsealed, "OK (not sealed)\n",
       "tuvo: note: the package is not sealed; only its structure was checked\n"},
  };
  for (const Case& c : cases) {
    RunResult check = pkg.Run(*c.package, {"--tuvo-check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, c.check);
    RunResult list = pkg.Run(*c.package, {"--tuvo-list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "          32  data.txt\n          19  prog.sh\n");
    EXPECT_EQ(list.err, c.note);
    EXPECT_EQ(pkg.Run(*c.package, {}).out, "run\n");
  }
}

}  // namespace
