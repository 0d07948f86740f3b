// Both schedulers of the packer, fed through the input seam: the records must
// equal the per-byte model for every shape of input, and read failures and
// inputs that change between their two readings must be reported, in list
// order, with the same progress text from the serial and the threaded one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "pack_pipeline.h"
#include "pack_stages.h"
#include "platform.h"
#include "reference_coder.h"
#include "test_util.h"

namespace {

// A file in memory. Its reads fail once `fail_after` of its bytes have been
// read in all; after `switch_after` bytes, it reads as `changed` instead.
struct FakeFile {
  Bytes data;
  uint64_t fail_after = UINT64_MAX;
  uint64_t switch_after = UINT64_MAX;
  Bytes changed;
  std::mutex mutex;
  uint64_t read = 0;
};

class FakeInput : public PackInput {
 public:
  FakeInput(const std::string& name, FakeFile* file) : name_(name), file_(file) {}
  uint64_t size() const override { return file_->data.size(); }
  bool ReadSome(void* buffer, size_t size, size_t* got, std::string* err) override {
    // Short reads of at most 64 KiB, as a pipe-like file system might give.
    if (!ReadAt(position_, buffer, std::min<size_t>(size, 64 << 10), got, err)) return false;
    position_ += *got;
    return true;
  }
  bool ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got, std::string* err) override {
    std::lock_guard<std::mutex> lock(file_->mutex);
    if (file_->read >= file_->fail_after) {
      *err = "cannot read '" + name_ + "': Input/output error";
      return false;
    }
    const Bytes& now = file_->read >= file_->switch_after ? file_->changed : file_->data;
    *got = offset >= now.size() ? 0 : std::min<size_t>(size, now.size() - offset);
    std::copy_n(now.begin() + static_cast<std::ptrdiff_t>(offset), *got,
                static_cast<uint8_t*>(buffer));
    file_->read += *got;
    return true;
  }

 private:
  std::string name_;
  FakeFile* file_;
  uint64_t position_ = 0;
};

class FakeSource : public InputSource {
 public:
  std::map<std::string, FakeFile> files;
  bool Open(const char* name, std::unique_ptr<PackInput>* input, std::string* err) override {
    auto it = files.find(name);
    if (it == files.end()) {
      *err = std::string("cannot open '") + name + "': No such file or directory";
      return false;
    }
    input->reset(new FakeInput(name, &it->second));
    return true;
  }
};

struct Outcome {
  bool ok = false;
  std::string err, text;
  Bytes records;
};

// Sums what the observer is told, by input.
class Tally : public PackObserver {
 public:
  std::map<std::string, uint64_t> bytes;
  void Read(const std::string& name, uint64_t size, uint64_t more) override {
    EXPECT_EQ(size, sizes[name]) << name;
    bytes[name] += more;
  }
  std::map<std::string, uint64_t> sizes;
};

// Packs `names` in list order from `source` with `workers` workers, the
// progress text into Outcome::text unless `quiet`.
Outcome Pack(FakeSource* source, const std::vector<std::string>& names, unsigned workers,
             PackObserver* observer = nullptr, bool quiet = false) {
  std::vector<LinkNode> nodes(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    std::snprintf(nodes[i].Name, MaxName, "%s", names[i].c_str());
    nodes[i].Next = i + 1 < names.size() ? &nodes[i + 1] : nullptr;
  }
  TempDir dir;
  TempOutput output;
  Outcome outcome;
  std::FILE* progress = quiet ? nullptr : std::tmpfile();
  EXPECT_TRUE(output.Create(dir / "out", &outcome.err));
  PackOptions options;
  options.workers = workers;
  options.source = source;
  outcome.ok = PackRecordsWith(names.empty() ? nullptr : &nodes[0], &output, progress, observer,
                               options, &outcome.err);
  if (progress != nullptr) {
    std::rewind(progress);
    for (int c; (c = std::fgetc(progress)) != EOF;) outcome.text += static_cast<char>(c);
    std::fclose(progress);
  }
  std::string ignored;
  if (outcome.ok && output.Commit(&ignored)) outcome.records = ReadFile(dir / "out");
  return outcome;
}

