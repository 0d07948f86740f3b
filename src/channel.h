// A bounded first-in, first-out queue between threads, that can be closed to
// release everyone who waits on it.
#ifndef TUVOLINK_CHANNEL_H_
#define TUVOLINK_CHANNEL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

template <class T>
class Channel {
 public:
  explicit Channel(size_t capacity) : capacity_(capacity) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Waits for room and appends `item`; false (and `item` dropped) once closed.
  bool Push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }

  // Waits for an item and takes it; false once closed.
  bool Pop(T* item) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (closed_) return false;
    *item = std::move(items_.front());
    items_.pop_front();
    room_.notify_one();
    return true;
  }

  // Wakes every waiter; later calls fail.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    room_.notify_all();
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable room_;
  std::condition_variable ready_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false;
};

#endif  // TUVOLINK_CHANNEL_H_
