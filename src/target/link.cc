// Linking the target in one forward pass, with the progress lines of a run.
#include "target/link.h"

#include <memory>
#include <vector>

#include "platform.h"
#include "target/compress.h"
#include "target/crunch.h"
#include "target/format.h"
#include "target/target_writer.h"

namespace {

// Files up to this size are read once and both passes run over memory.
constexpr size_t InMemoryLimit = size_t{16} << 20;

std::string JoinPath(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Opens every input and the stub once before the target is created, so that a
// missing or unreadable file stops the run with nothing written.
bool CheckInputs(const std::string& stub_path, const LinkNode* list, std::string* err) {
  InputFile stub;
  if (!stub.Open(stub_path.c_str(), err)) return false;
  if (stub.size() > MaxStubSize) {
    *err = "stub '" + stub_path + "' is 4 GiB or larger; its length must fit in 32 bits";
    return false;
  }
  for (const LinkNode* node = list; node != nullptr; node = node->Next) {
    InputFile input;
    if (!input.Open(node->Name, err)) return false;
  }
  return true;
}

bool CopyStub(const std::string& stub_path, TargetWriter* target, std::string* err) {
  InputFile stub;
  if (!stub.Open(stub_path.c_str(), err)) return false;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[InputFile::BlockSize]);
  for (;;) {
    size_t got = 0;
    if (!stub.Read(buffer.get(), InputFile::BlockSize, &got, err)) return false;
    if (got == 0) break;
    if (!target->Write(buffer.get(), got, err)) return false;
  }
  if (target->position() > MaxStubSize) {
    *err = "stub '" + stub_path + "' is 4 GiB or larger; its length must fit in 32 bits";
    return false;
  }
  return true;
}

// Appends the record of a file held whole in memory.
bool AppendRecord(TargetWriter* target, const char* name, uint8_t crunch, const uint8_t* data,
                  size_t size, std::string* err) {
  uint8_t header[MaxName + 1];
  if (!target->Write(header, PutRecordHeader(name, crunch, header), err)) return false;
  RunEncoder encoder(crunch);
  std::vector<uint8_t> out;
  constexpr size_t Block = size_t{1} << 20;
  out.resize(RunEncoder::MaxEncodedSize(Block));
  for (size_t at = 0; at < size; at += Block) {
    size_t n = size - at < Block ? size - at : Block;
    if (!target->Write(out.data(), encoder.Encode(data + at, n, out.data()), err)) return false;
  }
  return target->Write(out.data(), encoder.Finish(out.data()), err);
}

// One input: its progress lines and its record.
bool PackFile(const char* name, TargetWriter* target, std::vector<uint8_t>* memory,
              std::FILE* progress, std::string* err) {
  std::fprintf(progress, "Processing %s...\n", name);
  InputFile file;
  if (!file.Open(name, err)) return false;
  if (file.size() <= InMemoryLimit) {
    memory->resize(InMemoryLimit + 1);
    size_t got = 0;
    if (!file.Read(memory->data(), memory->size(), &got, err)) return false;
    if (got <= InMemoryLimit) {
      ByteHistogram histogram;
      histogram.Add(memory->data(), got);
      uint8_t crunch = PickCrunchByte(histogram);
      std::fprintf(progress, "  CrunchByte: %u\n", static_cast<unsigned>(crunch));
      std::fprintf(progress, "  Compressing...\n");
      return AppendRecord(target, name, crunch, memory->data(), got, err);
    }
    // The file grew since it was opened: stream it like a large one.
    if (!file.Rewind(err)) return false;
  }
  uint8_t crunch = 0;
  uint64_t counted = 0;
  if (!CalcCrunchByte(&file, &crunch, &counted, err)) return false;
  std::fprintf(progress, "  CrunchByte: %u\n", static_cast<unsigned>(crunch));
  std::fprintf(progress, "  Compressing...\n");
  if (!file.Rewind(err)) return false;
  uint64_t coded = 0;
  if (!Compress(target, &file, crunch, &coded, err)) return false;
  if (coded != counted) {
    *err = "'" + std::string(name) + "' changed while it was being packed";
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
  TempOutput output;
  if (!output.Create(target_name, err)) return false;
  TargetWriter target(&output);
  std::fprintf(progress, "Linking...\n");
  std::fprintf(progress, "Adding Executable...\n");
  if (!CopyStub(stub_path, &target, err)) return false;
  const uint32_t start = static_cast<uint32_t>(target.position());
  std::vector<uint8_t> memory;
  for (const LinkNode* node = list; node != nullptr; node = node->Next) {
    if (!PackFile(node->Name, &target, &memory, progress, err)) return false;
  }
  std::fprintf(progress, "Terminating Target...\n");
  uint8_t trailer[TrailerSize];
  trailer[0] = ListTerminator;
  PutU32LE(start, trailer + 1);
  if (!target.Write(trailer, sizeof trailer, err)) return false;
  if (!target.Flush(err)) return false;
  return output.Commit(err);
}

bool LinkIt(char* argv[], std::string* err) {
  if (argv[1][0] == 0) {
    *err = "the target's name (OutFile) is empty";
    return false;
  }
  std::string stub_path;
  if (!FindStub(&stub_path, err)) return false;
  return WriteTarget(argv[1], stub_path, LinkList, stdout, err);
}
