// Walking and decoding the records of a target file, with a bound check before
// every read: a package is untrusted input.
#include "target/reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "target/decode_kernel.h"

namespace {

constexpr size_t WindowSize = size_t{1} << 20;
constexpr size_t OutSize = size_t{1} << 20;

void SetError(ReadError* err, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(err->text, sizeof err->text, format, args);
  va_end(args);
}

unsigned long long ULL(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

void Printable(const char* name, char* out, size_t out_size) {
  size_t i = 0;
  for (; name[i] != 0 && i + 1 < out_size; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    out[i] = (c < 0x20 || c == 0x7F) ? '?' : name[i];
  }
  out[i] = 0;
}

RunDecoder::Status RunDecoder::Decode(const uint8_t* in, size_t in_size, size_t* consumed,
                                      uint8_t* out, size_t out_size, size_t* produced) {
  const uint8_t* p = in;
  const uint8_t* in_end = in + in_size;
  uint8_t* o = out;
  uint8_t* out_end = out + out_size;
  Status status = NeedInput;
  for (;;) {
    if (state_ == Item) {
      if (decode_kernel::DecodeItems(crunch_, &p, in_end, &o, out_end)) {
        status = EndMarker;
        break;
      }
      size_t in_left = static_cast<size_t>(in_end - p);
      size_t out_left = static_cast<size_t>(out_end - o);
      if (in_left == 0) break;
      if (out_left == 0) {
        status = OutputFull;
        break;
      }
      // A literal span runs up to the next crunch byte.
      size_t room = in_left < out_left ? in_left : out_left;
      const void* hit = std::memchr(p, crunch_, room);
      size_t span = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : room;
      std::memcpy(o, p, span);
      o += span;
      p += span;
      if (hit) {
        ++p;
        state_ = Count;
      }
    } else if (state_ == Count) {
      if (p == in_end) break;
      count_ = *p++;
      state_ = Value;
      if (count_ == 0) {
        state_ = Item;
        status = EndMarker;
        break;
      }
    } else {
      if (p == in_end) break;
      if (static_cast<size_t>(out_end - o) < count_) {
        status = OutputFull;
        break;
      }
      std::memset(o, *p++, count_);
      o += count_;
      state_ = Item;
    }
  }
  *consumed = static_cast<size_t>(p - in);
  *produced = static_cast<size_t>(o - out);
  return status;
}

RunDecoder::Status RunDecoder::Scan(const uint8_t* in, size_t in_size, size_t* consumed,
                                    uint64_t* decoded) {
  const uint8_t* p = in;
  const uint8_t* in_end = in + in_size;
  Status status = NeedInput;
  while (p != in_end) {
    if (state_ == Item) {
      if (decode_kernel::ScanItems(crunch_, &p, in_end, decoded)) {
        status = EndMarker;
        break;
      }
      size_t in_left = static_cast<size_t>(in_end - p);
      const void* hit = std::memchr(p, crunch_, in_left);
      size_t span = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : in_left;
      *decoded += span;
      p += span;
      if (hit) {
        ++p;
        state_ = Count;
      }
    } else if (state_ == Count) {
      count_ = *p++;
      state_ = Value;
      if (count_ == 0) {
        state_ = Item;
        status = EndMarker;
        break;
      }
    } else {
      ++p;
      *decoded += count_;
      state_ = Item;
    }
  }
  *consumed = static_cast<size_t>(p - in);
  return status;
}

PackageReader::~PackageReader() {
  if (ahead_size_ > 0) source_->Settle();
  std::free(ahead_);
  std::free(window_);
  std::free(out_);
}

bool PackageReader::Open(PackageSource* source, uint64_t end, ReadError* err) {
  if (ahead_size_ > 0) source_->Settle();
  ahead_size_ = 0;
  source_ = source;
  window_size_ = 0;
  if (end < TrailerSize) {
    SetError(err, "too small to hold a package trailer (%llu bytes)", ULL(end));
    return false;
  }
  uint8_t trailer[TrailerSize];
  if (!source->ReadAt(end - TrailerSize, trailer, TrailerSize)) {
    SetError(err, "cannot read the package trailer");
    return false;
  }
  limit_ = end - TrailerSize;
  start_ = GetU32LE(trailer + 1);
  if (trailer[0] != ListTerminator) {
    SetError(err, "no list terminator at offset %llu", ULL(limit_));
    return false;
  }
  if (start_ > limit_) {
    SetError(err, "start offset %llu lies outside the records (the terminator is at %llu)",
             ULL(start_), ULL(limit_));
    return false;
  }
  if (window_ == nullptr) window_ = static_cast<uint8_t*>(std::malloc(WindowSize));
  if (ahead_ == nullptr) ahead_ = static_cast<uint8_t*>(std::malloc(WindowSize));
  if (out_ == nullptr) out_ = static_cast<uint8_t*>(std::malloc(OutSize));
  if (window_ == nullptr || ahead_ == nullptr || out_ == nullptr) {
    SetError(err, "out of memory");
    return false;
  }
  pos_ = start_;
  return true;
}

bool PackageReader::Fill(ReadError* err, bool* failed) {
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
    SetError(err, "cannot read the package at offset %llu", ULL(pos_));
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

bool PackageReader::ReadName(RecordInfo* info, ReadError* err) {
  size_t length = 0;
  bool failed = false;
  for (;;) {
    if (!Fill(err, &failed)) {
      if (!failed) {
        SetError(err, "the name at offset %llu runs into the trailer without its 0 byte",
                 ULL(info->offset));
      }
      return false;
    }
    uint8_t byte = window_[pos_ - window_start_];
    ++pos_;
    if (byte == 0) break;
    if (length == MaxName - 1) {
      SetError(err, "the name at offset %llu is longer than %u bytes", ULL(info->offset),
               static_cast<unsigned>(MaxName - 1));
      return false;
    }
    info->name[length++] = static_cast<char>(byte);
  }
  info->name[length] = 0;
  if (!Fill(err, &failed)) {
    if (!failed) {
      char shown[MaxName];
      Printable(info->name, shown, sizeof shown);
      SetError(err, "record '%s' at offset %llu ends before its crunch byte", shown,
               ULL(info->offset));
    }
    return false;
  }
  info->crunch = window_[pos_ - window_start_];
  ++pos_;
  return true;
}

bool PackageReader::DecodeData(RecordInfo* info, DecodeSink* sink, ReadError* err) {
  RunDecoder decoder(info->crunch);
  bool failed = false;
  for (;;) {
    if (!Fill(err, &failed)) {
      if (failed) return false;
      char shown[MaxName];
      Printable(info->name, shown, sizeof shown);
      if (decoder.at_item_start()) {
        SetError(err, "the data of '%s' runs into the trailer without an end marker", shown);
      } else {
        SetError(err, "the data of '%s' ends in a run code cut short by the trailer", shown);
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
      out = out_;
      room = OutSize;
    }
    RunDecoder::Status status = decoder.Decode(window_ + offset, window_size_ - offset,
                                               &consumed, out, room, &produced);
    pos_ += consumed;
    info->decoded_size += produced;
    if (produced > 0 && !sink->Put(out, produced)) {
      char shown[MaxName];
      Printable(info->name, shown, sizeof shown);
      SetError(err, "cannot write '%s'", shown);
      return false;
    }
    if (status == RunDecoder::EndMarker) return true;
  }
}

PackageReader::Status PackageReader::Next(RecordInfo* info, DecodeSink* sink, ReadError* err) {
  *info = RecordInfo();
  info->offset = pos_;
  if (pos_ == limit_) return End;
  bool failed = false;
  if (!Fill(err, &failed)) return Error;
  if (window_[pos_ - window_start_] == ListTerminator) {
    SetError(err, "the records end at offset %llu, before the list terminator at %llu",
             ULL(pos_), ULL(limit_));
    return Error;
  }
  if (!ReadName(info, err)) return Error;
  if (!DecodeData(info, sink, err)) return Error;
  return Record;
}
