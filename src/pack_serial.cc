// The serial scheduler: the stages one after the other on the calling thread,
// each input whole. It is the Windows build's way (no threads there), and the
// threaded one's when the process may use a single processor.
#include <memory>
#include <new>

#include "pack_stages.h"
#include "platform.h"
#include "target_writer.h"

namespace {

class WriteNow : public Spill {
 public:
  WriteNow(std::FILE* progress, TargetWriter* target) : progress_(progress), target_(target) {}
  bool Drain(OutBuffer* out, std::string* err) override {
    return out->WriteTo(progress_, target_, err);
  }

 private:
  std::FILE* progress_;
  TargetWriter* target_;
};

struct Buffers {
  BufferPtr hold = NewBuffer(HoldLimit + 1);
  std::unique_ptr<uint8_t[]> piece{new uint8_t[PieceBufferSize]};
  OutBuffer out;
};

bool PackLarge(PackInput* input, const std::string& name, Buffers* buffers, Spill* spill,
               PackObserver* observer, std::string* err) {
  const uint64_t pieces = PieceCount(input->size());
  ByteHistogram counts;
  uint64_t counted_digest = 0;
  for (uint64_t i = 0; i < pieces; ++i) {
    uint64_t digest = 0;
    if (!CountPiece(input, name, i, buffers->piece.get(), &counts, &digest, observer, err)) {
      return false;
    }
    counted_digest += digest;
  }
  const uint8_t crunch = PickCrunchByte(counts);
  if (buffers->out.room() < MaxRecordHeadSize && !spill->Drain(&buffers->out, err)) return false;
  BeginRecord(name, crunch, &buffers->out);
  JoinState join;
  for (uint64_t i = 0; i < pieces; ++i) {
    PieceSpan span;
    if (!CodePiece(input, name, i, crunch, buffers->piece.get(), &buffers->out, spill, &span,
                   err) ||
        !JoinPiece(name, input->size(), i, span, counted_digest, &join, err)) {
      return false;
    }
  }
  return true;
}

bool PackOne(const std::string& name, InputSource* source, Buffers* buffers, Spill* spill,
             PackObserver* observer, std::string* err) {
  BeginInput(name, &buffers->out);
  std::unique_ptr<PackInput> input;
  if (!source->Open(name.c_str(), &input, err)) return false;
  if (input->size() > HoldLimit) return PackLarge(input.get(), name, buffers, spill, observer, err);
  size_t size = 0;
  if (!ReadWhole(input.get(), name, buffers->hold.get(), &size, observer, err)) return false;
  if (size > HoldLimit) {
    *err = ChangedMessage(name);
    return false;
  }
  const uint8_t* data = buffers->hold.get();
  return Compress(name, CalcCrunchByte(data, size), data, size, &buffers->out, spill, err);
}

}  // namespace

bool PackSerial(const std::vector<const char*>& names, InputSource* source, TempOutput* output,
                std::FILE* progress, PackObserver* observer, std::string* err) {
  try {
    TargetWriter target(output);
    WriteNow spill(progress, &target);
    Buffers buffers;
    for (const char* name : names) {
      if (!PackOne(name, source, &buffers, &spill, observer, err)) {
        // The progress text up to the failing input still goes out.
        std::string ignored;
        buffers.out.WriteTo(progress, &target, &ignored);
        return false;
      }
    }
    return buffers.out.WriteTo(progress, &target, err) && target.Flush(err);
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
  }
  return false;
}
