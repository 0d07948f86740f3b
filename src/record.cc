// Counting and coding one input in blocks of the platform layer's size.
#include "record.h"

#include <memory>

#include "format/histogram.h"
#include "format/layout.h"
#include "format/run_encoder.h"
#include "platform.h"
#include "target_writer.h"

bool CalcCrunchByte(InputFile* file, uint8_t* crunch, uint64_t* size, std::string* err) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[InputFile::BlockSize]);
  ByteHistogram histogram;
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!file->Read(buffer.get(), InputFile::BlockSize, &got, err)) return false;
    if (got == 0) break;
    histogram.Add(buffer.get(), got);
    total += got;
  }
  *crunch = PickCrunchByte(histogram);
  *size = total;
  return true;
}

bool Compress(TargetWriter* target, InputFile* file, uint8_t crunch, uint64_t* size,
              std::string* err) {
  const std::string& name = file->name();
  uint8_t head[MaxRecordHeadSize];
  if (!target->Write(head, PutRecordHead(name.c_str(), name.size(), crunch, head), err)) {
    return false;
  }
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
