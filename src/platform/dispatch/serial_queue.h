#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>


namespace talvora::platform {

// One unit of work on a SerialQueue. Nodes are linked intrusively so that a producer
// holding a node of its own (the audio thread's pre-allocated hand-overs) can post it
// without allocating and without taking a lock.
class QueueNode {
 public:
  virtual ~QueueNode() = default;
  virtual void run() = 0;
  // Called once the queue is done with the node, run or dropped. Heap nodes delete
  // themselves; pooled nodes return to their owner.
  virtual void release() = 0;

 private:
  friend class SerialQueue;
  std::atomic<QueueNode*> next_{nullptr};
  std::chrono::steady_clock::time_point due_{};
  bool timed_ = false;
};

// A labelled serial work queue with a thread of its own. Work items run one at a time,
// in the order they were added; a delayed item runs once its time has come, after the
// items that were already waiting when it became due. Any thread may add work.
//
// Adding work never blocks: producers link their node into a wait-free multi-producer
// list and bump a wake counter (a futex wake only when the queue sleeps), so `post` is
// safe on the audio thread.
//
// Destruction finishes the item that runs, drops the rest (each node is released) and
// joins the thread. It may also happen on the queue's own thread, from inside an item
// (the last reference to the queue's owner can be the one a work item holds): then the
// pending nodes are released there and then, before the owner's members go, and the
// thread, which shares only the queue's own bookkeeping, ends as soon as that item
// returns.
class SerialQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Work = std::function<void()>;

  explicit SerialQueue(std::string label);
  ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(Work work);
  void asyncAt(Clock::time_point when, Work work);
  void asyncAfter(Clock::duration delay, Work work) { asyncAt(Clock::now() + delay, std::move(work)); }

  // Posts a node the caller owns; the queue calls run() then release(). Allocation-free
  // and lock-free.
  void post(QueueNode* node);

  // Runs `work` on the calling thread while the queue is held: every item added before
  // has finished and none starts until `work` returns. The caller must not be the
  // queue's own thread.
  void runExclusive(const Work& work);

  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  class State;

  const std::string label_;
  // Shared with the thread, so that a queue destroyed from its own thread leaves the
  // thread something valid to finish with.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// A repeating timer whose handler runs on a serial queue: first when resumed, then every
// `interval` after that first fire, without drift (the n-th fire is due at
// first + n × interval, however long the handlers take).
class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval, std::function<void()> handler);
  ~RepeatingTimer();

  void resume();
  // Called on the queue, no handler call starts afterwards; from elsewhere, a fire that
  // already runs finishes. Safe to repeat.
  void cancel();

 private:
  struct State;
  static void schedule(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
};

}  // namespace talvora::platform
