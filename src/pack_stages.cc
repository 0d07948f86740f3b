// The stages of packing: whole small files and the pieces of large ones.
#include "pack_stages.h"

#include <algorithm>
#include <cstring>

#include "format/digest.h"
#include "names.h"
#include "pack_pipeline.h"
#include "platform.h"
#include "target_writer.h"

namespace {

class FileInput : public PackInput {
 public:
  bool Open(const char* name, std::string* err) { return file_.Open(name, err); }
  uint64_t size() const override { return file_.size(); }
  bool ReadSome(void* buffer, size_t size, size_t* got, std::string* err) override {
    return file_.ReadSome(buffer, size, got, err);
  }
  bool ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got, std::string* err) override {
    return file_.ReadAt(offset, buffer, size, got, err);
  }

 private:
  InputFile file_;
};

class Files : public InputSource {
 public:
  bool Open(const char* name, std::unique_ptr<PackInput>* input, std::string* err) override {
    std::unique_ptr<FileInput> file(new FileInput);
    if (!file->Open(name, err)) return false;
    *input = std::move(file);
    return true;
  }
};

// Makes room for `need` bytes, draining `out` if it has not.
bool Room(size_t need, OutBuffer* out, Spill* spill, std::string* err) {
  return out->room() >= need || spill->Drain(out, err);
}

bool CodeBytes(RunEncoder* encoder, const uint8_t* data, size_t size, OutBuffer* out, Spill* spill,
               std::string* err) {
  for (size_t at = 0; at < size; at += OutBuffer::CodeStep) {
    size_t n = std::min(size - at, OutBuffer::CodeStep);
    if (!Room(RunEncoder::MaxEncodedSize(n), out, spill, err)) return false;
    out->Advance(encoder->Encode(data + at, n, out->end()));
  }
  return true;
}

// The number of leading bytes of data[0, size) equal to `value`, eight at
// a time: a run may be a whole sparse gigabyte.
size_t RunOf(const uint8_t* data, size_t size, uint8_t value) {
  const uint64_t pattern = 0x0101010101010101ull * value;
  size_t n = 0;
  for (; n + 8 <= size; n += 8) {
    uint64_t word;
    std::memcpy(&word, data + n, 8);
    if (word != pattern) break;
  }
  while (n < size && data[n] == value) ++n;
  return n;
}

// Follows the run of `value` that reaches offset `at` of `input`, coding it,
// to the first byte that differs or the end of the input; sets *stop there.
// `ahead` holds the `have` bytes from `at` on, read with a request of
// `asked` bytes.
bool CodeRunOn(PackInput* input, uint8_t value, uint64_t at, const uint8_t* ahead, size_t have,
               size_t asked, uint8_t* buffer, RunEncoder* encoder, OutBuffer* out, Spill* spill,
               uint64_t* stop, std::string* err) {
  for (;;) {
    size_t run = RunOf(ahead, have, value);
    if (!CodeBytes(encoder, ahead, run, out, spill, err)) return false;
    at += run;
    if (run < have || have < asked) break;
    // The run fills what was read: read on.
    asked = PieceBufferSize;
    if (!input->ReadAt(at, buffer, asked, &have, err)) return false;
    ahead = buffer;
  }
  *stop = at;
  return true;
}

}  // namespace

InputSource* FileSource() {
  static Files files;
  return &files;
}

std::string ChangedMessage(const std::string& name) {
  return Quoted(name) + " changed while it was being packed";
}

bool OutBuffer::WriteTo(std::FILE* progress, TargetWriter* target, std::string* err) {
  if (progress != nullptr && !text_.empty()) std::fputs(text_.c_str(), progress);
  bool written = used_ == 0 || target->Write(data_.get(), used_, err);
  Clear();
  return written;
}

void BeginInput(const std::string& name, OutBuffer* out) {
  out->text() += "Processing " + Printed(name) + "...\n";
}

void BeginRecord(const std::string& name, uint8_t crunch, OutBuffer* out) {
  out->text() +=
      "  CrunchByte: " + std::to_string(static_cast<unsigned>(crunch)) + "\n  Compressing...\n";
  out->Advance(PutRecordHead(name.c_str(), name.size(), crunch, out->end()));
}

bool ReadWhole(PackInput* input, const std::string& name, uint8_t* buffer, size_t* size,
               PackObserver* observer, std::string* err) {
  const uint64_t expected = input->size();
  size_t total = 0;
  for (;;) {
    const size_t asked = HoldLimit + 1 - total;
    size_t got = 0;
    if (!input->ReadSome(buffer + total, asked, &got, err)) return false;
    if (got == 0) break;
    total += got;
    if (observer != nullptr) observer->Read(name, expected, got);
    if (total > HoldLimit) break;
    // A short read that reaches the size the file had when it was opened is
    // taken for its end, which saves a read that would return nothing. A
    // file that claims no size at all (as those of /proc) is read to the end.
    if (got < asked && expected > 0 && total >= expected) break;
  }
  *size = total;
  return true;
}

