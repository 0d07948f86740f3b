// The file record encoder: a record is the input's name and a 0 byte, the
// crunch byte C, the input's bytes run-length coded with C as the escape, and
// the end marker C, 0 (docs/format.md).
#ifndef TUVOLINK_TARGET_COMPRESS_H_
#define TUVOLINK_TARGET_COMPRESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

class InputFile;
class TargetWriter;

// Run-length coder of one record's data, fed in blocks of any size: the output
// is the same whatever the block boundaries.
class RunEncoder {
 public:
  explicit RunEncoder(uint8_t crunch) : crunch_(crunch) {}

  // Most bytes that Encode can write for `size` input bytes (every input byte
  // may be a lone C, three bytes each, plus the run carried in).
  static constexpr size_t MaxEncodedSize(size_t size) { return 3 * size + 3; }
  // Most bytes that Finish writes.
  static constexpr size_t MaxFinishSize = 3 + 2;

  // Codes data[0, size) into `out`, which must hold MaxEncodedSize(size)
  // bytes; returns the number of bytes written. The last run may be held back
  // until the next block or Finish.
  size_t Encode(const uint8_t* data, size_t size, uint8_t* out);
  // Writes the held-back run and the end marker; returns the bytes written.
  size_t Finish(uint8_t* out);

 private:
  uint8_t crunch_;
  uint8_t value_ = 0;  // value of the run being counted
  unsigned count_ = 0;  // its length so far, 0 before the first byte
};

// Appends the record of `file` (named as file->name(), read from its current
// position to its end), coded with `crunch`, to `target`. *size receives the
// number of input bytes coded. Returns false and sets *err, naming the file
// and the reason, when the input cannot be read or the target written.
bool Compress(TargetWriter* target, InputFile* file, uint8_t crunch, uint64_t* size,
              std::string* err);

// The same for the file `name`, which it opens and closes.
bool Compress(TargetWriter* target, const char* name, uint8_t crunch, std::string* err);

// Writes the record header: the name, its 0 byte and the crunch byte. Returns
// the number of bytes written to `out`, which must hold strlen(name) + 2.
size_t PutRecordHeader(const char* name, uint8_t crunch, uint8_t* out);

#endif  // TUVOLINK_TARGET_COMPRESS_H_
