// The run coder's reading half: decodes, or only scans, one record's coded
// data up to its end marker, fed in blocks of any size.
#ifndef TUVOLINK_FORMAT_RUN_DECODER_H_
#define TUVOLINK_FORMAT_RUN_DECODER_H_

#include <cstddef>
#include <cstdint>

class RunDecoder {
 public:
  enum Status {
    NeedInput,   // all input consumed, the end marker not yet seen
    OutputFull,  // call again with more output room
    EndMarker,   // the end marker was consumed; the data is complete
  };

  explicit RunDecoder(uint8_t crunch) : crunch_(crunch) {}

  // Decodes from in[0, in_size) into out[0, out_size). *consumed and
  // *produced receive the bytes used from each. out_size must be at least
  // MaxRun, so that any run code fits.
  Status Decode(const uint8_t* in, size_t in_size, size_t* consumed, uint8_t* out, size_t out_size,
                size_t* produced);
  // Walks the items of in[0, in_size) as Decode does, without producing
  // output: *consumed receives the bytes used and *decoded grows by the bytes
  // they stand for. Returns NeedInput or EndMarker; far faster than Decode.
  Status Scan(const uint8_t* in, size_t in_size, size_t* consumed, uint64_t* decoded);
  // True between items, false inside a run code.
  bool at_item_start() const { return state_ == Item; }

 private:
  enum State { Item, Count, Value };
  uint8_t crunch_;
  State state_ = Item;
  uint8_t count_ = 0;
};

#endif  // TUVOLINK_FORMAT_RUN_DECODER_H_
