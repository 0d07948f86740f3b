// Linking the target in one forward pass, with the progress lines of a run.
#include "link.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "format/layout.h"
#include "format/seal.h"
#include "input_checks.h"
#include "names.h"
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
  return "stub " + Quoted(stub_path) + " is 4 GiB or larger; its length must fit in 32 bits";
}

// Checks every input and the stub before the target is created, so that a
// missing or unreadable file stops the run with nothing written.
bool CheckInputs(const std::string& stub_path, const LinkNode* list, LinkSummary* summary,
                 std::string* err) {
  InputFile stub;
  if (!stub.Open(stub_path.c_str(), err)) return false;
  if (stub.size() > MaxStubSize) {
    *err = StubTooLarge(stub_path);
    return false;
  }
  std::vector<const LinkNode*> nodes;
  for (const LinkNode* node = list; node != nullptr; node = node->Next) nodes.push_back(node);
  // What the list's building saw of a node, if it looked: the list holds
  // the nodes in the reverse order of their adding.
  std::vector<const PathLook*> seen(nodes.size());
  const std::vector<LinkLook>& looks = LinkLooks();
  for (size_t i = 0, j = looks.size(); i < nodes.size() && j > 0; ++i) {
    if (looks[j - 1].node == nodes[i]) seen[i] = &looks[--j].look;
  }
  // Checked in parallel (each a system call or two); the first failure in
  // list order is the one reported.
  std::vector<uint64_t> sizes(nodes.size());
  std::vector<std::string> errors(nodes.size());
  std::vector<char> good(nodes.size());
  SplitWork(nodes.size(), [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const char* name = nodes[i]->Name;
      good[i] = seen[i] != nullptr ? InputFile::Check(name, *seen[i], &sizes[i], &errors[i])
                                   : InputFile::Check(name, &sizes[i], &errors[i]);
      if (!good[i]) break;  // nothing after it in this range matters
    }
  });
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!good[i]) {
      *err = errors[i];
      return false;
    }
    summary->files += 1;
    summary->bytes_in += sizes[i];
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

void Say(std::FILE* progress, const char* line) {
  if (progress != nullptr) std::fputs(line, progress);
}

// The progress lines are the command's output: when they cannot all be
// written the run fails, and it must fail before the target is replaced.
bool FlushProgress(std::FILE* progress, std::string* err) {
  if (progress == nullptr) return true;
  errno = 0;
  int flushed = std::fflush(progress);
  int error = errno;
  if (flushed == 0 && !std::ferror(progress)) return true;
  // A write that failed earlier leaves only the error flag behind.
  if (error == 0) error = EIO;
  *err = std::string("cannot write to ") +
         (progress == stdout ? "standard output" : "the progress stream") + ": " +
         std::strerror(error);
  return false;
}

}  // namespace

bool FindStub(std::string* path, std::string* err) {
  if (IsRegularFile(StubName)) {
    *path = StubName;
    return true;
  }
  std::string dir = ExecutableDir();
  if (!dir.empty()) {
    for (const std::string& candidate :
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

bool ResolveStub(const std::string& choice, std::string* path, bool* from_current_folder,
                 std::string* err) {
  *from_current_folder = false;
  if (choice.empty()) {
    if (!FindStub(path, err)) return false;
    *from_current_folder = *path == StubName;
    return true;
  }
  if (choice != "windows" && choice != "linux") {
    *path = choice;
    return true;
  }
  const StubSystem wanted = choice == "windows" ? StubSystem::Windows : StubSystem::Linux;
  std::string dir = ExecutableDir();
  if (!dir.empty()) {
    for (const char* relative : {"win64/tuvo.exe", "tuvo.exe", "../tuvo.exe",
                                 "../lib/tuvolink/win64/tuvo.exe", "../lib/tuvolink/tuvo.exe"}) {
      std::string candidate = JoinPath(dir, relative), head, ignored;
      if (IsRegularFile(candidate) && ReadHead(candidate, 4, &head, &ignored) &&
          SystemOf(head) == wanted) {
        *path = candidate;
        return true;
      }
    }
  }
  *err = "cannot find the " + std::string(choice == "windows" ? "Windows" : "Linux") +
         " stub beside tuvolink (build/win64/tuvo.exe, build/tuvo.exe, or lib/tuvolink/ when "
         "installed)";
  return false;
}

bool WriteTarget(const char* target_name, const std::string& stub_path, const LinkNode* list,
                 std::FILE* progress, PackObserver* observer, LinkSummary* summary,
                 std::string* err) {
  LinkSummary counted;
  if (!CheckInputs(stub_path, list, &counted, err)) return false;
  SealTap tap;  // outlives the output that calls it
  TempOutput output;
  if (!output.Create(target_name, err)) return false;
  TargetWriter target(&output);
  Say(progress, "Linking...\n");
  Say(progress, "Adding Executable...\n");
  SealSlotFinder finder;
  if (!CopyStub(stub_path, &target, &finder, err)) return false;
  const uint32_t start = static_cast<uint32_t>(target.position());
  if (!target.Flush(err)) return false;
  // A stub without a slot of its own stays byte for byte as it is.
  uint64_t slot = 0;
  const bool sealed = finder.Found(&slot);
  if (sealed) output.set_tap(&tap);
  if (!PackRecords(list, &output, progress, observer, err)) return false;
  Say(progress, "Terminating Target...\n");
  uint8_t trailer[TrailerSize];
  PutTrailer(start, trailer);
  if (!target.Write(trailer, sizeof trailer, err)) return false;
  if (!target.Flush(err)) return false;
  if (!FlushProgress(progress, err)) return false;
  if (sealed && !tap.WriteSeal(slot, &output, err)) return false;
  if (!output.Commit(err)) return false;
  if (summary != nullptr) {
    *summary = counted;
    summary->bytes_out = output.size();
  }
  return true;
}

bool LinkIt(const char* target_name, const LinkSettings& settings, LinkSummary* summary,
            std::string* err) {
  std::string stub_path;
  bool from_current_folder = false;
  if (!ResolveStub(settings.stub, &stub_path, &from_current_folder, err)) return false;
  auto note = [&](const std::string& line) {
    if (settings.note) settings.note(line);
  };
  if (!from_current_folder) note("using the stub " + Quoted(stub_path));
  std::string head;
  if (!ReadHead(stub_path, 4, &head, err)) return false;
  const StubSystem system = SystemOf(head);
  std::vector<std::string> warnings;
  if (!CheckNames(LinkList, system, &warnings, err)) return false;
  CheckProgram(LinkList, system, &warnings);
  for (const std::string& warning : warnings) note("warning: " + warning);
  return WriteTarget(target_name, stub_path, LinkList, settings.progress, settings.observer,
                     summary, err);
}

bool LinkIt(const char* target_name, std::string* err) {
  if (!CheckTarget(target_name, err)) return false;
  return LinkIt(target_name, LinkSettings(), nullptr, err);
}
