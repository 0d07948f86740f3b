// Micro benchmarks of the coding kernels on data in memory, one thread: crunch
// byte selection, record encoding and decoding, in MB/s of input (decoded)
// bytes. The data is the corpus folder named by TUVOLINK_BENCH_CORPUS (every
// regular file in it, each coded as one record), or else a generated mix.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
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

void AddCorpusFolder(const std::string& dir, std::vector<Input>* inputs) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* entry = readdir(d)) {
    std::string path = dir + "/" + entry->d_name;
    struct stat st;
    if (entry->d_name[0] == '.' || stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      AddCorpusFolder(path, inputs);
    } else if (S_ISREG(st.st_mode)) {
      inputs->emplace_back(path, ReadAll(path));
    }
  }
  closedir(d);
}

// About 48 MB: programs, text, random bytes, zeros and short runs.
void AddGenerated(std::vector<Input>* inputs) {
  for (const char* path : {"/proc/self/exe", "/bin/bash", "/usr/bin/cmake", "/usr/bin/g++"}) {
    Bytes data = ReadAll(path);
    if (!data.empty()) inputs->emplace_back(path, data);
  }
  std::mt19937_64 rng(42);
  Bytes random(16 << 20);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  inputs->emplace_back("random", random);
  inputs->emplace_back("zeros", Bytes(8 << 20, 0));
  Bytes text;
  const char* words[] = {"the ", "packer ", "reads ", "every ", "file ", "twice ", "\n", "  "};
  while (text.size() < (8u << 20)) {
    const char* w = words[rng() % 8];
    text.insert(text.end(), w, w + std::char_traits<char>::length(w));
  }
  inputs->emplace_back("text", text);
  Bytes runs;
  while (runs.size() < (8u << 20))
    runs.insert(runs.end(), 1 + rng() % 12, static_cast<uint8_t>(rng() % 3));
  inputs->emplace_back("short runs", runs);
}

const std::vector<Input>& Corpus() {
  static std::vector<Input>* inputs = [] {
    auto* list = new std::vector<Input>;
    const char* dir = std::getenv("TUVOLINK_BENCH_CORPUS");
    if (dir != nullptr && *dir != 0) AddCorpusFolder(dir, list);
    if (list->empty()) AddGenerated(list);
    for (Input& input : *list) {
      input.crunch = reference::CrunchByte(input.data.data(), input.data.size());
      input.coded = reference::Encode(input.data, input.crunch);
    }
    return list;
  }();
  return *inputs;
}

int64_t CorpusBytes() {
  int64_t total = 0;
  for (const Input& input : Corpus()) total += static_cast<int64_t>(input.data.size());
  return total;
}

void BM_CrunchByte(benchmark::State& state) {
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
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
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_CrunchByte)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Encode(benchmark::State& state) {
  Bytes out(RunEncoder::MaxEncodedSize(Piece) + RunEncoder::MaxFinishSize);
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
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
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond)->UseRealTime();

// The kernel alone with each instruction set; the short tails are left out.
void BM_EncodeKernel(benchmark::State& state) {
  const KernelSet* kernels = KernelsFor(static_cast<Isa>(state.range(0)));
  Bytes out(RunEncoder::MaxEncodedSize(Piece));
  size_t consumed = 0, written = 0;
  if (kernels == nullptr) {
    state.SkipWithError("instruction set not available");
    return;
  }
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
      for (size_t at = 0; at < input.data.size(); at += Piece) {
        size_t n = input.data.size() - at < Piece ? input.data.size() - at : Piece;
        written =
            kernels->encode_items(input.data.data() + at, n, input.crunch, out.data(), &consumed);
        benchmark::DoNotOptimize(written);
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
  state.SetLabel(IsaName(kernels->isa));
}
BENCHMARK(BM_EncodeKernel)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Decode(benchmark::State& state) {
  Bytes out(Block);
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
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
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->UseRealTime();

// The check pass of the stub: items walked for the end marker and the
// decoded size, nothing written.
void BM_Scan(benchmark::State& state) {
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
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
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond)->UseRealTime();

// The per-byte model, for scale.
void BM_EncodeReference(benchmark::State& state) {
  for (auto _ : state) {
    for (const Input& input : Corpus()) {
      size_t coded = 0;
      reference::Encoder::Code(input.data.data(), input.data.size(), input.crunch,
                               [&coded](uint8_t) { ++coded; });
      benchmark::DoNotOptimize(coded);
    }
  }
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_EncodeReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Corpus();  // read and code the data before any timing
  std::fprintf(stderr, "corpus: %zu inputs, %lld bytes\n", Corpus().size(),
               static_cast<long long>(CorpusBytes()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
