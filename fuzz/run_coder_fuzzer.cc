// Fuzz target: the run coder. Any content, coded in blocks of any sizes with
// its crunch byte or any other, must give the per-byte reference's bytes and
// decode back exactly, whole or in pieces, scanned or decoded; every
// instruction set's kernels must agree with the reference, also on coded
// data that no encoder made.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/histogram.h"
#include "format/kernels.h"
#include "format/run_decoder.h"
#include "format/run_encoder.h"
#include "fuzz_check.h"
#include "reference_coder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sizes of pieces for the i-th step, from 1 to `limit`.
size_t PieceSize(unsigned seed, size_t i, size_t limit) {
  uint64_t h = (seed + 1) * 0x9E3779B97F4A7C15ull ^ (i + 1) * 0xC2B2AE3D27D4EB4Full;
  return 1 + static_cast<size_t>((h >> 29) % limit);
}

// Decodes items from coded[at, size) one byte at a time; true on the end
// marker, with *at past it.
bool ModelDecode(const Bytes& coded, size_t* at, uint8_t crunch, Bytes* out) {
  size_t p = *at;
  for (;;) {
    if (p == coded.size()) break;
    if (coded[p] != crunch) {
      out->push_back(coded[p++]);
      continue;
    }
    if (p + 1 >= coded.size()) break;
    if (coded[p + 1] == 0) {
      *at = p + 2;
      return true;
    }
    if (p + 2 >= coded.size()) break;
    out->insert(out->end(), size_t{coded[p + 1]}, coded[p + 2]);
    p += 3;
  }
  *at = p;
  return false;
}

Bytes Encode(const Bytes& content, uint8_t crunch, unsigned seed) {
  RunEncoder encoder(crunch);
  Bytes coded;
  for (size_t at = 0, i = 0; at < content.size(); ++i) {
    size_t n = PieceSize(seed, i, seed * 16u + 1);
    if (n > content.size() - at) n = content.size() - at;
    Bytes out(RunEncoder::MaxEncodedSize(n));
    out.resize(encoder.Encode(content.data() + at, n, out.data()));
    coded.insert(coded.end(), out.begin(), out.end());
    at += n;
  }
  Bytes end(RunEncoder::MaxFinishSize);
  end.resize(encoder.Finish(end.data()));
  coded.insert(coded.end(), end.begin(), end.end());
  return coded;
}

// RunDecoder on `coded` fed in pieces, into output buffers of varying room.
void CheckDecoder(const Bytes& coded, uint8_t crunch, unsigned seed, const Bytes& content) {
  RunDecoder decoder(crunch), scanner(crunch);
  Bytes decoded;
  uint64_t scanned = 0;
  size_t at = 0, scan_at = 0, i = 0;
  bool ended = false, scan_ended = false;
  while (!ended && at < coded.size()) {
    size_t n = PieceSize(seed, i, 900);
    if (n > coded.size() - at) n = coded.size() - at;
    Bytes out(MaxRun + PieceSize(seed, i + 7, 700) - 1);
    size_t consumed = 0, produced = 0;
    RunDecoder::Status status =
        decoder.Decode(coded.data() + at, n, &consumed, out.data(), out.size(), &produced);
    FUZZ_CHECK(consumed <= n && produced <= out.size());
    decoded.insert(decoded.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced));
    at += consumed;
    ended = status == RunDecoder::EndMarker;
    FUZZ_CHECK(ended || status == RunDecoder::OutputFull || consumed == n);
    ++i;
  }
  while (!scan_ended && scan_at < coded.size()) {
    size_t n = PieceSize(seed, i++, 900);
    if (n > coded.size() - scan_at) n = coded.size() - scan_at;
    size_t consumed = 0;
    scan_ended =
        scanner.Scan(coded.data() + scan_at, n, &consumed, &scanned) == RunDecoder::EndMarker;
    FUZZ_CHECK(scan_ended || consumed == n);
    scan_at += consumed;
  }
  FUZZ_CHECK(ended && scan_ended && at == coded.size() && scan_at == coded.size());
  FUZZ_CHECK(decoded == content && scanned == content.size());
}

