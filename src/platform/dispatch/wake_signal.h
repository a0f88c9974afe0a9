#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace talvora::platform {

// Wakes one sleeping consumer thread from any number of producers, without a lock and
// without a system call unless the consumer is actually asleep.
//
// The consumer reads `ticket()` before it looks for work and passes it to `wait`: a
// producer that posts after that moment changes the counter, so the wait returns at once
// instead of sleeping through the post. (The library's counting semaphore was tried here
// first; its waits in this toolchain could sleep through releases while the count was
// already above zero, which held the capture queue up until the hand-over slots ran out.)
class WakeSignal {
 public:
  uint32_t ticket() const { return sequence_.load(std::memory_order_seq_cst); }

  // Producers: after the work is visible.
  void notify();

  // Consumer: sleeps until a notify after `ticket` was read, or until `deadline`
  // (a spurious early return is allowed; the caller looks for work again).
  void wait(uint32_t ticket);
  void waitUntil(uint32_t ticket, std::chrono::steady_clock::time_point deadline);

 private:
  std::atomic<uint32_t> sequence_{0};
  std::atomic<uint32_t> sleepers_{0};
};

}  // namespace talvora::platform
