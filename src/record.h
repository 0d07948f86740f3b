// One input's record, read from its file: counting its bytes for the crunch
// byte, then coding it. The serial way of packing, one file at a time.
#ifndef TUVOLINK_RECORD_H_
#define TUVOLINK_RECORD_H_

#include <cstdint>
#include <string>

class InputFile;
class TargetWriter;

// Reads `file` from its current position to its end and stores its crunch
// byte in *crunch and the number of bytes read in *size. Returns false and
// sets *err (naming the file and the reason) when it cannot be read.
bool CalcCrunchByte(InputFile* file, uint8_t* crunch, uint64_t* size, std::string* err);

// Appends the record of `file` (named as file->name(), which the input list
// has checked, read from its current position to its end), coded with
// `crunch`, to `target`. *size receives the number of input bytes coded.
// Returns false and sets *err, naming the file and the reason, when the
// input cannot be read or the target written.
bool Compress(TargetWriter* target, InputFile* file, uint8_t crunch, uint64_t* size,
              std::string* err);

#endif  // TUVOLINK_RECORD_H_
