// The stages of packing that both schedulers run: reading an input, counting
// its bytes for the crunch byte and coding its record into an output buffer.
// A file too large to hold is counted and coded in pieces that may run on
// several threads at once. The stages never print and never write the target.
#ifndef TUVOLINK_PACK_STAGES_H_
#define TUVOLINK_PACK_STAGES_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "format/histogram.h"
#include "format/layout.h"
#include "format/run_encoder.h"
#include "platform.h"

class PackObserver;
class TargetWriter;
class TempOutput;

// One input as the stages read it: a file (FileSource) or a test's fake.
class PackInput {
 public:
  virtual ~PackInput() = default;
  // The size when it was opened.
  virtual uint64_t size() const = 0;
  // One read of at most `size` bytes from the current position; *got is 0 at
  // the end. A short read need not be the end.
  virtual bool ReadSome(void* buffer, size_t size, size_t* got, std::string* err) = 0;
  // Reads from byte `offset` until `size` bytes are read or the input ends.
  // Several threads may call it at once.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got,
                      std::string* err) = 0;
};

// Opens inputs by name; messages name the input and the reason.
class InputSource {
 public:
  virtual ~InputSource() = default;
  virtual bool Open(const char* name, std::unique_ptr<PackInput>* input, std::string* err) = 0;
};

// The regular files themselves, through InputFile.
InputSource* FileSource();

// Files of at most HoldLimit bytes are read once and held whole; larger ones
// are read twice, in pieces of PieceSize bytes: once to count, once to code.
constexpr size_t HoldLimit = size_t{2} << 20;
constexpr size_t PieceSize = size_t{512} << 10;
// Bytes read beyond a piece to find where its last run ends.
constexpr size_t PieceLookahead = size_t{4} << 10;
// What a piece buffer must hold: a piece, the byte before it, the lookahead.
constexpr size_t PieceBufferSize = PieceSize + 1 + PieceLookahead;

// The coded bytes and progress text of consecutive records on their way to
// the target. The text of a record goes out before its bytes.
class OutBuffer {
 public:
  // Room for the record of a file held whole, which codes to little more
  // than its size (the crunch byte is rare), checked step by step against
  // the worst case of a step: so such a file never waits for its turn to
  // drain its buffer.
  static constexpr size_t Capacity = (size_t{2} << 20) + (size_t{256} << 10);
  static constexpr size_t CodeStep = size_t{64} << 10;
  static_assert(RunEncoder::MaxEncodedSize(CodeStep) + MaxRecordHeadSize <= Capacity,
                "one step fits an empty buffer");

  OutBuffer() : data_(NewBuffer(Capacity)) {}
  uint8_t* end() { return data_.get() + used_; }
  size_t room() const { return Capacity - used_; }
  void Advance(size_t n) { used_ += n; }
  bool empty() const { return used_ == 0 && text_.empty(); }
  std::string& text() { return text_; }
  // Prints the text to `progress` (if not null), writes the bytes to
  // `target`, and empties the buffer.
  bool WriteTo(std::FILE* progress, TargetWriter* target, std::string* err);
  void Clear() {
    used_ = 0;
    text_.clear();
  }

 private:
  BufferPtr data_;
  size_t used_ = 0;
  std::string text_;
};

// Where a full OutBuffer goes: the scheduler writes it out in its turn and
// hands it back empty. False when packing must stop; *err is then the reason,
// or empty when the stop comes from a failure reported elsewhere.
class Spill {
 public:
  virtual ~Spill() = default;
  virtual bool Drain(OutBuffer* out, std::string* err) = 0;
};

// Appends "Processing NAME..." to the text.
void BeginInput(const std::string& name, OutBuffer* out);

// Reads all of `input` into buffer[0, HoldLimit + 1) and sets *size; or sets
// *size to more than HoldLimit if it turned out larger. Tells `observer`
// (may be null) of the bytes read. False with *err set if a read fails.
bool ReadWhole(PackInput* input, const std::string& name, uint8_t* buffer, size_t* size,
               PackObserver* observer, std::string* err);

