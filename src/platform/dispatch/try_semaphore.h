#pragma once

#include <atomic>

namespace talvora::platform {

// A counting semaphore that is only ever taken without waiting. std::counting_semaphore's
// try_acquire spins and yields the thread before it gives up, which the audio thread must
// not do; nobody ever blocks on this one, so a compare-and-swap on a counter is all it
// takes, and giving back never has anyone to wake.
class TrySemaphore {
 public:
  explicit TrySemaphore(int initial) : count_(initial) {}

  bool tryAcquire() {
    int available = count_.load(std::memory_order_relaxed);
    while (available > 0) {
      if (count_.compare_exchange_weak(available, available - 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  void release() { count_.fetch_add(1, std::memory_order_release); }

  int available() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int> count_;
};

}  // namespace talvora::platform
