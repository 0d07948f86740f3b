// The record pipeline. The reading thread (the caller's) counts each file's
// bytes to choose its crunch byte, with the coder's help whenever the coder
// has caught up; a file small enough is kept in pooled blocks and handed on
// whole, a larger one is handed on as an open file for the coder to read
// again. The coder writes progress text and coded bytes
// into output buffers, and the writer prints the text and writes the bytes.
// Failures travel in order with the data, so the first one in list order is
// the one reported.
#include "pack_pipeline.h"

#include <cstddef>

#include "names.h"

// libstdc++ built without a thread model (MinGW-w64 with win32 threads) has
// no std::thread and no std::mutex; there the records are packed one after
// the other on the calling thread, with the same output and messages.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define TUVOLINK_PACK_THREADS 0
#else
#define TUVOLINK_PACK_THREADS 1
#endif

#if TUVOLINK_PACK_THREADS

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "channel.h"
#include "format/histogram.h"
#include "format/layout.h"
#include "format/run_encoder.h"
#include "platform.h"

namespace {

constexpr size_t ReadBlock = InputFile::BlockSize;
// Files up to this size are read once; both passes run over the blocks.
constexpr uint64_t InMemoryLimit = uint64_t{16} << 20;
// Enough for one file held whole (and the probe for its end) and a few
// blocks of the next one.
constexpr size_t InputBlocks = 20;
// The coder codes a block in pieces so that an output buffer always has room
// for the worst case of a piece (three bytes for each input byte).
constexpr size_t CodePiece = size_t{256} << 10;
constexpr size_t OutBufferSize = size_t{2} << 20;
constexpr size_t OutBuffers = 4;
// The most that one step of the coder can need in an output buffer.
constexpr size_t MaxStep = RunEncoder::MaxEncodedSize(CodePiece) + MaxRecordHeadSize;
static_assert(MaxStep <= OutBufferSize, "an output buffer holds a coded piece");

using Blocks = std::vector<std::pair<uint8_t*, size_t>>;

// The count of one file's bytes, shared by the two threads: the reading
// thread claims and counts blocks in turn, and the coder, once it has coded
// everything before this file, joins in and claims blocks as well. Each
// counts into a histogram of its own; the sums are the file's. The blocks
// are those of a file held whole, or else read from the file.
struct SharedCount {
  SharedCount(InputFile* input, const Blocks* held) : file(input), blocks(held) {}
  InputFile* file;                // read with ReadAt only
  const Blocks* blocks;           // the file held whole, or null
  std::atomic<uint64_t> next{0};  // the next block to claim
  std::atomic<bool> stop{false};  // a read failed: claim no more
  std::mutex mutex;
  std::condition_variable finished;
  bool closed = false;  // the reader is through: the coder may not join now
  bool joined = false;  // the coder is counting
  bool done = false;    // the coder has left its part below
  ByteHistogram histogram;
  uint64_t bytes = 0;
  std::string err;  // the coder's read failure, if any
};

// One input on its way from the reader to the coder.
struct Job {
  enum Kind { Memory, Stream, Help, Failure, End };
  Kind kind = End;
  std::string name;
  uint8_t crunch = 0;
  Blocks blocks;                       // Memory: the whole file
  std::unique_ptr<InputFile> file;     // Stream: open, to read again
  uint64_t counted = 0;                // Stream: bytes of the first pass
  std::shared_ptr<SharedCount> count;  // Help: a first pass to join
  std::string text;                    // Failure: progress text first
  std::string err;                     // Failure: the message
};

// Output on its way from the coder to the writer: first the text, then the
// bytes, then possibly the end or a failure.
struct Chunk {
  std::string text;
  uint8_t* buffer = nullptr;
  size_t size = 0;
  bool last = false;
  bool failed = false;
  std::string err;
};

std::string ProcessingLine(const std::string& name) {
  return "Processing " + Printed(name) + "...\n";
}

class Pipeline {
 public:
  Pipeline() {
    for (size_t i = 0; i < InputBlocks; ++i) {
      storage_.emplace_back(new uint8_t[ReadBlock]);
      free_blocks_.Push(storage_.back().get());
    }
    for (size_t i = 0; i < OutBuffers; ++i) {
      storage_.emplace_back(new uint8_t[OutBufferSize]);
      free_out_.Push(storage_.back().get());
    }
  }

  void Read(const LinkNode* list);
  void Code();
  void Write(TempOutput* output, std::FILE* progress);

