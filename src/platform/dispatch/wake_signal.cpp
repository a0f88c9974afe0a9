#include "platform/dispatch/wake_signal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace talvora::platform {
namespace {

// The futex word is the 32-bit counter itself (std::atomic<uint32_t> has its layout).
long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

}  // namespace

void WakeSignal::notify() {
  // Sequentially consistent on both sides: either the consumer sees the new ticket, or
  // this thread sees the consumer counted as a sleeper and wakes it.
  sequence_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) != 0) futex(&sequence_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void WakeSignal::wait(uint32_t ticket) {
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (sequence_.load(std::memory_order_seq_cst) == ticket) futex(&sequence_, FUTEX_WAIT_PRIVATE, ticket, nullptr);
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

void WakeSignal::waitUntil(uint32_t ticket, std::chrono::steady_clock::time_point deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
  timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  // A relative timeout on the monotonic clock, which is what steady_clock reads.
  if (sequence_.load(std::memory_order_seq_cst) == ticket) futex(&sequence_, FUTEX_WAIT_PRIVATE, ticket, &timeout);
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace talvora::platform