// The records and progress text of the format rules.
Outcome Model(FakeSource* source, const std::vector<std::string>& names) {
  Outcome model;
  model.ok = true;
  for (const std::string& name : names) {
    const Bytes& data = source->files[name].data;
    uint8_t crunch = reference::CrunchByte(data.data(), data.size());
    model.text += "Processing " + name + "...\n  CrunchByte: " + std::to_string(crunch) +
                  "\n  Compressing...\n";
    model.records.insert(model.records.end(), name.begin(), name.end());
    model.records.push_back(0);
    model.records.push_back(crunch);
    Bytes coded = reference::Encode(data, crunch);
    model.records.insert(model.records.end(), coded.begin(), coded.end());
  }
  return model;
}

Bytes Random(size_t size, uint32_t seed, int values = 256) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<uint8_t>(rng() % static_cast<unsigned>(values));
  return data;
}

// A large file whose runs meet the piece boundaries in every way.
Bytes PieceEdges() {
  const size_t piece = PieceSize, at = HoldLimit;  // past the size held whole
  Bytes data = Random(at + 6 * piece + piece / 2, 5, 200);
  auto fill = [&](size_t from, size_t to, uint8_t value) {
    std::fill(data.begin() + static_cast<std::ptrdiff_t>(from),
              data.begin() + static_cast<std::ptrdiff_t>(to), value);
  };
  fill(at + 2 * piece - 100, at + 2 * piece + 300, 'A');  // across a boundary
  fill(at + 3 * piece - 5, at + 4 * piece + 7, 0);        // over a whole piece
  fill(at + 5 * piece - 600, at + 5 * piece, 'B');        // ending on a boundary
  fill(at + 5 * piece, at + 5 * piece + 2, 'C');          // and a short one after it
  fill(at + 6 * piece - 1000, data.size(), 201);          // over the whole last piece
  fill(piece - 1, piece + 2, 7);                          // three across the first
  return data;
}

class Schedulers : public ::testing::TestWithParam<unsigned> {};

TEST_P(Schedulers, RecordsEqualThePerByteModel) {
  FakeSource source;
  std::vector<std::string> names;
  auto add = [&](const std::string& name, Bytes data) {
    source.files[name].data = std::move(data);
    names.push_back(name);
  };
  add("empty", {});
  add("edges", PieceEdges());
  for (uint32_t i = 0; i < 300; ++i) add("small" + std::to_string(i), Random(i * 37 % 9000, i, 4));
  add("held", Random(HoldLimit, 9));                       // the largest held whole
  add("next", Random(HoldLimit + 1, 10, 3));               // the smallest in pieces
  add("zeros", Bytes(HoldLimit + 3 * PieceSize + 17, 0));  // one run, all pieces
  add("crunch", Bytes(HoldLimit + 5 * PieceSize + 3, 0));  // runs of the crunch byte
  source.files["crunch"].data[77] = 1;
  add("empty2", {});
  Outcome model = Model(&source, names);
  Outcome packed = Pack(&source, names, GetParam());
  ASSERT_TRUE(packed.ok) << packed.err;
  EXPECT_EQ(packed.text, model.text);
  EXPECT_TRUE(packed.records == model.records);
}

// A failure: the input, the bytes read before it fails, and the progress
// lines it leaves (a failure while coding comes after the crunch byte).
struct FailureCase {
  const char* what;
  size_t size;
  uint64_t fail_after;
  bool coding;
};

TEST_P(Schedulers, ReadFailuresAreReportedInListOrder) {
  const size_t large = HoldLimit + 3 * PieceSize / 2;
  const FailureCase cases[] = {
      {"at the first read", 1000, 0, false},
      {"in the middle of a file held whole", 300000, 100000, false},
      {"while counting a large file", large, large / 2, false},
      {"while coding a large file", large, large + large / 2, true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSource source;
    source.files["a"].data = Random(5000, 1);
    source.files["bad"].data = Random(c.size, 2, 50);
    source.files["bad"].fail_after = c.fail_after;
    source.files["z"].data = Random(7000, 3);
    source.files["z"].fail_after = 0;  // fails too, but later in the list
    Outcome outcome = Pack(&source, {"a", "bad", "z"}, GetParam());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.err, "cannot read 'bad': Input/output error");
    std::string text = Model(&source, {"a"}).text + "Processing bad...\n";
    if (c.coding) {
      const Bytes& bad = source.files["bad"].data;
      text += "  CrunchByte: " + std::to_string(reference::CrunchByte(bad.data(), bad.size())) +
              "\n  Compressing...\n";
    }
    EXPECT_EQ(outcome.text, text);
  }
}