// The count stage of a file held whole: the crunch byte of data[0, size),
// its least frequent byte value, the lowest on a tie.
uint8_t CalcCrunchByte(const uint8_t* data, size_t size);

// The code stage of a file held whole: appends the CrunchByte and Compressing
// lines and the record of data[0, size) named `name`, coded with `crunch`
// (head, coded data, end marker), to `out`, draining it into `spill` when
// full. False when the spill fails.
bool Compress(const std::string& name, uint8_t crunch, const uint8_t* data, size_t size,
              OutBuffer* out, Spill* spill, std::string* err);

// Appends the CrunchByte and Compressing lines and the record head.
// `out` must have room for a record head.
void BeginRecord(const std::string& name, uint8_t crunch, OutBuffer* out);

// The number of pieces of a large input of `size` bytes.
uint64_t PieceCount(uint64_t size);

// Counts piece `index` of `input` (of `size` bytes when opened) into
// `counts`, through `buffer` (PieceBufferSize bytes), and sets *digest to the
// digest of the piece's bytes. Fails, naming the input, when it cannot be
// read or when it is no longer `size` bytes long.
bool CountPiece(PackInput* input, const std::string& name, uint64_t index, uint8_t* buffer,
                ByteHistogram* counts, uint64_t* digest, PackObserver* observer, std::string* err);

// The input bytes [start, stop) whose items a piece coded, none if empty,
// and the digest of the piece's bytes as the coding read them.
struct PieceSpan {
  uint64_t start = 0;
  uint64_t stop = 0;
  bool empty = true;
  uint64_t digest = 0;
};

// Codes piece `index` of a large input with `crunch` into `out` (draining
// into `spill`), through `buffer` (PieceBufferSize bytes). A piece codes the
// items that start in its range: from the first place at or after its start
// where the byte value changes (the file's start for the first piece) to the
// same place of the next piece, or the end of the input for the last one,
// which also gets the end marker. *span tells what was coded.
bool CodePiece(PackInput* input, const std::string& name, uint64_t index, uint8_t crunch,
               uint8_t* buffer, OutBuffer* out, Spill* spill, PieceSpan* span, std::string* err);

// What the joining of a large input's coded pieces, in order, has seen.
struct JoinState {
  uint64_t covered = 0;  // the input bytes [0, covered) are coded
  uint64_t digest = 0;   // the sum of the coded pieces' digests
};

// Checks that piece `index` continues the pieces before it and adds it to
// *state. At the last piece, the coded pieces must cover the input and their
// digests must sum to `counted_digest`, the sum of the counted pieces'
// digests: a gap, an overlap, a wrong end or other bytes than were counted
// (a file rewritten in place, even to the same size) mean that the input
// changed between the readings: false, with the message.
bool JoinPiece(const std::string& name, uint64_t size, uint64_t index, const PieceSpan& span,
               uint64_t counted_digest, JoinState* state, std::string* err);

// "'NAME' changed while it was being packed".
std::string ChangedMessage(const std::string& name);

// --- The schedulers, which run the stages over the list ---

// libstdc++ built without a thread model (MinGW-w64 with win32 threads, our
// Windows build) has no std::thread and no std::mutex; there only the serial
// scheduler is built.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define TUVOLINK_PACK_THREADS 0
#else
#define TUVOLINK_PACK_THREADS 1
#endif

// Packs the records of `names`, in order, on the calling thread
// (pack_serial.cc), or on `workers` threads, the calling one among them
// (pack_threads.cc). Both write through one TargetWriter over `output`, in
// list order, and print the progress text before the bytes it goes with;
// both stop at the first failure in list order and report it.
bool PackSerial(const std::vector<const char*>& names, InputSource* source, TempOutput* output,
                std::FILE* progress, PackObserver* observer, std::string* err);
#if TUVOLINK_PACK_THREADS
bool PackThreaded(const std::vector<const char*>& names, unsigned workers, InputSource* source,
                  TempOutput* output, std::FILE* progress, PackObserver* observer,
                  std::string* err);
#endif

#endif  // TUVOLINK_PACK_STAGES_H_
