// Run-length coding of file records. A run is flushed as a run code C, N, V
// when it is of the crunch byte or three or more long, and as literals
// otherwise; a run is cut at 255, the largest count a byte can hold.
#include "target/compress.h"

#include <cstring>
#include <memory>

#include "platform.h"
#include "target/encode_kernel.h"
#include "target/format.h"
#include "target/target_writer.h"

namespace {

inline uint8_t* FlushRun(uint8_t value, unsigned count, uint8_t crunch, uint8_t* out) {
  if (value == crunch || count >= 3) {
    out[0] = crunch;
    out[1] = static_cast<uint8_t>(count);
    out[2] = value;
    return out + 3;
  }
  out[0] = value;
  if (count == 2) out[1] = value;
  return out + count;
}

}  // namespace

size_t RunEncoder::Encode(const uint8_t* data, size_t size, uint8_t* out) {
  uint8_t* start = out;
  const uint8_t* end = data + size;
  const uint8_t* p = data;
  // First the run carried from the previous block, byte by byte: it is at
  // most 255 bytes long.
  if (count_ > 0) {
    while (p < end && *p == value_ && count_ < MaxRun) {
      ++p;
      ++count_;
    }
    if (p == end) return 0;
    out = FlushRun(value_, count_, crunch_, out);
    count_ = 0;
  }
  // Then the kernel from that item start on, and the short rest per byte.
  size_t used = 0;
  out += EncodeItems(p, static_cast<size_t>(end - p), crunch_, out, &used);
  p += used;
  if (p < end && count_ == 0) {
    value_ = *p++;
    count_ = 1;
  }
  uint8_t value = value_;
  unsigned count = count_;
  while (p < end) {
    uint8_t b = *p++;
    if (b == value && count < MaxRun) {
      ++count;
    } else {
      out = FlushRun(value, count, crunch_, out);
      value = b;
      count = 1;
    }
  }
  value_ = value;
  count_ = count;
  return static_cast<size_t>(out - start);
}

size_t RunEncoder::Finish(uint8_t* out) {
  uint8_t* start = out;
  if (count_ > 0) out = FlushRun(value_, count_, crunch_, out);
  count_ = 0;
  *out++ = crunch_;
  *out++ = 0;
  return static_cast<size_t>(out - start);
}

size_t PutRecordHeader(const char* name, uint8_t crunch, uint8_t* out) {
  size_t length = std::strlen(name);
  std::memcpy(out, name, length);
  out[length] = 0;
  out[length + 1] = crunch;
  return length + 2;
}

bool Compress(TargetWriter* target, InputFile* file, uint8_t crunch, uint64_t* size,
              std::string* err) {
  const std::string& name = file->name();
  if (name.empty() || name.size() >= MaxName) {
    *err = "cannot pack '" + name + "': a name holds 1 to " + std::to_string(MaxName - 1) +
           " characters";
    return false;
  }
  uint8_t header[MaxName + 1];
  if (!target->Write(header, PutRecordHeader(name.c_str(), crunch, header), err)) return false;

  constexpr size_t Block = InputFile::BlockSize;
  std::unique_ptr<uint8_t[]> in(new uint8_t[Block]);
  std::unique_ptr<uint8_t[]> out(new uint8_t[RunEncoder::MaxEncodedSize(Block)]);
  RunEncoder encoder(crunch);
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!file->Read(in.get(), Block, &got, err)) return false;
    if (got == 0) break;
    total += got;
    if (!target->Write(out.get(), encoder.Encode(in.get(), got, out.get()), err)) return false;
  }
  if (!target->Write(out.get(), encoder.Finish(out.get()), err)) return false;
  *size = total;
  return true;
}

bool Compress(TargetWriter* target, const char* name, uint8_t crunch, std::string* err) {
  InputFile file;
  uint64_t size = 0;
  return file.Open(name, err) && Compress(target, &file, crunch, &size, err);
}
