// Linking the target in one forward pass, with the progress lines of a run.
#include "link.h"

#include <memory>

#include "format/layout.h"
#include "format/seal.h"
#include "pack_pipeline.h"
#include "platform.h"
#include "target_writer.h"

namespace {

std::string JoinPath(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The start offset is the stub's length and has 32 bits.
std::string StubTooLarge(const std::string& stub_path) {
  return "stub '" + stub_path + "' is 4 GiB or larger; its length must fit in 32 bits";
}

// Opens every input and the stub once before the target is created, so that a
// missing or unreadable file stops the run with nothing written.
bool CheckInputs(const std::string& stub_path, const LinkNode* list, std::string* err) {
  InputFile stub;
  if (!stub.Open(stub_path.c_str(), err)) return false;
  if (stub.size() > MaxStubSize) {
    *err = StubTooLarge(stub_path);
    return false;
  }
  for (const LinkNode* node = list; node != nullptr; node = node->Next) {
    InputFile input;
    if (!input.Open(node->Name, err)) return false;
  }
  return true;
}

// Hashes the bytes that follow the stub as they reach the target, for the
// seal.
class SealTap : public WriteTap {
 public:
  void Wrote(const void* data, size_t size) override {
    hash_.Update(data, size);
    bytes_ += size;
  }
  // Fills the stub's slot, at `slot` in the target, with the seal of what the
  // tap has seen.
  bool WriteSeal(uint64_t slot, TempOutput* output, std::string* err) {
    Seal seal;
    seal.covered = bytes_;
    hash_.Final(seal.hash);
    uint8_t bytes[SealSlotSize];
    PutSeal(seal, bytes);
    return output->WriteAt(slot, bytes, sizeof bytes, err);
  }

 private:
  SealHash hash_;
  uint64_t bytes_ = 0;
};

// Copies the stub and looks for its seal slot on the way.
bool CopyStub(const std::string& stub_path, TargetWriter* target, SealSlotFinder* finder,
              std::string* err) {
  InputFile stub;
  if (!stub.Open(stub_path.c_str(), err)) return false;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[InputFile::BlockSize]);
  for (;;) {
    size_t got = 0;
    if (!stub.Read(buffer.get(), InputFile::BlockSize, &got, err)) return false;
    if (got == 0) break;
    finder->Feed(buffer.get(), got);
    if (!target->Write(buffer.get(), got, err)) return false;
  }
  if (target->position() > MaxStubSize) {
    *err = StubTooLarge(stub_path);
    return false;
  }
  return true;
}

}  // namespace

bool FindStub(std::string* path, std::string* err) {
  if (IsRegularFile(StubName)) {
    *path = StubName;
    return true;
  }
  std::string dir = ExecutableDir();
  if (!dir.empty()) {
    for (std::string candidate :
         {JoinPath(dir, StubName), JoinPath(dir, "../lib/tuvolink/tuvo.exe")}) {
      if (IsRegularFile(candidate)) {
        *path = candidate;
        return true;
      }
    }
  }
  *err = "cannot find the stub 'tuvo.exe' in the current folder or beside tuvolink";
  return false;
}

bool WriteTarget(const char* target_name, const std::string& stub_path, const LinkNode* list,
                 std::FILE* progress, std::string* err) {
  if (!CheckInputs(stub_path, list, err)) return false;
  SealTap tap;  // outlives the output that calls it
  TempOutput output;
  if (!output.Create(target_name, err)) return false;
  TargetWriter target(&output);
  std::fprintf(progress, "Linking...\n");
  std::fprintf(progress, "Adding Executable...\n");
  SealSlotFinder finder;
  if (!CopyStub(stub_path, &target, &finder, err)) return false;
  const uint32_t start = static_cast<uint32_t>(target.position());
  if (!target.Flush(err)) return false;
  // A stub without a slot of its own stays byte for byte as it is.
  uint64_t slot = 0;
  const bool sealed = finder.Found(&slot);
  if (sealed) output.set_tap(&tap);
  if (!PackRecords(list, &output, progress, nullptr, err)) return false;
  std::fprintf(progress, "Terminating Target...\n");
  uint8_t trailer[TrailerSize];
  PutTrailer(start, trailer);
  if (!target.Write(trailer, sizeof trailer, err)) return false;
  if (!target.Flush(err)) return false;
  if (sealed && !tap.WriteSeal(slot, &output, err)) return false;
  return output.Commit(err);
}

bool LinkIt(const char* target_name, std::string* err) {
  if (target_name[0] == 0) {
    *err = "the target's name (OutFile) is empty";
    return false;
  }
  std::string stub_path;
  if (!FindStub(&stub_path, err)) return false;
  return WriteTarget(target_name, stub_path, LinkList, stdout, err);
}
