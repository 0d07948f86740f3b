// The threaded scheduler: symmetric workers, each taking a few whole small
// files at a time (read, count, code) or a piece of a large file (count, then
// code), and handing the finished output over to be written in list order by
// whichever worker finds it next in turn. There is no writer thread: each
// worker's output waits in one of its buffers until its turn.
#include "pack_stages.h"

#if TUVOLINK_PACK_THREADS

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "pack_pipeline.h"
#include "platform.h"
#include "target_writer.h"

namespace {

// The small files a worker takes at a time add up to about this many bytes
// (judged by the average size so far): enough to make the hand-over cheap,
// little enough to keep the workers even.
constexpr uint64_t BatchBytes = uint64_t{256} << 10;
constexpr uint64_t MaxBatchFiles = 64;

// Outputs are written in the order of their keys: (i, 0) for the small files
// from list position i on, (i, 1 + p) for piece p of the large file at i.
uint64_t Key(uint64_t index, uint64_t sub) { return index << 32 | sub; }

// A large file shared by the workers: its pieces are counted by whoever
// claims them, then coded likewise once the crunch byte is known.
struct LargeJob {
  std::unique_ptr<PackInput> input;
  std::string name;
  uint64_t index = 0;
  uint64_t size = 0;
  uint64_t pieces = 0;
  uint64_t next_count = 0;  // the next piece to claim for counting
  uint64_t counted = 0;     // pieces counted
  uint64_t next_code = 0;   // the next piece to claim for coding
  bool failed = false;      // no more claims
  ByteHistogram counts;
  uint64_t counted_digest = 0;  // the sum of the counted pieces' digests
  uint8_t crunch = 0;
  JoinState join;  // the writer's
};

struct Slot {
  OutBuffer out;
  bool busy = false;
};

// The output buffers of all workers together. A worker whose buffers all
// wait for their turn waits too; with more of them it runs further ahead
// while the one that holds the turn is held up (on a busy machine, by the
// other programs on its processor).
constexpr unsigned OutBuffers = 12;

struct Worker {
  explicit Worker(unsigned buffers) : slots(buffers) {}
  BufferPtr hold = NewBuffer(HoldLimit + 1);
  std::unique_ptr<uint8_t[]> piece{new uint8_t[PieceBufferSize]};
  std::vector<Slot> slots;
};

// An output waiting for its turn, with what comes after it.
struct Delivery {
  uint64_t key = 0;
  uint64_t next = 0;
  Slot* slot = nullptr;  // may be null: no output
  std::string err;       // a failure: reported in turn
  LargeJob* job = nullptr;
  uint64_t piece = 0;
  PieceSpan span;
};

struct Unit {
  enum Kind { Batch, Count, Code } kind = Batch;
  uint64_t first = 0;  // Batch: the files [first, first + count)
  uint64_t count = 0;
  LargeJob* job = nullptr;  // Count, Code
  uint64_t piece = 0;
};

// The observer's calls, one at a time.
class LockedObserver : public PackObserver {
 public:
  explicit LockedObserver(PackObserver* inner) : inner_(inner) {}
  void Read(const std::string& name, uint64_t size, uint64_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    inner_->Read(name, size, bytes);
  }

 private:
  PackObserver* inner_;
  std::mutex mutex_;
};

class Scheduler {
 public:
  Scheduler(const std::vector<const char*>& names, InputSource* source, TempOutput* output,
            std::FILE* progress, PackObserver* observer)
      : names_(names),
        source_(source),
        progress_(progress),
        target_(output),
        locked_(observer),
        observer_(observer != nullptr ? &locked_ : nullptr) {}

  void Run(Worker* worker);
  void Fail(const std::string& err);
  bool Finish(std::string* err);

 private:
  friend class TurnSpill;
  using Lock = std::unique_lock<std::mutex>;

  Slot* WaitSlot(Worker* worker, Lock& lock);
  bool Claim(Unit* unit, Lock& lock);
  bool ClaimPiece(LargeJob* job, Unit* unit);
  uint64_t BatchCount() const;
  void RunBatch(Worker* worker, Slot* slot, uint64_t first, uint64_t count);
  void ShareLarge(Worker* worker, std::unique_ptr<PackInput> input, uint64_t index, Lock& lock);
  void RunCount(Worker* worker, LargeJob* job, uint64_t piece);
  void RunCode(Worker* worker, Slot* slot, LargeJob* job, uint64_t piece);
  void Deliver(Delivery delivery);
  bool WriteDelivery(Delivery* delivery, std::string* err);
  bool DrainAt(uint64_t key, OutBuffer* out, std::string* err);

