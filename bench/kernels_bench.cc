// Micro benchmarks of the coding kernels on data in memory, one thread: crunch
// byte selection, record encoding and decoding, in bytes of input (decoded)
// per second of processor time, which a busy machine disturbs less than the
// elapsed time. Each runs on every class of data apart (the argument):
// programs from the machine (/usr/bin, /usr/lib), text (/usr/include),
// random bytes and zeros; TUVOLINK_BENCH_CORPUS names a folder to use as a
// class of its own.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/histogram.h"
#include "format/kernels.h"
#include "format/run_decoder.h"
#include "format/run_encoder.h"
#include "reference_coder.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Input {
  Input(std::string name_in, Bytes data_in) : name(std::move(name_in)), data(std::move(data_in)) {}
  std::string name;
  Bytes data;
  uint8_t crunch = 0;
  Bytes coded;  // the record's coded data with the end marker
};

constexpr size_t Block = size_t{1} << 20;    // as the packer reads
constexpr size_t Piece = size_t{256} << 10;  // as the packer codes

Bytes ReadAll(const std::string& path) {
  Bytes data;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    data.insert(data.end(), buffer, buffer + got);
  std::fclose(f);
  return data;
}

// Regular files under `dir` (recursively, in name order, links not followed)
// whose first bytes match `magic`, until `limit` bytes are held.
void AddFiles(const std::string& dir, const char* magic, size_t limit, std::vector<Input>* inputs,
              size_t* held) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (*held >= limit) return;
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      AddFiles(path, magic, limit, inputs, held);
    } else if (S_ISREG(st.st_mode) && st.st_size > 0) {
      Bytes data = ReadAll(path);
      size_t m = std::char_traits<char>::length(magic);
      if (data.size() < m || std::memcmp(data.data(), magic, m) != 0) continue;
      *held += data.size();
      inputs->emplace_back(path, std::move(data));
    }
  }
}

enum Class { Programs, Text, Random, Zeros, Folder, Classes };
const char* const ClassNames[] = {"programs", "text", "random", "zeros", "folder"};
constexpr size_t ClassBytes = size_t{48} << 20;

std::vector<Input> Gather(Class c) {
  std::vector<Input> inputs;
  size_t held = 0;
  std::mt19937_64 rng(42);
  switch (c) {
    case Programs:
      for (const char* dir : {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"})
        AddFiles(dir,
                 "\x7f"
                 "ELF",
                 ClassBytes, &inputs, &held);
      break;
    case Text:
      AddFiles("/usr/include", "", ClassBytes, &inputs, &held);
      break;
    case Random: {
      Bytes random(ClassBytes);
      for (auto& b : random) b = static_cast<uint8_t>(rng());
      inputs.emplace_back("random", std::move(random));
      break;
    }
    case Zeros:
      inputs.emplace_back("zeros", Bytes(ClassBytes, 0));
      break;
    default: {
      const char* dir = std::getenv("TUVOLINK_BENCH_CORPUS");
      if (dir != nullptr && *dir != 0) AddFiles(dir, "", SIZE_MAX, &inputs, &held);
    }
  }
  for (Input& input : inputs) {
    input.crunch = reference::CrunchByte(input.data.data(), input.data.size());
    input.coded = reference::Encode(input.data, input.crunch);
  }
  return inputs;
}

// The inputs of each class, gathered before any timing.
std::vector<Input> corpus[Classes];

const std::vector<Input>& Corpus(int64_t c) { return corpus[c]; }

int64_t CorpusBytes(int64_t c) {
  int64_t total = 0;
  for (const Input& input : Corpus(c)) total += static_cast<int64_t>(input.data.size());
  return total;
}

// Skips a class that has no data and labels the others.
bool Start(benchmark::State& state) {
  if (Corpus(state.range(0)).empty()) {
    state.SkipWithError("no data of this class");
    return false;
  }
  state.SetLabel(ClassNames[state.range(0)]);
  return true;
}

void Finish(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * CorpusBytes(state.range(0)));
}

void EachClass(benchmark::internal::Benchmark* b) {
  for (int c = 0; c < Classes; ++c) b->Arg(c);
  b->Unit(benchmark::kMillisecond);
}

// Each class with each instruction set (the second argument).
void EachClassAndIsa(benchmark::internal::Benchmark* b) {
  for (int c = 0; c < Classes; ++c) {
    for (int isa = 0; isa < IsaCount; ++isa) b->Args({c, isa});
  }
  b->Unit(benchmark::kMillisecond);
}

// The kernels of the instruction set of the second argument, or null after
// skipping a class without data or an instruction set not available here.
const KernelSet* StartWithIsa(benchmark::State& state) {
  if (!Start(state)) return nullptr;
  const KernelSet* kernels = KernelsFor(static_cast<Isa>(state.range(1)));
  if (kernels == nullptr) {
    state.SkipWithError("instruction set not available");
    return nullptr;
  }
  state.SetLabel(std::string(ClassNames[state.range(0)]) + " " + IsaName(kernels->isa));
  return kernels;
}

void BM_CrunchByte(benchmark::State& state) {
  if (!Start(state)) return;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      ByteHistogram histogram;
      for (size_t at = 0; at < input.data.size(); at += Block) {
        size_t n = input.data.size() - at < Block ? input.data.size() - at : Block;
        histogram.Add(input.data.data() + at, n);
      }
      uint8_t crunch = PickCrunchByte(histogram);
      if (crunch != input.crunch) state.SkipWithError("wrong crunch byte");
      benchmark::DoNotOptimize(crunch);
    }
  }
  Finish(state);
}
BENCHMARK(BM_CrunchByte)->Apply(EachClass);

