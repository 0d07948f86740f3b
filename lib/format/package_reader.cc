// Walking and decoding the records of a package, with a bound check before
// every read: a package is untrusted input.
#include "format/package_reader.h"

#include <cstdlib>
#include <cstring>

#include "format/printable.h"
#include "format/run_decoder.h"

namespace {

constexpr size_t WindowSize = size_t{1} << 20;
constexpr size_t OutSize = size_t{1} << 20;

unsigned long long ULL(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

PackageReader::~PackageReader() {
  StopReadingAhead();
  std::free(ahead_);
  std::free(window_);
  std::free(out_);
}

bool PackageReader::Open(PackageSource* source, uint64_t end, ErrorLine* err) {
  StopReadingAhead();
  source_ = source;
  window_size_ = 0;
  if (end < TrailerSize) {
    err->Set("too small to hold a package trailer (%llu bytes)", ULL(end));
    return false;
  }
  uint8_t trailer[TrailerSize];
  if (!source->ReadAt(end - TrailerSize, trailer, TrailerSize)) {
    err->Set("cannot read the package trailer");
    return false;
  }
  limit_ = end - TrailerSize;
  uint32_t start = 0;
  const bool terminated = ParseTrailer(trailer, &start);
  start_ = start;
  if (!terminated) {
    err->Set("no list terminator at offset %llu", ULL(limit_));
    return false;
  }
  if (start_ > limit_) {
    err->Set("start offset %llu lies outside the records (the terminator is at %llu)", ULL(start_),
             ULL(limit_));
    return false;
  }
  // Buffers only as large as the records: a small package (a stub's start
  // with a script) costs no large allocations. A second window to read
  // ahead into is needed only beyond one window.
  const uint64_t records = limit_ - start_;
  const size_t want = records < WindowSize ? static_cast<size_t>(records) + 1 : WindowSize;
  if (window_capacity_ < want) {
    std::free(window_);
    window_ = static_cast<uint8_t*>(std::malloc(want));
    window_capacity_ = window_ != nullptr ? want : 0;
  }
  if (records > WindowSize && ahead_ == nullptr) {
    ahead_ = static_cast<uint8_t*>(std::malloc(WindowSize));
  }
  if (window_ == nullptr || (records > WindowSize && ahead_ == nullptr)) {
    err->Set("out of memory");
    return false;
  }
  pos_ = start_;
  return true;
}

bool PackageReader::Fill(ErrorLine* err, bool* failed) {
  *failed = false;
  if (pos_ >= limit_) return false;
  if (pos_ >= window_start_ && pos_ < window_start_ + window_size_) return true;
  uint64_t left = limit_ - pos_;
  size_t size = left < WindowSize ? static_cast<size_t>(left) : WindowSize;
  // Reading on goes on in the background while this window is used.
  if (ahead_size_ > 0 && pos_ == window_start_ + window_size_ && size == ahead_size_) {
    uint8_t* next = ahead_;
    ahead_ = window_;
    window_ = next;
  } else if (ahead_size_ > 0) {
    source_->Settle();
  }
  ahead_size_ = 0;
  if (!source_->ReadAt(pos_, window_, size)) {
    err->Set("cannot read the package at offset %llu", ULL(pos_));
    window_size_ = 0;
    *failed = true;
    return false;
  }
  window_start_ = pos_;
  window_size_ = size;
  uint64_t after = left - size;
  if (after > 0) {
    ahead_size_ = after < WindowSize ? static_cast<size_t>(after) : WindowSize;
    source_->ReadAhead(pos_ + size, ahead_, ahead_size_);
  }
  return true;
}

bool PackageReader::ReadHead(RecordInfo* info, ErrorLine* err) {
  // The head is copied out of the windows, since it may straddle two.
  uint8_t head[MaxRecordHeadSize];
  size_t got = 0;
  bool failed = false;
  while (Fill(err, &failed)) {
    size_t in_window = static_cast<size_t>(window_start_ + window_size_ - pos_);
    size_t take = in_window < sizeof head - got ? in_window : sizeof head - got;
    std::memcpy(head + got, window_ + (pos_ - window_start_), take);
    got += take;
    pos_ += take;
    size_t length = 0, used = 0;
    switch (ParseRecordHead(head, got, info->name, &length, &info->crunch, &used)) {
      case HeadStatus::Ok:
        pos_ = info->offset + used;
        return true;
      case HeadStatus::TooLong:
        err->Set("the name at offset %llu is longer than %u bytes", ULL(info->offset),
                 static_cast<unsigned>(MaxName - 1));
        return false;
      case HeadStatus::Empty:  // Next looks for the terminator first
      case HeadStatus::Truncated:
        break;
    }
  }
  if (failed) return false;
  // The trailer came first.
  const void* zero = std::memchr(head, 0, got);
  if (zero == nullptr) {
    err->Set("the name at offset %llu runs into the trailer without its 0 byte", ULL(info->offset));
  } else {
    err->Set("record '%s' at offset %llu ends before its crunch byte",
             Shown(reinterpret_cast<const char*>(head)).text, ULL(info->offset));
  }
  return false;
}

bool PackageReader::DecodeData(RecordInfo* info, DecodeSink* sink, ErrorLine* err) {
  RunDecoder decoder(info->crunch);
  bool failed = false;
  for (;;) {
    if (!Fill(err, &failed)) {
      if (failed) return false;
      if (decoder.at_item_start()) {
        err->Set("the data of '%s' runs into the trailer without an end marker",
                 Shown(info->name).text);
      } else {
        err->Set("the data of '%s' ends in a run code cut short by the trailer",
                 Shown(info->name).text);
      }
      return false;
    }
    size_t offset = static_cast<size_t>(pos_ - window_start_);
    size_t consumed = 0, produced = 0;
    if (sink == nullptr) {
      RunDecoder::Status status =
          decoder.Scan(window_ + offset, window_size_ - offset, &consumed, &info->decoded_size);
      pos_ += consumed;
      if (status == RunDecoder::EndMarker) return true;
      continue;
    }
    size_t room = 0;
    uint8_t* out = sink->Room(&room);
    if (out == nullptr || room < MaxRun) {
      if (out_ == nullptr) out_ = static_cast<uint8_t*>(std::malloc(OutSize));
      if (out_ == nullptr) {
        err->Set("out of memory");
        return false;
      }
      out = out_;
      room = OutSize;
    }
    RunDecoder::Status status =
        decoder.Decode(window_ + offset, window_size_ - offset, &consumed, out, room, &produced);
    pos_ += consumed;
    info->decoded_size += produced;
    if (produced > 0 && !sink->Put(out, produced)) {
      err->Set("cannot write '%s'", Shown(info->name).text);
      return false;
    }
    if (status == RunDecoder::EndMarker) return true;
  }
}

void PackageReader::StopReadingAhead() {
  if (ahead_size_ > 0) source_->Settle();
  ahead_size_ = 0;
}

PackageReader::Status PackageReader::Next(RecordInfo* info, DecodeSink* sink, ErrorLine* err) {
  *info = RecordInfo();
  info->offset = pos_;
  Status status = Step(info, sink, err);
  // A reader that has come to its end owes its source nothing: no read is
  // left running into its buffers, whatever the caller does with the source
  // next.
  if (status != Record) StopReadingAhead();
  return status;
}

PackageReader::Status PackageReader::Step(RecordInfo* info, DecodeSink* sink, ErrorLine* err) {
  if (pos_ == limit_) return End;
  bool failed = false;
  if (!Fill(err, &failed)) return Error;
  if (window_[pos_ - window_start_] == ListTerminator) {
    err->Set("the records end at offset %llu, before the list terminator at %llu", ULL(pos_),
             ULL(limit_));
    return Error;
  }
  if (!ReadHead(info, err)) return Error;
  if (!DecodeData(info, sink, err)) return Error;
  return Record;
}