  const std::vector<const char*>& names_;
  InputSource* source_;
  std::FILE* progress_;
  TargetWriter target_;  // written only by the worker that holds the turn
  LockedObserver locked_;
  PackObserver* observer_;

  std::mutex mutex_;
  std::condition_variable wake_;  // turn, slots, claims or failure changed
  uint64_t next_file_ = 0;
  uint64_t active_batches_ = 0;
  uint64_t files_seen_ = 0, bytes_seen_ = 0;  // small files read, for BatchCount
  std::vector<std::unique_ptr<LargeJob>> jobs_;
  std::vector<LargeJob*> open_jobs_;  // with pieces left to claim
  uint64_t turn_ = 0;
  bool writing_ = false;
  std::vector<Delivery> pending_;
  bool failed_ = false;
  std::string err_;
};

// Drains an output in its turn, and keeps the turn.
class TurnSpill : public Spill {
 public:
  TurnSpill(Scheduler* scheduler, uint64_t key) : scheduler_(scheduler), key_(key) {}
  bool Drain(OutBuffer* out, std::string* err) override {
    return scheduler_->DrainAt(key_, out, err);
  }

 private:
  Scheduler* scheduler_;
  uint64_t key_;
};

void Scheduler::Fail(const std::string& err) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed_) err_ = err;
  failed_ = true;
  wake_.notify_all();
}

bool Scheduler::Finish(std::string* err) {
  // Every output written, none left over: else the keys were not a sequence.
  if (!failed_ && (turn_ != Key(names_.size(), 0) || !pending_.empty())) {
    Fail("internal error: the records are out of sequence");
  }
  if (failed_) {
    *err = err_;
    return false;
  }
  return target_.Flush(err);
}

void Scheduler::Run(Worker* worker) {
  Lock lock(mutex_);
  for (;;) {
    Slot* slot = WaitSlot(worker, lock);
    Unit unit;
    if (slot == nullptr || !Claim(&unit, lock)) return;
    if (unit.kind != Unit::Count) slot->busy = true;
    lock.unlock();
    if (unit.kind == Unit::Batch) {
      RunBatch(worker, slot, unit.first, unit.count);
    } else if (unit.kind == Unit::Count) {
      RunCount(worker, unit.job, unit.piece);
    } else {
      RunCode(worker, slot, unit.job, unit.piece);
    }
    lock.lock();
  }
}

Slot* Scheduler::WaitSlot(Worker* worker, Lock& lock) {
  for (;;) {
    if (failed_) return nullptr;
    for (Slot& slot : worker->slots) {
      if (!slot.busy) return &slot;
    }
    wake_.wait(lock);
  }
}

// Pieces of large files come first; then the next small files; a worker
// that finds neither waits while others may still open a large file.
bool Scheduler::Claim(Unit* unit, Lock& lock) {
  for (;;) {
    if (failed_) return false;
    for (LargeJob* job : open_jobs_) {
      if (ClaimPiece(job, unit)) return true;
    }
    if (next_file_ < names_.size()) {
      unit->kind = Unit::Batch;
      unit->first = next_file_;
      unit->count = BatchCount();
      next_file_ += unit->count;
      ++active_batches_;
      return true;
    }
    if (active_batches_ == 0 && open_jobs_.empty()) return false;
    wake_.wait(lock);
  }
}

bool Scheduler::ClaimPiece(LargeJob* job, Unit* unit) {
  unit->job = job;
  if (job->next_count < job->pieces) {
    unit->kind = Unit::Count;
    unit->piece = job->next_count++;
    return true;
  }
  if (job->counted < job->pieces || job->next_code == job->pieces) return false;
  unit->kind = Unit::Code;
  unit->piece = job->next_code++;
  if (job->next_code == job->pieces) {
    open_jobs_.erase(std::find(open_jobs_.begin(), open_jobs_.end(), job));
  }
  return true;
}

uint64_t Scheduler::BatchCount() const {
  uint64_t count = 1;
  if (files_seen_ > 0) {
    uint64_t average = bytes_seen_ / files_seen_ + 1;
    count = std::max<uint64_t>(1, std::min(MaxBatchFiles, BatchBytes / average));
  }
  return std::min<uint64_t>(count, names_.size() - next_file_);
}

// --- The units ---

