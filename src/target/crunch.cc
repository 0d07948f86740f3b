// Histogram and least-frequent-byte choice behind each record's crunch byte.
#include "target/crunch.h"

#include <memory>

#include "platform.h"

void ByteHistogram::Add(const uint8_t* data, size_t size) {
  // Four tables, so that runs of one value do not make every increment wait
  // for the one before it to reach memory.
  uint32_t table[4][256] = {};
  while (size > 0) {
    // 32-bit counters cannot overflow within one chunk of this size.
    size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
    const uint8_t* p = data;
    const uint8_t* end = data + chunk;
    for (; end - p >= 4; p += 4) {
      ++table[0][p[0]];
      ++table[1][p[1]];
      ++table[2][p[2]];
      ++table[3][p[3]];
    }
    for (; p < end; ++p) ++table[0][*p];
    for (int v = 0; v < 256; ++v) {
      count[v] += uint64_t{table[0][v]} + table[1][v] + table[2][v] + table[3][v];
      table[0][v] = table[1][v] = table[2][v] = table[3][v] = 0;
    }
    data += chunk;
    size -= chunk;
  }
}

void ByteHistogram::Merge(const ByteHistogram& other) {
  for (int v = 0; v < 256; ++v) count[v] += other.count[v];
}

uint8_t PickCrunchByte(const ByteHistogram& histogram) {
  unsigned choice = 0;
  for (unsigned v = 1; v < 256; ++v) {
    if (histogram.count[v] < histogram.count[choice]) choice = v;
  }
  return static_cast<uint8_t>(choice);
}

bool CalcCrunchByte(InputFile* file, uint8_t* crunch, uint64_t* size, std::string* err) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[InputFile::BlockSize]);
  ByteHistogram histogram;
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!file->Read(buffer.get(), InputFile::BlockSize, &got, err)) return false;
    if (got == 0) break;
    histogram.Add(buffer.get(), got);
    total += got;
  }
  *crunch = PickCrunchByte(histogram);
  *size = total;
  return true;
}

bool CalcCrunchByte(const char* name, uint8_t* crunch, std::string* err) {
  InputFile file;
  uint64_t size = 0;
  return file.Open(name, err) && CalcCrunchByte(&file, crunch, &size, err);
}