TEST_P(Schedulers, InputsThatChangeBetweenReadingsFail) {
  const size_t large = HoldLimit + 2 * PieceSize + 99;
  Bytes data = Random(large, 4, 200);
  Bytes grown = data, shrunk(data.begin(), data.end() - PieceSize - 5), moved = data;
  grown.resize(large + 1000, 'x');
  // The same size, but each run across a piece boundary ends elsewhere: the
  // pieces coded before and after the change no longer meet.
  for (size_t at = PieceSize; at < large; at += PieceSize) {
    std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(at - 10), 20, 250);
    std::fill_n(moved.begin() + static_cast<std::ptrdiff_t>(at - 10), 30, 250);
  }
  // Rewritten in place: the same size and the same runs at every piece
  // boundary, one byte else.
  Bytes rewritten = data;
  rewritten[PieceSize + PieceSize / 2] ^= 1;
  struct {
    const Bytes* changed;
    uint64_t after;  // bytes read before the change
  } cases[] = {{&grown, large}, {&shrunk, large}, {&moved, large + 1}, {&rewritten, large}};
  for (const auto& c : cases) {
    FakeSource source;
    source.files["big"].data = data;
    source.files["big"].switch_after = c.after;  // after the counting pass
    source.files["big"].changed = *c.changed;
    Outcome outcome = Pack(&source, {"big"}, GetParam());
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.err, "'big' changed while it was being packed");
    EXPECT_EQ(outcome.text.find("Processing big...\n  CrunchByte: "), 0u) << outcome.text;
  }
  // Grown before the first reading: it no longer has the size it was opened with.
  FakeSource source;
  source.files["big"].data = data;
  source.files["big"].switch_after = 0;
  source.files["big"].changed = grown;
  Outcome outcome = Pack(&source, {"big"}, GetParam());
  EXPECT_EQ(outcome.err, "'big' changed while it was being packed");
  EXPECT_EQ(outcome.text, "Processing big...\n");
}

TEST_P(Schedulers, AMissingInputIsReportedAfterTheOnesBeforeIt) {
  FakeSource source;
  source.files["a"].data = Random(100, 1);
  Outcome outcome = Pack(&source, {"a", "gone", "also-gone"}, GetParam());
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.err, "cannot open 'gone': No such file or directory");
  EXPECT_EQ(outcome.text, Model(&source, {"a"}).text + "Processing gone...\n");
}

// Quiet (no progress stream), the records are the same; the observer is
// told of every byte once, though large files are read twice.
TEST_P(Schedulers, QuietRunsTellTheObserverOfEveryByteOnce) {
  FakeSource source;
  Tally tally;
  std::vector<std::string> names = {"large", "small", "empty"};
  source.files["large"].data = Random(HoldLimit + 2 * PieceSize + 5, 1);
  source.files["small"].data = Random(300000, 2);
  for (const std::string& name : names) tally.sizes[name] = source.files[name].data.size();
  Outcome outcome = Pack(&source, names, GetParam(), &tally, true);
  ASSERT_TRUE(outcome.ok) << outcome.err;
  EXPECT_TRUE(outcome.records == Model(&source, names).records);
  EXPECT_EQ(tally.bytes["large"], tally.sizes["large"]);
  EXPECT_EQ(tally.bytes["small"], tally.sizes["small"]);
  EXPECT_EQ(tally.bytes["empty"], 0u);
}

INSTANTIATE_TEST_SUITE_P(SerialAndThreaded, Schedulers, ::testing::Values(1u, 2u, 3u));

// One worker for each processor that the machine's load leaves free.
TEST(WorkersFor, LeavesBusyProcessorsAlone) {
  struct {
    unsigned usable;
    double load;
    unsigned workers;
  } const cases[] = {{1, 0.0, 1}, {2, 0.0, 2},          {2, 0.4, 2},
                     {2, 0.6, 1}, {2, 1.0, 1},          {2, 7.5, 1},
                     {4, 1.2, 3}, {8, 0.0, MaxWorkers}, {16, 9.0, MaxWorkers}};
  for (const auto& c : cases) {
    EXPECT_EQ(WorkersFor(c.usable, c.load), c.workers)
        << c.usable << " processors, load " << c.load;
  }
}

// A serial run on a busy machine stays on one processor, and lets go after.
TEST(ProcessorStay, PinsTheThreadAndGivesItsProcessorsBack) {
  const unsigned before = UsableProcessors();
  {
    ProcessorStay stay;
    EXPECT_EQ(UsableProcessors(), 1u);
  }
  EXPECT_EQ(UsableProcessors(), before);
}

}  // namespace