void Scheduler::RunBatch(Worker* worker, Slot* slot, uint64_t first, uint64_t count) {
  uint64_t key = Key(first, 0), files = 0, bytes = 0;
  Delivery delivery;
  for (uint64_t i = first; i < first + count; ++i) {
    const std::string name = names_[i];
    OutBuffer* out = &slot->out;
    TurnSpill spill(this, key);
    BeginInput(name, out);
    std::unique_ptr<PackInput> input;
    std::string err;
    size_t size = 0;
    bool ok = source_->Open(name.c_str(), &input, &err);
    if (ok && input->size() > HoldLimit) {
      // What came before goes first; then the file is shared, and the
      // batch goes on after it, if there is more, in a buffer of its own.
      Delivery before;
      before.key = key;
      before.next = Key(i, 1);
      before.slot = slot;
      Deliver(std::move(before));
      key = Key(i + 1, 0);
      Lock lock(mutex_);
      ShareLarge(worker, std::move(input), i, lock);
      slot = i + 1 < first + count ? WaitSlot(worker, lock) : nullptr;
      if (slot == nullptr) break;
      slot->busy = true;
      continue;
    }
    ok = ok && ReadWhole(input.get(), name, worker->hold.get(), &size, observer_, &err);
    if (ok && size > HoldLimit) {
      ok = false;
      err = ChangedMessage(name);
    }
    const uint8_t* data = worker->hold.get();
    ok = ok && Compress(name, CalcCrunchByte(data, size), data, size, out, &spill, &err);
    if (!ok) {
      if (err.empty()) {
        // Stopped by a failure before this one: nothing to report.
        std::lock_guard<std::mutex> lock(mutex_);
        slot->out.Clear();
        slot->busy = false;
        slot = nullptr;
      }
      delivery.err = err;
      break;
    }
    ++files;
    bytes += size;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --active_batches_;
    files_seen_ += files;
    bytes_seen_ += bytes;
    wake_.notify_all();
  }
  if (slot == nullptr) return;
  delivery.key = key;
  delivery.next = Key(first + count, 0);
  delivery.slot = slot;
  Deliver(std::move(delivery));
}

// Publishes the large file at `index` and works on it until all its pieces
// are claimed, or packing stops. Called and returns with `lock` held.
void Scheduler::ShareLarge(Worker* worker, std::unique_ptr<PackInput> input, uint64_t index,
                           Lock& lock) {
  std::unique_ptr<LargeJob> owned(new LargeJob);
  LargeJob* job = owned.get();
  job->name = names_[index];
  job->index = index;
  job->size = input->size();
  job->pieces = PieceCount(job->size);
  job->input = std::move(input);
  jobs_.push_back(std::move(owned));
  open_jobs_.push_back(job);
  wake_.notify_all();
  for (;;) {
    Slot* slot = WaitSlot(worker, lock);
    if (slot == nullptr) break;
    if (job->failed || job->next_code == job->pieces) break;
    Unit unit;
    if (!ClaimPiece(job, &unit)) {
      wake_.wait(lock);  // the others are counting the last pieces
      continue;
    }
    if (unit.kind == Unit::Code) slot->busy = true;
    lock.unlock();
    if (unit.kind == Unit::Count) {
      RunCount(worker, job, unit.piece);
    } else {
      RunCode(worker, slot, job, unit.piece);
    }
    lock.lock();
  }
}

void Scheduler::RunCount(Worker* worker, LargeJob* job, uint64_t piece) {
  ByteHistogram counts;
  uint64_t digest = 0;
  std::string err;
  bool ok = CountPiece(job->input.get(), job->name, piece, worker->piece.get(), &counts, &digest,
                       observer_, &err);
  Lock lock(mutex_);
  if (ok) {
    job->counts.Merge(counts);
    job->counted_digest += digest;
    if (++job->counted == job->pieces) {
      job->crunch = PickCrunchByte(job->counts);
      wake_.notify_all();
    }
    return;
  }
  if (job->failed) return;  // another piece's failure stands for this file
  job->failed = true;
  auto open = std::find(open_jobs_.begin(), open_jobs_.end(), job);
  if (open != open_jobs_.end()) open_jobs_.erase(open);
  lock.unlock();
  // No piece has been coded: the failure takes the first piece's turn.
  Delivery delivery;
  delivery.key = Key(job->index, 1);
  delivery.err = err;
  Deliver(std::move(delivery));
}

