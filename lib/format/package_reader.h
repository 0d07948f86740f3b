// Reader of packages: finds the records through the trailer, walks them and
// decodes their data, rejecting anything malformed with a message that says
// what is wrong and where. It uses no exceptions and no standard library
// containers, so that the extractor stub can be built from it small.
#ifndef TUVOLINK_FORMAT_PACKAGE_READER_H_
#define TUVOLINK_FORMAT_PACKAGE_READER_H_

#include <cstddef>
#include <cstdint>

#include "format/error_line.h"
#include "format/layout.h"

// Random access to the bytes of a package.
class PackageSource {
 public:
  virtual ~PackageSource() = default;
  // Reads exactly `size` bytes at `offset`; false on any failure.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
  // May start reading those bytes in the background, so that a later
  // ReadAt of exactly this range finds them there already. The buffer is
  // the source's until that ReadAt or Settle.
  virtual void ReadAhead(uint64_t, void*, size_t) {}
  // Waits for a read ahead to finish.
  virtual void Settle() {}
};

// Receives the decoded bytes of a record, in order.
class DecodeSink {
 public:
  virtual ~DecodeSink() = default;
  // Where the decoder may write the next bytes, with *size set to the room
  // (at least MaxRun), so that they need not be copied again; the next Put
  // then hands over data that begins there. Null: the decoder uses a buffer
  // of its own.
  virtual uint8_t* Room(size_t* size) {
    *size = 0;
    return nullptr;
  }
  // Takes data[0, size); false stops the decoding with a write error.
  virtual bool Put(const uint8_t* data, size_t size) = 0;
};

// What the reader reports of a record.
struct RecordInfo {
  char name[MaxName] = {};
  uint8_t crunch = 0;
  uint64_t offset = 0;        // where the record's name begins
  uint64_t decoded_size = 0;  // bytes of the decoded data
};

class PackageReader {
 public:
  enum Status { Record, End, Error };

  PackageReader() = default;
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;
  ~PackageReader();

  // Reads and checks the trailer of the package that fills source[0, end):
  // the list terminator and a start offset inside the file.
  bool Open(PackageSource* source, uint64_t end, ErrorLine* err);
  // Offset of the first record (of the list terminator when there is none).
  uint64_t start() const { return start_; }
  // Offset of the list terminator.
  uint64_t terminator() const { return limit_; }

  // Reads the next record and decodes its data into `sink` (which may be
  // null, to check and measure only: the data is then scanned, not
  // decoded). Returns Record with *info filled, End when the records end
  // exactly at the list terminator, or Error. After End or Error no read
  // ahead is left running on the source.
  Status Next(RecordInfo* info, DecodeSink* sink, ErrorLine* err);

 private:
  // Makes at least one byte at pos_ available below limit_; false at limit_
  // (with *err clear) or on a read failure (with *err set).
  bool Fill(ErrorLine* err, bool* failed);
  // Waits for a read ahead, if one is running, and forgets it.
  void StopReadingAhead();
  Status Step(RecordInfo* info, DecodeSink* sink, ErrorLine* err);
  bool ReadHead(RecordInfo* info, ErrorLine* err);
  bool DecodeData(RecordInfo* info, DecodeSink* sink, ErrorLine* err);

  PackageSource* source_ = nullptr;
  uint64_t start_ = 0;
  uint64_t limit_ = 0;  // the list terminator's offset
  uint64_t pos_ = 0;
  uint8_t* window_ = nullptr;  // source bytes [window_start_, window_start_ + window_size_)
  size_t window_capacity_ = 0;
  uint64_t window_start_ = 0;
  size_t window_size_ = 0;
  uint8_t* ahead_ = nullptr;  // the next window, being read ahead when ahead_size_ > 0
  size_t ahead_size_ = 0;
  uint8_t* out_ = nullptr;  // decoded bytes on their way to the sink
};

#endif  // TUVOLINK_FORMAT_PACKAGE_READER_H_