  // Records the first failure and stops every thread.
  void Fail(const std::string& err) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed_) return;
      failed_ = true;
      err_ = err;
    }
    free_blocks_.Close();
    jobs_.Close();
    free_out_.Close();
    chunks_.Close();
  }

  bool Result(std::string* err) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) *err = err_;
    return !failed_;
  }

 private:
  bool ReadFile(const char* name);
  bool ReadWhole(InputFile* file, Job* job, bool* fits);
  bool CountShared(Job* job, std::string* err);
  void HelpCount(SharedCount* count, uint8_t* buffer);
  void ReleaseBlocks(Job* job);
  bool PushFailure(const std::string& name, std::string text, const std::string& err);
  // The coder's output side.
  bool Room(size_t need);
  bool Ship(Chunk chunk);
  bool CodeBytes(RunEncoder* encoder, const uint8_t* data, size_t size);
  bool CodeMemory(Job* job);
  bool CodeStream(Job* job, uint8_t* scratch);
  bool CodeFailure(Job* job);

  std::vector<std::unique_ptr<uint8_t[]>> storage_;
  std::unique_ptr<uint8_t[]> read_buffer_{new uint8_t[ReadBlock]};  // the reader's first passes
  Channel<uint8_t*> free_blocks_{InputBlocks};
  Channel<Job> jobs_{64};
  Channel<uint8_t*> free_out_{OutBuffers};
  Channel<Chunk> chunks_{OutBuffers + 4};
  std::mutex mutex_;
  bool failed_ = false;
  std::string err_;
  // The coder's current output buffer and the text that goes before it.
  uint8_t* out_ = nullptr;
  size_t used_ = 0;
  std::string text_;
};

// --- Reading and counting (the calling thread) ---

void Pipeline::Read(const LinkNode* list) {
  for (const LinkNode* node = list; node != nullptr; node = node->Next) {
    if (!ReadFile(node->Name)) return;
  }
  Job end;
  end.kind = Job::End;
  jobs_.Push(std::move(end));
}

bool Pipeline::PushFailure(const std::string& name, std::string text, const std::string& err) {
  Job job;
  job.kind = Job::Failure;
  job.name = name;
  job.text = std::move(text);
  job.err = err;
  jobs_.Push(std::move(job));
  return false;
}

void Pipeline::ReleaseBlocks(Job* job) {
  for (auto& block : job->blocks) free_blocks_.Push(block.first);
  job->blocks.clear();
}

// Reads the rest of `file` into pooled blocks. *fits is false if the file
// turned out larger than InMemoryLimit.
bool Pipeline::ReadWhole(InputFile* file, Job* job, bool* fits) {
  uint64_t total = 0;
  std::string err;
  for (;;) {
    uint8_t* block = nullptr;
    if (!free_blocks_.Pop(&block)) return false;
    size_t got = 0;
    if (!file->Read(block, ReadBlock, &got, &err)) {
      free_blocks_.Push(block);
      return PushFailure(job->name, ProcessingLine(job->name), err);
    }
    if (got == 0) {
      free_blocks_.Push(block);
      break;
    }
    job->blocks.emplace_back(block, got);
    total += got;
    if (total > InMemoryLimit) {
      *fits = false;
      return true;
    }
    if (got < ReadBlock) break;
  }
  *fits = true;
  if (job->blocks.size() <= 1) {
    // Nothing to share.
    ByteHistogram histogram;
    if (!job->blocks.empty()) histogram.Add(job->blocks[0].first, job->blocks[0].second);
    job->crunch = PickCrunchByte(histogram);
    return true;
  }
  // Counting held blocks reads nothing, so it fails only when the pipeline
  // has stopped.
  return CountShared(job, &err);
}

// Claims blocks of the file and counts them until its end. Returns false
// and sets *err if a read fails.
bool CountBlocks(SharedCount* count, uint8_t* buffer, ByteHistogram* histogram, uint64_t* bytes,
                 std::string* err) {
  while (!count->stop.load(std::memory_order_relaxed)) {
    uint64_t block = count->next.fetch_add(1, std::memory_order_relaxed);
    if (count->blocks != nullptr) {
      if (block >= count->blocks->size()) break;
      const auto& held = (*count->blocks)[static_cast<size_t>(block)];
      histogram->Add(held.first, held.second);
      *bytes += held.second;
      continue;
    }
    size_t got = 0;
    if (!count->file->ReadAt(block * ReadBlock, buffer, ReadBlock, &got, err)) {
      count->stop = true;
      return false;
    }
    histogram->Add(buffer, got);
    *bytes += got;
    if (got < ReadBlock) break;
  }
  return true;
}