uint8_t CalcCrunchByte(const uint8_t* data, size_t size) {
  ByteHistogram histogram;
  histogram.Add(data, size);
  return PickCrunchByte(histogram);
}

bool Compress(const std::string& name, uint8_t crunch, const uint8_t* data, size_t size,
              OutBuffer* out, Spill* spill, std::string* err) {
  if (!Room(MaxRecordHeadSize, out, spill, err)) return false;
  BeginRecord(name, crunch, out);
  RunEncoder encoder(crunch);
  if (!CodeBytes(&encoder, data, size, out, spill, err)) return false;
  if (!Room(RunEncoder::MaxFinishSize, out, spill, err)) return false;
  out->Advance(encoder.Finish(out->end()));
  return true;
}

uint64_t PieceCount(uint64_t size) { return size == 0 ? 1 : (size + PieceSize - 1) / PieceSize; }

bool CountPiece(PackInput* input, const std::string& name, uint64_t index, uint8_t* buffer,
                ByteHistogram* counts, uint64_t* digest, PackObserver* observer, std::string* err) {
  const uint64_t size = input->size();
  const uint64_t begin = index * PieceSize;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(PieceSize, size - begin));
  const bool last = begin + want == size;
  // One byte more for the last piece, to see that the file has not grown.
  size_t got = 0;
  if (!input->ReadAt(begin, buffer, want + (last ? 1 : 0), &got, err)) return false;
  if (observer != nullptr && got > 0) observer->Read(name, size, std::min(got, want));
  if (got != want) {
    *err = ChangedMessage(name);
    return false;
  }
  counts->Add(buffer, want);
  *digest = Digest64(buffer, want, index);
  return true;
}

bool CodePiece(PackInput* input, const std::string& name, uint64_t index, uint8_t crunch,
               uint8_t* buffer, OutBuffer* out, Spill* spill, PieceSpan* span, std::string* err) {
  const uint64_t size = input->size();
  const uint64_t begin = index * PieceSize;
  const uint64_t end = std::min<uint64_t>(size, begin + PieceSize);
  const bool last = end == size;
  // From the byte before the piece, to see whether a run crosses into it.
  const uint64_t from = begin == 0 ? 0 : begin - 1;
  const size_t want = static_cast<size_t>(end - from);
  size_t got = 0;
  if (!input->ReadAt(from, buffer, want + PieceLookahead, &got, err)) return false;
  if (got < want || (last && got > want)) {
    *err = ChangedMessage(name);
    return false;
  }
  uint64_t start = begin;
  while (start > 0 && start < end && buffer[start - from] == buffer[start - from - 1]) ++start;
  *span = PieceSpan();
  span->digest = Digest64(buffer + (begin - from), static_cast<size_t>(end - begin), index);
  if (start == end) {
    // A run crosses the whole piece: the piece before codes it, to the end
    // of the input if this is the last piece, which still ends the record.
    if (!last) return true;
    if (!Room(EndMarkerSize, out, spill, err)) return false;
    out->Advance(RunEncoder(crunch).Finish(out->end()));
    return true;
  }
  RunEncoder encoder(crunch);
  if (!CodeBytes(&encoder, buffer + (start - from), static_cast<size_t>(end - start), out, spill,
                 err)) {
    return false;
  }
  uint64_t stop = end;
  if (!last && !CodeRunOn(input, buffer[want - 1], end, buffer + want, got - want, PieceLookahead,
                          buffer, &encoder, out, spill, &stop, err)) {
    return false;
  }
  if (!Room(RunEncoder::MaxFinishSize, out, spill, err)) return false;
  out->Advance(last ? encoder.Finish(out->end()) : encoder.Flush(out->end()));
  span->start = start;
  span->stop = stop;
  span->empty = false;
  return true;
}

bool JoinPiece(const std::string& name, uint64_t size, uint64_t index, const PieceSpan& span,
               uint64_t counted_digest, JoinState* state, std::string* err) {
  if (!span.empty) {
    if (span.start != state->covered) {
      *err = ChangedMessage(name);
      return false;
    }
    state->covered = span.stop;
  }
  state->digest += span.digest;
  if (index + 1 == PieceCount(size) &&
      (state->covered != size || state->digest != counted_digest)) {
    *err = ChangedMessage(name);
    return false;
  }
  return true;
}