// One instruction set's kernels on the data as coded data: they decode or
// scan a prefix of whole items, and the model does the rest.
void CheckKernelDecode(const KernelSet& kernels, const Bytes& coded, uint8_t crunch, size_t slack) {
  size_t model_at = 0;
  Bytes expected;
  const bool model_end = ModelDecode(coded, &model_at, crunch, &expected);
  Bytes out(expected.size() + DecodeOutputReach + slack);
  const uint8_t* in = coded.data();
  const uint8_t* in_end = in + coded.size();
  uint8_t* o = out.data();
  bool end = kernels.decode_items(crunch, &in, in_end, &o, out.data() + out.size());
  FUZZ_CHECK(in >= coded.data() && in <= in_end && o >= out.data());
  size_t at = static_cast<size_t>(in - coded.data());
  Bytes decoded(out.data(), o);
  if (!end) end = ModelDecode(coded, &at, crunch, &decoded);
  FUZZ_CHECK(end == model_end && at == model_at && decoded == expected);

  const uint8_t* scan = coded.data();
  uint64_t scanned = 0;
  end = kernels.scan_items(crunch, &scan, in_end, &scanned);
  FUZZ_CHECK(scan >= coded.data() && scan <= in_end);
  at = static_cast<size_t>(scan - coded.data());
  Bytes rest;
  if (!end) end = ModelDecode(coded, &at, crunch, &rest);
  FUZZ_CHECK(end == model_end && at == model_at && scanned + rest.size() == expected.size());
}

// One instruction set's encoder kernel: its items, then the reference's
// coding of what it left, are the reference's coding of the whole.
void CheckKernelEncode(const KernelSet& kernels, const Bytes& content, uint8_t crunch,
                       const Bytes& expected) {
  Bytes out(3 * content.size());
  size_t consumed = 0;
  size_t written =
      kernels.encode_items(content.data(), content.size(), crunch, out.data(), &consumed);
  FUZZ_CHECK(consumed <= content.size() && written <= out.size());
  out.resize(written);
  Bytes rest = reference::Encode(content.data() + consumed, content.size() - consumed, crunch);
  out.insert(out.end(), rest.begin(), rest.end());
  FUZZ_CHECK(out == expected);

  uint64_t counts[256] = {};
  kernels.count_bytes(counts, content.data(), content.size());
  ByteHistogram histogram;
  histogram.Add(content.data(), content.size());
  for (unsigned v = 0; v < 256; ++v) FUZZ_CHECK(counts[v] == histogram.count[v]);
}

}  // namespace

// Input: a mode byte (bit 0: code with the next byte as the crunch byte
// rather than the content's own), that byte, a seed for the piece sizes,
// then the content.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Bytes content(data + 3, data + size);
  const unsigned seed = data[2];
  ByteHistogram histogram;
  histogram.Add(content.data(), content.size());
  const uint8_t own = PickCrunchByte(histogram);
  FUZZ_CHECK(own == reference::CrunchByte(content.data(), content.size()));
  const uint8_t crunch = (data[0] & 1) ? data[1] : own;

  const Bytes expected = reference::Encode(content, crunch);
  FUZZ_CHECK(Encode(content, crunch, seed) == expected);
  CheckDecoder(expected, crunch, seed, content);
  for (Isa isa : {Isa::Portable, Isa::Sse2, Isa::Avx2}) {
    const KernelSet* kernels = KernelsFor(isa);
    if (kernels == nullptr) continue;
    CheckKernelEncode(*kernels, content, crunch, expected);
    CheckKernelDecode(*kernels, expected, crunch, seed % 64);
    CheckKernelDecode(*kernels, content, data[1], seed % 64);  // bytes no encoder made
  }
  return 0;
}