// Counts the file of `job`, its blocks if it is held whole and else by
// reading it, offering a share to the coder as a Help job. Returns false
// with *err set on a read failure, or with *err empty if the pipeline has
// stopped.
bool Pipeline::CountShared(Job* job, std::string* err) {
  err->clear();
  auto count =
      std::make_shared<SharedCount>(job->file.get(), job->blocks.empty() ? nullptr : &job->blocks);
  Job help;
  help.kind = Job::Help;
  help.count = count;
  if (!jobs_.Push(std::move(help))) return false;
  ByteHistogram histogram;
  uint64_t bytes = 0;
  bool ok = CountBlocks(count.get(), read_buffer_.get(), &histogram, &bytes, err);
  std::unique_lock<std::mutex> lock(count->mutex);
  count->closed = true;
  count->finished.wait(lock, [&] { return !count->joined || count->done; });
  if (!ok) return false;
  if (!count->err.empty()) {
    *err = count->err;
    return false;
  }
  histogram.Merge(count->histogram);
  job->crunch = PickCrunchByte(histogram);
  job->counted = bytes + count->bytes;
  return true;
}

bool Pipeline::ReadFile(const char* name) {
  Job job;
  job.name = name;
  job.file.reset(new InputFile);
  std::string err;
  if (!job.file->Open(name, &err)) return PushFailure(name, ProcessingLine(name), err);
  if (job.file->size() <= InMemoryLimit) {
    bool fits = false;
    if (!ReadWhole(job.file.get(), &job, &fits)) return false;
    if (fits) {
      job.kind = Job::Memory;
      job.file.reset();
      return jobs_.Push(std::move(job));
    }
    // The file grew since it was opened: stream it like a large one.
    ReleaseBlocks(&job);
    if (!job.file->Rewind(&err)) return PushFailure(name, ProcessingLine(name), err);
  }
  if (!CountShared(&job, &err)) {
    return err.empty() ? false : PushFailure(name, ProcessingLine(name), err);
  }
  job.kind = Job::Stream;
  return jobs_.Push(std::move(job));
}

// --- Coding (the coder thread) ---

void Pipeline::HelpCount(SharedCount* count, uint8_t* buffer) {
  {
    std::lock_guard<std::mutex> lock(count->mutex);
    if (count->closed) return;
    count->joined = true;
  }
  ByteHistogram histogram;
  uint64_t bytes = 0;
  std::string err;
  bool ok = CountBlocks(count, buffer, &histogram, &bytes, &err);
  {
    std::lock_guard<std::mutex> lock(count->mutex);
    count->histogram = histogram;
    count->bytes = bytes;
    if (!ok) count->err = err;
    count->done = true;
  }
  count->finished.notify_all();
}

bool Pipeline::Ship(Chunk chunk) { return chunks_.Push(std::move(chunk)); }

// Makes sure the current output buffer has `need` bytes free, passing a full
// one on to the writer with the text that precedes it.
bool Pipeline::Room(size_t need) {
  if (out_ != nullptr && OutBufferSize - used_ >= need) return true;
  if (out_ != nullptr) {
    Chunk chunk;
    chunk.text = std::move(text_);
    text_.clear();
    chunk.buffer = out_;
    chunk.size = used_;
    out_ = nullptr;
    if (!Ship(std::move(chunk))) return false;
  }
  used_ = 0;
  return free_out_.Pop(&out_);
}

bool Pipeline::CodeBytes(RunEncoder* encoder, const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size; at += CodePiece) {
    size_t n = size - at < CodePiece ? size - at : CodePiece;
    if (!Room(RunEncoder::MaxEncodedSize(n))) return false;
    used_ += encoder->Encode(data + at, n, out_ + used_);
  }
  return true;
}

bool Pipeline::CodeMemory(Job* job) {
  RunEncoder encoder(job->crunch);
  for (auto& block : job->blocks) {
    if (!CodeBytes(&encoder, block.first, block.second)) return false;
  }
  ReleaseBlocks(job);
  if (!Room(RunEncoder::MaxFinishSize)) return false;
  used_ += encoder.Finish(out_ + used_);
  return true;
}

bool Pipeline::CodeStream(Job* job, uint8_t* scratch) {
  RunEncoder encoder(job->crunch);
  std::string err;
  if (!job->file->Rewind(&err)) {
    job->err = err;
    return CodeFailure(job);
  }
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!job->file->Read(scratch, ReadBlock, &got, &err)) {
      job->err = err;
      return CodeFailure(job);
    }
    if (got == 0) break;
    total += got;
    if (!CodeBytes(&encoder, scratch, got)) return false;
  }
  if (total != job->counted) {
    job->err = Quoted(job->name) + " changed while it was being packed";
    return CodeFailure(job);
  }
  job->file.reset();
  if (!Room(RunEncoder::MaxFinishSize)) return false;
  used_ += encoder.Finish(out_ + used_);
  return true;
}

// Passes the text and bytes so far and the failure of `job` to the writer.
bool Pipeline::CodeFailure(Job* job) {
  Chunk chunk;
  chunk.text = std::move(text_);
  chunk.text += job->text;
  text_.clear();
  chunk.buffer = out_;
  chunk.size = used_;
  out_ = nullptr;
  chunk.failed = true;
  chunk.err = job->err;
  Ship(std::move(chunk));
  return false;
}