void Scheduler::RunCode(Worker* worker, Slot* slot, LargeJob* job, uint64_t piece) {
  Delivery delivery;
  delivery.key = Key(job->index, 1 + piece);
  delivery.next = piece + 1 < job->pieces ? Key(job->index, 2 + piece) : Key(job->index + 1, 0);
  delivery.slot = slot;
  delivery.job = job;
  delivery.piece = piece;
  if (piece == 0) BeginRecord(job->name, job->crunch, &slot->out);
  TurnSpill spill(this, delivery.key);
  std::string err;
  if (!CodePiece(job->input.get(), job->name, piece, job->crunch, worker->piece.get(), &slot->out,
                 &spill, &delivery.span, &err)) {
    Lock lock(mutex_);
    if (err.empty()) {
      slot->out.Clear();
      slot->busy = false;
      return;
    }
    job->failed = true;
    auto open = std::find(open_jobs_.begin(), open_jobs_.end(), job);
    if (open != open_jobs_.end()) open_jobs_.erase(open);
    delivery.err = err;
    delivery.job = nullptr;
  }
  Deliver(std::move(delivery));
}

// --- Writing in turn ---

void Scheduler::Deliver(Delivery delivery) {
  Lock lock(mutex_);
  pending_.push_back(std::move(delivery));
  if (writing_) return;
  writing_ = true;
  while (!failed_) {
    auto next = std::find_if(pending_.begin(), pending_.end(),
                             [this](const Delivery& d) { return d.key == turn_; });
    if (next == pending_.end()) break;
    Delivery current = std::move(*next);
    pending_.erase(next);
    lock.unlock();
    std::string err;
    bool ok = WriteDelivery(&current, &err);
    lock.lock();
    if (current.slot != nullptr) current.slot->busy = false;
    if (!ok) {
      failed_ = true;
      err_ = err;
      break;
    }
    turn_ = current.next;
  }
  writing_ = false;
  wake_.notify_all();
}

bool Scheduler::WriteDelivery(Delivery* delivery, std::string* err) {
  LargeJob* job = delivery->job;
  if (job != nullptr && !JoinPiece(job->name, job->size, delivery->piece, delivery->span,
                                   job->counted_digest, &job->join, err)) {
    return false;
  }
  if (delivery->slot != nullptr && !delivery->slot->out.WriteTo(progress_, &target_, err)) {
    return false;
  }
  if (!delivery->err.empty()) {
    *err = delivery->err;
    return false;
  }
  // The last piece written: the file is done with.
  if (job != nullptr && delivery->piece + 1 == job->pieces) job->input.reset();
  return true;
}

bool Scheduler::DrainAt(uint64_t key, OutBuffer* out, std::string* err) {
  Lock lock(mutex_);
  wake_.wait(lock, [&] { return failed_ || (turn_ == key && !writing_); });
  err->clear();
  if (failed_) return false;
  writing_ = true;
  lock.unlock();
  std::string write_err;
  bool ok = out->WriteTo(progress_, &target_, &write_err);
  lock.lock();
  writing_ = false;
  if (!ok && !failed_) {
    // In turn, so this is the first failure in list order.
    failed_ = true;
    err_ = write_err;
  }
  wake_.notify_all();
  return ok;
}

// Runs a worker, turning an exception (only running out of memory is
// expected) into a failure.
void Guarded(Scheduler* scheduler, Worker* worker) {
  try {
    scheduler->Run(worker);
  } catch (const std::bad_alloc&) {
    scheduler->Fail("out of memory");
  } catch (const std::exception& e) {
    scheduler->Fail(e.what());
  }
}

}  // namespace

bool PackThreaded(const std::vector<const char*>& names, unsigned workers, InputSource* source,
                  TempOutput* output, std::FILE* progress, PackObserver* observer,
                  std::string* err) {
  try {
    Scheduler scheduler(names, source, output, progress, observer);
    std::vector<std::unique_ptr<Worker>> states;
    const unsigned buffers = std::max(2u, OutBuffers / workers);
    for (unsigned i = 0; i < workers; ++i) states.emplace_back(new Worker(buffers));
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < workers; ++i) {
      try {
        threads.emplace_back(Guarded, &scheduler, states[i].get());
      } catch (const std::system_error&) {
        break;  // the workers there are share all the work
      }
    }
    Guarded(&scheduler, states[0].get());
    for (std::thread& thread : threads) thread.join();
    return scheduler.Finish(err);
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
  }
  return false;
}

#endif  // TUVOLINK_PACK_THREADS