// The count of a small file: each 4 KiB a histogram of its own, so that
// what a call costs beyond its bytes shows.
void BM_CrunchByteSmall(benchmark::State& state) {
  if (!Start(state)) return;
  constexpr size_t Small = 4096;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      for (size_t at = 0; at < input.data.size(); at += Small) {
        ByteHistogram histogram;
        histogram.Add(input.data.data() + at, std::min(Small, input.data.size() - at));
        benchmark::DoNotOptimize(PickCrunchByte(histogram));
      }
    }
  }
  Finish(state);
}
BENCHMARK(BM_CrunchByteSmall)->Apply(EachClass);

// The count with each instruction set, on the packer's pieces.
void BM_CountKernel(benchmark::State& state) {
  const KernelSet* kernels = StartWithIsa(state);
  if (kernels == nullptr) return;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      uint64_t count[256] = {};
      for (size_t at = 0; at < input.data.size(); at += Piece) {
        size_t n = std::min(Piece, input.data.size() - at);
        kernels->count_bytes(count, input.data.data() + at, n);
      }
      unsigned crunch = 0;
      for (unsigned v = 1; v < 256; ++v) crunch = count[v] < count[crunch] ? v : crunch;
      if (crunch != input.crunch) state.SkipWithError("wrong crunch byte");
    }
  }
  Finish(state);
}
BENCHMARK(BM_CountKernel)->Apply(EachClassAndIsa);

void BM_Encode(benchmark::State& state) {
  if (!Start(state)) return;
  Bytes out(RunEncoder::MaxEncodedSize(Piece) + RunEncoder::MaxFinishSize);
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      RunEncoder encoder(input.crunch);
      size_t coded = 0;
      for (size_t at = 0; at < input.data.size(); at += Piece) {
        size_t n = input.data.size() - at < Piece ? input.data.size() - at : Piece;
        coded += encoder.Encode(input.data.data() + at, n, out.data());
      }
      coded += encoder.Finish(out.data());
      if (coded != input.coded.size()) state.SkipWithError("wrong coded size");
      benchmark::DoNotOptimize(out.data());
    }
  }
  Finish(state);
}
BENCHMARK(BM_Encode)->Apply(EachClass);

// The kernel alone with each instruction set; the short tails are left out.
void BM_EncodeKernel(benchmark::State& state) {
  const KernelSet* kernels = StartWithIsa(state);
  if (kernels == nullptr) return;
  Bytes out(RunEncoder::MaxEncodedSize(Piece));
  size_t consumed = 0, written = 0;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      for (size_t at = 0; at < input.data.size(); at += Piece) {
        size_t n = input.data.size() - at < Piece ? input.data.size() - at : Piece;
        written =
            kernels->encode_items(input.data.data() + at, n, input.crunch, out.data(), &consumed);
        benchmark::DoNotOptimize(written);
      }
    }
  }
  Finish(state);
}
BENCHMARK(BM_EncodeKernel)->Apply(EachClassAndIsa);

void BM_Decode(benchmark::State& state) {
  if (!Start(state)) return;
  Bytes out(Block);
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      RunDecoder decoder(input.crunch);
      size_t at = 0;
      uint64_t decoded = 0;
      for (;;) {
        size_t consumed = 0, produced = 0;
        RunDecoder::Status status = decoder.Decode(input.coded.data() + at, input.coded.size() - at,
                                                   &consumed, out.data(), out.size(), &produced);
        at += consumed;
        decoded += produced;
        benchmark::DoNotOptimize(out.data());
        if (status != RunDecoder::OutputFull) break;
      }
      if (decoded != input.data.size()) state.SkipWithError("wrong decoded size");
    }
  }
  Finish(state);
}
BENCHMARK(BM_Decode)->Apply(EachClass);

// The check pass of the stub: items walked for the end marker and the
// decoded size, nothing written.
void BM_Scan(benchmark::State& state) {
  if (!Start(state)) return;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      RunDecoder decoder(input.crunch);
      size_t consumed = 0;
      uint64_t decoded = 0;
      RunDecoder::Status status =
          decoder.Scan(input.coded.data(), input.coded.size(), &consumed, &decoded);
      if (status != RunDecoder::EndMarker || decoded != input.data.size()) {
        state.SkipWithError("wrong scan");
      }
    }
  }
  Finish(state);
}
BENCHMARK(BM_Scan)->Apply(EachClass);

// The per-byte model, for scale.
void BM_EncodeReference(benchmark::State& state) {
  if (!Start(state)) return;
  for (auto _ : state) {
    for (const Input& input : Corpus(state.range(0))) {
      size_t coded = 0;
      reference::Encoder::Code(input.data.data(), input.data.size(), input.crunch,
                               [&coded](uint8_t) { ++coded; });
      benchmark::DoNotOptimize(coded);
    }
  }
  Finish(state);
}
BENCHMARK(BM_EncodeReference)->Apply(EachClass);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int c = 0; c < Classes; ++c) {
    corpus[c] = Gather(static_cast<Class>(c));
    std::fprintf(stderr, "%s: %zu inputs, %lld bytes\n", ClassNames[c], corpus[c].size(),
                 static_cast<long long>(CorpusBytes(c)));
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