void Pipeline::Code() {
  std::unique_ptr<uint8_t[]> scratch;
  for (;;) {
    Job job;
    if (!jobs_.Pop(&job)) return;
    if (job.kind == Job::Failure) {
      CodeFailure(&job);
      return;
    }
    if (job.kind == Job::Help) {
      if (!scratch) scratch.reset(new uint8_t[ReadBlock]);
      HelpCount(job.count.get(), scratch.get());
      continue;
    }
    if (job.kind == Job::End) {
      Chunk chunk;
      chunk.text = std::move(text_);
      chunk.buffer = out_;
      chunk.size = used_;
      chunk.last = true;
      out_ = nullptr;
      Ship(std::move(chunk));
      return;
    }
    if (!Room(MaxRecordHeadSize)) return;
    text_ += ProcessingLine(job.name);
    text_ += "  CrunchByte: " + std::to_string(static_cast<unsigned>(job.crunch)) + "\n";
    text_ += "  Compressing...\n";
    used_ += PutRecordHead(job.name.c_str(), job.name.size(), job.crunch, out_ + used_);
    if (job.kind == Job::Memory) {
      if (!CodeMemory(&job)) return;
    } else {
      if (!scratch) scratch.reset(new uint8_t[ReadBlock]);
      job.text.clear();
      if (!CodeStream(&job, scratch.get())) return;
    }
  }
}

// --- Writing (the writer thread) ---

void Pipeline::Write(TempOutput* output, std::FILE* progress) {
  for (;;) {
    Chunk chunk;
    if (!chunks_.Pop(&chunk)) return;
    if (!chunk.text.empty() && progress != nullptr) std::fputs(chunk.text.c_str(), progress);
    if (chunk.buffer != nullptr) {
      std::string err;
      bool written = output->Write(chunk.buffer, chunk.size, &err);
      free_out_.Push(chunk.buffer);
      if (!written) return Fail(err);
    }
    if (chunk.failed) return Fail(chunk.err);
    if (chunk.last) return;
  }
}

// Runs `body`, turning an exception (only running out of memory is
// expected) into a failure of the pipeline.
template <class Body>
void Guarded(Pipeline* pipeline, Body body) {
  try {
    body();
  } catch (const std::bad_alloc&) {
    pipeline->Fail("out of memory");
  } catch (const std::exception& e) {
    pipeline->Fail(e.what());
  }
}

}  // namespace

bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress, PackObserver*,
                 std::string* err) {
  try {
    Pipeline pipeline;
    std::thread writer([&] { Guarded(&pipeline, [&] { pipeline.Write(output, progress); }); });
    std::thread coder;
    try {
      coder = std::thread([&] { Guarded(&pipeline, [&] { pipeline.Code(); }); });
    } catch (const std::system_error& e) {
      pipeline.Fail(std::string("cannot start a thread: ") + e.what());
    }
    Guarded(&pipeline, [&] { pipeline.Read(list); });
    if (coder.joinable()) coder.join();
    writer.join();
    return pipeline.Result(err);
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
  } catch (const std::system_error& e) {
    *err = std::string("cannot start a thread: ") + e.what();
  }
  return false;
}

#else  // !TUVOLINK_PACK_THREADS

#include <new>
#include <string>

#include "platform.h"
#include "record.h"
#include "target_writer.h"

namespace {

bool PackOne(const char* name, TargetWriter* target, std::FILE* progress, std::string* err) {
  if (progress != nullptr) std::fprintf(progress, "Processing %s...\n", Printed(name).c_str());
  InputFile file;
  if (!file.Open(name, err)) return false;
  const std::string& file_name = file.name();
  uint8_t crunch = 0;
  uint64_t counted = 0, coded = 0;
  if (!CalcCrunchByte(&file, &crunch, &counted, err)) return false;
  if (progress != nullptr) {
    std::fprintf(progress, "  CrunchByte: %u\n", static_cast<unsigned>(crunch));
    std::fprintf(progress, "  Compressing...\n");
  }
  if (!file.Rewind(err) || !Compress(target, &file, crunch, &coded, err)) return false;
  if (coded != counted) {
    *err = Quoted(file_name) + " changed while it was being packed";
    return false;
  }
  return true;
}

}  // namespace

bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress, PackObserver*,
                 std::string* err) {
  try {
    TargetWriter target(output);
    for (const LinkNode* node = list; node != nullptr; node = node->Next) {
      if (!PackOne(node->Name, &target, progress, err)) return false;
    }
    return target.Flush(err);
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
  }
  return false;
}

#endif  // TUVOLINK_PACK_THREADS
