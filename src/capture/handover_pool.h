#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/audio.h"
#include "platform/dispatch/serial_queue.h"

namespace talvora::capture {

// The bounded hand-over between the audio thread and the capture queue: a fixed number of
// slots, each with a copy buffer allocated up front and the queue node that carries it, so
// that handing a buffer over allocates nothing and takes no lock.
//
// One bit per slot in a single atomic word is at once the count of free slots and the
// free list: taking is a compare-and-swap that never waits, and giving back is one atomic
// or, so the two threads that give back (the capture queue after consuming, the audio
// thread when a taken slot cannot be filled) can never lose a slot to each other.
class HandoverPool {
 public:
  // Runs on the capture queue for each posted hand-over: its samples and level.
  using Consumer = std::function<void(const float* samples, uint32_t frames, float level)>;

  class Handover final : public platform::QueueNode {
   public:
    // Audio thread, on a taken slot: a buffer for `frames` samples. Its own pooled buffer
    // when they fit; otherwise one allocated on the spot (the one case that allocates
    // here), or null when even that fails.
    platform::PcmBuffer* bufferFor(uint32_t frames);
    float level = 0;

   private:
    friend class HandoverPool;
    Handover(HandoverPool& pool, uint32_t index, uint32_t frames) : pool_(pool), index_(index), pooled_(frames) {}
    // Capture queue.
    void run() override;
    void release() override;

    HandoverPool& pool_;
    const uint32_t index_;
    platform::PcmBuffer pooled_;
    std::unique_ptr<platform::PcmBuffer> oversized_;
    platform::PcmBuffer* inUse_ = &pooled_;
  };

  static constexpr uint32_t kMaximumSlots = 32;

  // `slots` (at most kMaximumSlots) hand-overs of `frames` samples each.
  HandoverPool(uint32_t slots, uint32_t frames, Consumer consumer);
  HandoverPool(const HandoverPool&) = delete;
  HandoverPool& operator=(const HandoverPool&) = delete;

  // Audio thread: a free slot, or null when every one is taken. Never waits.
  Handover* take();
  // Audio thread: a taken slot that was not posted goes back unused.
  void giveBack(Handover* handover);
  // Any thread; for tests and benchmarks.
  uint32_t available() const;

 private:
  void free(const Handover& handover);

  const Consumer consumer_;
  std::vector<std::unique_ptr<Handover>> handovers_;
  std::atomic<uint32_t> free_;
};

}  // namespace talvora::capture
