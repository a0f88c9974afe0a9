#include "capture/handover_pool.h"

#include <bit>
#include <new>

namespace talvora::capture {

platform::PcmBuffer* HandoverPool::Handover::bufferFor(uint32_t frames) {
  if (frames <= pooled_.frameCapacity()) {
    inUse_ = &pooled_;
  } else {
    try {
      oversized_ = std::make_unique<platform::PcmBuffer>(frames);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    inUse_ = oversized_.get();
  }
  inUse_->setFrameLength(frames);
  return inUse_;
}

void HandoverPool::Handover::run() { pool_.consumer_(inUse_->data(), inUse_->frameLength(), level); }

// Whether it ran or was dropped by a closing queue, the slot is free again; an oversized
// buffer goes with it, on the queue rather than the audio thread.
void HandoverPool::Handover::release() {
  oversized_.reset();
  inUse_ = &pooled_;
  pool_.free(*this);
}

HandoverPool::HandoverPool(uint32_t slots, uint32_t frames, Consumer consumer)
    : consumer_(std::move(consumer)),
      free_(slots >= kMaximumSlots ? ~0u : (1u << slots) - 1) {
  if (slots > kMaximumSlots) slots = kMaximumSlots;
  for (uint32_t i = 0; i < slots; ++i) handovers_.push_back(std::unique_ptr<Handover>(new Handover(*this, i, frames)));
}

HandoverPool::Handover* HandoverPool::take() {
  uint32_t bits = free_.load(std::memory_order_relaxed);
  while (bits != 0) {
    const uint32_t lowest = bits & (~bits + 1);
    // Acquire: what the last holder of this slot wrote (its buffer) is ours to reuse.
    if (free_.compare_exchange_weak(bits, bits & ~lowest, std::memory_order_acquire, std::memory_order_relaxed)) {
      return handovers_[static_cast<size_t>(std::countr_zero(lowest))].get();
    }
  }
  return nullptr;
}

void HandoverPool::giveBack(Handover* handover) {
  handover->oversized_.reset();
  handover->inUse_ = &handover->pooled_;
  free(*handover);
}

void HandoverPool::free(const Handover& handover) {
  free_.fetch_or(1u << handover.index_, std::memory_order_release);
}

uint32_t HandoverPool::available() const {
  return static_cast<uint32_t>(std::popcount(free_.load(std::memory_order_relaxed)));
}

}  // namespace talvora::capture
