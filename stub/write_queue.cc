// Decoding and writing on two threads, with a ring of four buffers between
// them, or on one with a single buffer.
#include "write_queue.h"

#include <cstdlib>

#include "plan.h"
#include "progress.h"

WriteQueue::~WriteQueue() {
  Abort();
  std::free(memory_);
}

bool WriteQueue::Start(bool threaded, ErrorLine* err) {
  // Without a thread only the first slot is ever filled.
  size_t count = threaded ? SlotCount : 1;
  memory_ = static_cast<uint8_t*>(std::malloc(count * (SlotSize + MaxSegments * sizeof(Segment))));
  if (memory_ == nullptr) {
    err->Set("out of memory");
    return false;
  }
  Segment* segments = reinterpret_cast<Segment*>(memory_ + count * SlotSize);
  for (size_t i = 0; i < count; ++i) {
    slots_[i].data = memory_ + i * SlotSize;
    slots_[i].segments = segments + i * MaxSegments;
  }
  threaded_ = threaded && worker_.Start(RunWriter, this);
  return true;
}

uint8_t* WriteQueue::Room(size_t* size) {
  *size = 0;
  if (!filling_ && !Acquire()) return nullptr;
  *size = SlotSize - fill_;
  return slots_[head_].data + fill_;
}

WriteQueue::Segment* WriteQueue::CurrentSegment() {
  Slot& slot = slots_[head_];
  if (!in_segment_) {
    slot.segments[slot.count++] = Segment{record_, fill_, 0, !record_started_, false};
    in_segment_ = true;
    record_started_ = true;
  }
  return &slot.segments[slot.count - 1];
}

bool WriteQueue::Put(const uint8_t* data, size_t size) {
  if (!filling_ || data != slots_[head_].data + fill_) return false;
  Segment* segment = CurrentSegment();
  segment->size += size;
  fill_ += size;
  decoded_ += size;
  if (progress_ != nullptr) progress_->Update(decoded_);
  bool head_complete = !segment->first || segment->size >= HeadSize;
  return SlotSize - fill_ >= MinRoom || !head_complete || Submit();
}

bool WriteQueue::EndRecord() {
  if (!filling_ && !Acquire()) return false;
  CurrentSegment()->last = true;
  in_segment_ = false;
  record_started_ = false;
  // The next record goes into the same slot while it has room.
  bool room = SlotSize - fill_ >= MinRoom && slots_[head_].count < MaxSegments;
  return room || Submit();
}

bool WriteQueue::Acquire() {
  if (threaded_) {
    worker_.Lock();
    while (full_ == SlotCount && !failed_) worker_.Wait();
    bool ok = !failed_;
    worker_.Unlock();
    if (!ok) return false;
  } else if (failed_) {
    return false;
  }
  filling_ = true;
  fill_ = 0;
  slots_[head_].count = 0;
  return true;
}

bool WriteQueue::Submit() {
  filling_ = false;
  in_segment_ = false;
  if (!threaded_) {
    if (!failed_ && !WriteSlot(slots_[head_], &error_)) failed_ = true;
    return !failed_;
  }
  worker_.Lock();
  head_ = (head_ + 1) % SlotCount;
  ++full_;
  bool ok = !failed_;
  worker_.WakeAll();
  worker_.Unlock();
  return ok;
}

void WriteQueue::StopWriter(bool* flag) {
  if (threaded_) {
    worker_.Lock();
    *flag = true;
    worker_.WakeAll();
    worker_.Unlock();
    worker_.Join();
    threaded_ = false;
  }
  // A record that was not ended is not kept.
  if (open_) file_.Discard();
  open_ = false;
}

bool WriteQueue::Finish(ErrorLine* err) {
  // The last records wait in a slot not yet full; not so a record cut short.
  if (filling_ && slots_[head_].count > 0 && !record_started_) Submit();
  StopWriter(&finishing_);
  if (failed_) {
    *err = error_;
    return false;
  }
  return true;
}

void WriteQueue::Abort() { StopWriter(&aborted_); }

void WriteQueue::RunWriter(void* self) { static_cast<WriteQueue*>(self)->WriterLoop(); }

void WriteQueue::WriterLoop() {
  worker_.Lock();
  for (;;) {
    while (full_ == 0 && !finishing_ && !aborted_) worker_.Wait();
    if (aborted_ || full_ == 0) break;
    const Slot& slot = slots_[tail_];
    bool skip = failed_;
    worker_.Unlock();
    ErrorLine err;
    bool ok = skip || WriteSlot(slot, &err);
    worker_.Lock();
    if (!ok) {
      failed_ = true;
      error_ = err;
    }
    tail_ = (tail_ + 1) % SlotCount;
    --full_;
    worker_.WakeAll();
  }
  worker_.Unlock();
}

bool WriteQueue::WriteSlot(const Slot& slot, ErrorLine* err) {
  for (size_t k = 0; k < slot.count; ++k) {
    if (!WriteSegment(slot.data, slot.segments[k], err)) return false;
  }
  return true;
}

bool WriteQueue::WriteSegment(const uint8_t* data, const Segment& segment, ErrorLine* err) {
  size_t i = segment.record;
  const uint8_t* bytes = data + segment.offset;
  if (!open_) {
    // The format keeps no modes: the program, scripts and binaries are
    // made runnable, as their first bytes tell.
    bool executable = i + 1 == plan_.size() || LooksExecutable(bytes, segment.size);
    if (!file_.Create(folder_, plan_.path(i), plan_.name(i), executable, err)) return false;
    open_ = true;
  }
  if (segment.size > 0 && !file_.Put(bytes, segment.size)) {
    *err = file_.error();
    file_.Discard();
    open_ = false;
    return false;
  }
  if (!segment.last) return true;
  open_ = false;
  if (!file_.Commit(err)) return false;
  committed_ = i + 1;
  return true;
}
