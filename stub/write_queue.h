// The writing half of an extraction, on a thread of its own: the decoder
// fills the buffers of a small ring while the writer thread writes the ones
// already full into the files of their records, so that decoding and writing
// overlap on two cores. A buffer holds the data of as many records as fit,
// so that small files do not cost a handing over each.
#ifndef TUVOLINK_STUB_WRITE_QUEUE_H_
#define TUVOLINK_STUB_WRITE_QUEUE_H_

#include <cstddef>
#include <cstdint>

#include "format/package_reader.h"
#include "os.h"

class Plan;
class Progress;

class WriteQueue : public DecodeSink {
 public:
  // Writes the records of `plan` (built with check_names) into `folder`,
  // telling `progress` (which may be null) how many bytes came.
  WriteQueue(const Plan& plan, Folder* folder, Progress* progress)
      : plan_(plan), folder_(folder), progress_(progress) {}
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;
  // Stops a writer still running; the file in progress is removed.
  ~WriteQueue() override;

  // Makes the ring and, when `threaded`, starts the writer thread; without
  // a thread (or when none can start), the buffer is written on the
  // caller's thread when it is full. False when memory runs out.
  bool Start(bool threaded, ErrorLine* err);
  // The decoded data go to record i of the plan from now on.
  void BeginRecord(size_t i) { record_ = i; }
  uint8_t* Room(size_t* size) override;
  // Takes data that begins at the last Room; false once a write failed.
  bool Put(const uint8_t* data, size_t size) override;
  // Ends the current record: its file is committed once written. False
  // once a write failed.
  bool EndRecord();
  // Hands over what is left when every record was ended, waits until it is
  // written and stops the writer; a record not ended is removed. False with
  // *err set to the first failure.
  bool Finish(ErrorLine* err);
  // Stops the writer at once; the file in progress is removed.
  void Abort();
  // The records before this one are written and complete; after Finish.
  size_t committed() const { return committed_; }

 private:
  // The part of a buffer that belongs to one record.
  struct Segment {
    size_t record;
    size_t offset;  // in the buffer
    size_t size;
    bool first;  // the record's first bytes
    bool last;   // the record ends here
  };
  struct Slot {
    uint8_t* data;
    Segment* segments;
    size_t count;  // of segments
  };
  static constexpr size_t SlotCount = 4;
  static constexpr size_t SlotSize = size_t{1} << 20;
  static constexpr size_t MaxSegments = 512;
  // A slot with less room than this is handed over: the decoder needs
  // MaxRun, and small pieces make slow writes.
  static constexpr size_t MinRoom = size_t{64} << 10;
  // A record's first segment holds at least this much of it when there is
  // that much (LooksExecutable reads it), unless it ends sooner.
  static constexpr size_t HeadSize = 4;

  // Sets *flag (finishing_ or aborted_) for the writer thread, waits for it
  // to end, and discards a record left open.
  void StopWriter(bool* flag);
  static void RunWriter(void* self);
  void WriterLoop();
  // Takes a free slot for the decoder; false once a write failed.
  bool Acquire();
  // The segment of the current record in the slot being filled.
  Segment* CurrentSegment();
  // Hands the slot being filled over to the writer.
  bool Submit();
  // Writes one slot into the files of its records (writer side).
  bool WriteSlot(const Slot& slot, ErrorLine* err);
  bool WriteSegment(const uint8_t* data, const Segment& segment, ErrorLine* err);

  const Plan& plan_;
  Folder* folder_;
  Progress* progress_;
  uint64_t decoded_ = 0;
  Worker worker_;
  bool threaded_ = false;
  uint8_t* memory_ = nullptr;
  Slot slots_[SlotCount] = {};
  // Decoder side.
  size_t record_ = 0;
  bool filling_ = false;  // slots_[head_] is being filled
  size_t fill_ = 0;
  bool in_segment_ = false;      // the slot's last segment takes the current record's data
  bool record_started_ = false;  // some of the current record went into a segment
  // Shared, under the worker's lock.
  size_t head_ = 0;  // the next slot to fill
  size_t tail_ = 0;  // the next slot to write
  size_t full_ = 0;  // slots handed over and not yet written
  bool finishing_ = false;
  bool aborted_ = false;
  bool failed_ = false;
  ErrorLine error_;
  // Writer side.
  EntryFile file_;
  bool open_ = false;
  size_t committed_ = 0;
};

#endif  // TUVOLINK_STUB_WRITE_QUEUE_H_
