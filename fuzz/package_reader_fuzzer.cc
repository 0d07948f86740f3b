// Fuzz target: the package reader on arbitrary bytes, held against a plain
// byte-at-a-time model of the format (docs/format.md): the same verdict, the
// same records and the same decoded bytes, in the decoding mode and in the
// scanning mode. Some inputs get a large record put in front of their first
// one, so that their records straddle the reader's window boundary.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/error_line.h"
#include "format/package_reader.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ModelRecord {
  std::string name;
  uint8_t crunch = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  Bytes data;  // empty for the first record when it is only measured
};

// The package format read one byte at a time. True when the whole package is
// well formed; *records receives every complete record before a fault. With
// `measure_first`, the first record's data is counted, not kept.
bool ModelRead(const Bytes& p, bool measure_first, std::vector<ModelRecord>* records) {
  if (p.size() < TrailerSize || p[p.size() - TrailerSize] != ListTerminator) return false;
  const size_t limit = p.size() - TrailerSize;
  size_t pos = 0;
  for (size_t i = 0; i < StartOffsetSize; ++i) pos |= size_t{p[limit + 1 + i]} << (8 * i);
  if (pos > limit) return false;
  while (pos != limit) {
    ModelRecord r;
    r.offset = pos;
    while (pos < limit && p[pos] != 0) r.name.push_back(static_cast<char>(p[pos++]));
    if (r.name.empty() || r.name.size() > MaxName - 1 || pos == limit) return false;
    if (++pos == limit) return false;  // no crunch byte
    r.crunch = p[pos++];
    const bool keep = !(measure_first && records->empty());
    for (;;) {
      if (pos == limit) return false;
      uint8_t b = p[pos++];
      if (b != r.crunch) {
        r.size += 1;
        if (keep) r.data.push_back(b);
        continue;
      }
      if (pos == limit) return false;
      uint8_t count = p[pos++];
      if (count == 0) break;  // the end marker
      if (pos == limit) return false;
      r.size += count;
      if (keep) r.data.insert(r.data.end(), size_t{count}, p[pos]);
      ++pos;
    }
    records->push_back(std::move(r));
  }
  return true;
}

// Also keeps track of the reader's read ahead: the reader below outlives
// every source, so it must leave none running when it stops.
class MemorySource : public PackageSource {
 public:
  explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset == ahead_offset_) ahead_ = false;
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size > 0) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }
  void ReadAhead(uint64_t offset, void*, size_t) override {
    ahead_ = true;
    ahead_offset_ = offset;
  }
  void Settle() override { ahead_ = false; }
  bool reading_ahead() const { return ahead_; }

 private:
  const Bytes& bytes_;
  bool ahead_ = false;
  uint64_t ahead_offset_ = 0;
};

// Collects the decoded bytes (or, when told not to keep them, only takes
// them); offers the decoder room of its own on every other call, of varying
// size, so that both output paths are taken.
class CollectSink : public DecodeSink {
 public:
  explicit CollectSink(bool keep) : keep_(keep) {}
  uint8_t* Room(size_t* size) override {
    ++calls_;
    if (!keep_ || calls_ % 2 == 0) {
      *size = 0;
      return nullptr;
    }
    room_.assign(MaxRun + (calls_ * 37) % 700, 0);
    *size = room_.size();
    return room_.data();
  }
  bool Put(const uint8_t* data, size_t size) override {
    FUZZ_CHECK(size > 0);
    if (keep_) data_.insert(data_.end(), data, data + size);
    return true;
  }
  Bytes data_;

 private:
  bool keep_;
  Bytes room_;
  size_t calls_ = 0;
};

// Reads `package` with the reader, decoding or only scanning, and compares
// every step with the model's records.
void Compare(const Bytes& package, bool model_ok, const std::vector<ModelRecord>& model,
             bool decode, bool measure_first) {
  MemorySource source(package);
  // One reader for all inputs: its buffers are large, and Open starts afresh.
  static PackageReader reader;
  ErrorLine err;
  if (!reader.Open(&source, package.size(), &err)) {
    FUZZ_CHECK(!model_ok && model.empty() && err.text[0] != 0);
    return;
  }
  for (size_t i = 0;; ++i) {
    RecordInfo info;
    const bool keep = !(measure_first && i == 0);
    CollectSink sink(keep);
    PackageReader::Status status = reader.Next(&info, decode ? &sink : nullptr, &err);
    if (status != PackageReader::Record) {
      FUZZ_CHECK(!source.reading_ahead());
      FUZZ_CHECK(i == model.size());
      FUZZ_CHECK((status == PackageReader::End) == model_ok);
      if (status == PackageReader::Error) FUZZ_CHECK(err.text[0] != 0);
      return;
    }
    FUZZ_CHECK(i < model.size());
    const ModelRecord& expected = model[i];
    FUZZ_CHECK(expected.name == info.name);
    FUZZ_CHECK(expected.crunch == info.crunch);
    FUZZ_CHECK(expected.offset == info.offset);
    FUZZ_CHECK(expected.size == info.decoded_size);
    if (decode && keep) FUZZ_CHECK(expected.data == sink.data_);
  }
}

// Compares in both modes. With `measure_first`, the first record's data is
// measured, not compared: it is the large record put in front.
void CompareBothModes(const Bytes& package, bool measure_first) {
  std::vector<ModelRecord> model;
  const bool model_ok = ModelRead(package, measure_first, &model);
  Compare(package, model_ok, model, true, measure_first);
  Compare(package, model_ok, model, false, measure_first);
}

// The reader reads 1 MiB windows from the first record on. A record of
// almost that size put first moves the input's records across the boundary.
constexpr size_t ReaderWindow = size_t{1} << 20;

bool Straddled(const Bytes& package, size_t shift, Bytes* out) {
  if (package.size() < TrailerSize) return false;
  const size_t limit = package.size() - TrailerSize;
  size_t start = 0;
  for (size_t i = 0; i < StartOffsetSize; ++i) start |= size_t{package[limit + 1 + i]} << (8 * i);
  if (start > limit) return false;
  // "pad", its 0 byte, the crunch byte 1, literals and the end marker 1, 0.
  const size_t pad_size = ReaderWindow - 1 - shift;
  out->assign(package.begin(), package.begin() + static_cast<std::ptrdiff_t>(start));
  const uint8_t head[] = {'p', 'a', 'd', 0, 1};
  out->insert(out->end(), head, head + sizeof head);
  out->insert(out->end(), pad_size - sizeof head - 2, 'x');
  out->push_back(1);
  out->push_back(0);
  out->insert(out->end(), package.begin() + static_cast<std::ptrdiff_t>(start), package.end());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes package(data, data + size);
  CompareBothModes(package, false);
  // Only some inputs, since a megabyte more makes an input slow.
  Bytes moved;
  if (size % 32 == 31 && Straddled(package, (size * 31) % 300, &moved)) {
    CompareBothModes(moved, true);
  }
  return 0;
}
