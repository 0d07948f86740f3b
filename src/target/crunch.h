// Crunch byte selection: each file's escape byte is the value that occurs
// least often in it, the lowest such value on a tie.
#ifndef TUVOLINK_TARGET_CRUNCH_H_
#define TUVOLINK_TARGET_CRUNCH_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Occurrences of each byte value. 64-bit counters, so that files of any size
// are counted exactly.
struct ByteHistogram {
  uint64_t count[256] = {};

  // Adds the bytes of data[0, size) to the counts.
  void Add(const uint8_t* data, size_t size);
  // Adds another histogram's counts to these.
  void Merge(const ByteHistogram& other);
};

// Returns the least frequent value of the histogram; among equal counts the
// lowest value wins, so an empty histogram gives 0.
uint8_t PickCrunchByte(const ByteHistogram& histogram);

class InputFile;

// Reads `file` from its current position to its end and stores its crunch
// byte in *crunch and the number of bytes read in *size. Returns false and
// sets *err (naming the file and the reason) when it cannot be read.
bool CalcCrunchByte(InputFile* file, uint8_t* crunch, uint64_t* size, std::string* err);

// The same for the file `name`, which it opens and closes.
bool CalcCrunchByte(const char* name, uint8_t* crunch, std::string* err);

#endif  // TUVOLINK_TARGET_CRUNCH_H_
