// The choice of a scheduler for PackRecords.
#include "pack_pipeline.h"

#include <algorithm>
#include <exception>
#include <new>
#include <vector>

#include "pack_stages.h"
#include "platform.h"

#if TUVOLINK_PACK_THREADS
#include <system_error>
#include <thread>
#endif

unsigned WorkersFor(unsigned usable, double load) {
  // Rounded: a load of 0.3 on two processors leaves both to us, one of 0.6
  // only one.
  double spare = static_cast<double>(usable) - load + 0.5;
  unsigned workers = spare < 1 ? 1 : static_cast<unsigned>(spare);
  return std::min(std::min(workers, usable), MaxWorkers);
}

unsigned RunWorkers() {
  static const unsigned workers = [] {
    const unsigned usable = UsableProcessors();
    return usable > 1 ? WorkersFor(usable, MachineLoad()) : 1;
  }();
  return workers;
}

void SplitWork(size_t count, const std::function<void(size_t, size_t)>& part) {
#if TUVOLINK_PACK_THREADS
  // Below this many items a range is not worth a thread's start.
  constexpr size_t MinItems = 256;
  const size_t threads = std::min<size_t>(RunWorkers(), count / MinItems);
  if (threads > 1) {
    std::vector<std::exception_ptr> failures(threads);
    auto run = [&](size_t t) {
      try {
        part(count * t / threads, count * (t + 1) / threads);
      } catch (...) {
        failures[t] = std::current_exception();
      }
    };
    std::vector<std::thread> helpers;
    size_t started = 1;
    try {
      for (; started < threads; ++started) helpers.emplace_back(run, started);
    } catch (const std::system_error&) {
      // No more threads: the ranges not started run here.
    }
    run(0);
    for (size_t t = started; t < threads; ++t) run(t);
    for (std::thread& helper : helpers) helper.join();
    for (const std::exception_ptr& failure : failures) {
      if (failure) std::rethrow_exception(failure);
    }
    return;
  }
#endif
  part(0, count);
}

bool PackRecords(const LinkNode* list, TempOutput* output, std::FILE* progress,
                 PackObserver* observer, std::string* err) {
  return PackRecordsWith(list, output, progress, observer, PackOptions(), err);
}

bool PackRecordsWith(const LinkNode* list, TempOutput* output, std::FILE* progress,
                     PackObserver* observer, const PackOptions& options, std::string* err) {
  InputSource* source = options.source != nullptr ? options.source : FileSource();
  std::vector<const char*> names;
  try {
    for (const LinkNode* node = list; node != nullptr; node = node->Next) {
      names.push_back(node->Name);
    }
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
    return false;
  }
#if TUVOLINK_PACK_THREADS
  unsigned workers = std::min(options.workers, MaxWorkers);
  if (workers == 0) {
    workers = RunWorkers();
    // One worker where there are more processors: the others are busy, and
    // moved among them the worker would run slower than kept on one (14 %
    // with two busy programs on two processors).
    if (workers == 1 && UsableProcessors() > 1) {
      ProcessorStay stay;
      return PackSerial(names, source, output, progress, observer, err);
    }
  }
  // With one worker, threads would only hand work to each other.
  if (workers > 1) return PackThreaded(names, workers, source, output, progress, observer, err);
#endif
  return PackSerial(names, source, output, progress, observer, err);
}
