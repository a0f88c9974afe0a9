#include "platform/dispatch/serial_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace talvora::platform {
namespace {

class FunctionNode final : public QueueNode {
 public:
  explicit FunctionNode(SerialQueue::Work work) : work_(std::move(work)) {}
  void run() override { work_(); }
  void release() override { delete this; }

 private:
  SerialQueue::Work work_;
};

}  // namespace

// State that only the queue thread touches.
class SerialQueue::Impl {
 public:
  std::deque<QueueNode*> ready;
  std::map<std::pair<Clock::time_point, uint64_t>, QueueNode*> timed;
  uint64_t timedSequence = 0;
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), impl_(std::make_unique<Impl>()) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  closing_.store(true);
  wake_.notify();
  if (thread_.joinable()) {
    if (isCurrent()) {
      thread_.detach();
      return;  // the thread sees closing_ once the running item returns
    }
    thread_.join();
  }
}

void SerialQueue::push(QueueNode* node) {
  node->next_.store(nullptr, std::memory_order_relaxed);
  QueueNode* previous = head_.exchange(node, std::memory_order_acq_rel);
  previous->next_.store(node, std::memory_order_release);
}

void SerialQueue::post(QueueNode* node) {
  node->timed_ = false;
  push(node);
  wake_.notify();
}

void SerialQueue::async(Work work) { post(new FunctionNode(std::move(work))); }

void SerialQueue::asyncAt(Clock::time_point when, Work work) {
  auto* node = new FunctionNode(std::move(work));
  node->timed_ = true;
  node->due_ = when;
  push(node);
  wake_.notify();
}

void SerialQueue::runExclusive(const Work& work) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
  };
  auto gate = std::make_shared<Gate>();
  async([gate] {
    std::unique_lock lock(gate->mutex);
    gate->held = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [&] { return gate->released; });
  });
  {
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return gate->held; });
  }
  // The queue thread now waits on the gate: `work` has the queue's state to itself, and
  // the mutex hand-offs make what either side wrote visible to the other.
  struct Release {
    Gate& gate;
    ~Release() {
      std::lock_guard lock(gate.mutex);
      gate.released = true;
      gate.changed.notify_all();
    }
  } release{*gate};
  work();
}

void SerialQueue::run() {
  pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
  Impl& s = *impl_;
  auto drain = [&] {
    while (true) {
      QueueNode* tail = tail_;
      QueueNode* next = tail->next_.load(std::memory_order_acquire);
      if (tail == &stub_) {
        if (next == nullptr) return;
        tail_ = next;
        tail = next;
        next = next->next_.load(std::memory_order_acquire);
      }
      if (next == nullptr) {
        if (tail != head_.load(std::memory_order_acquire)) return;  // a producer is mid-push; its post wakes us
        push(&stub_);
        next = tail->next_.load(std::memory_order_acquire);
        if (next == nullptr) return;
      }
      tail_ = next;
      if (tail->timed_) {
        s.timed.emplace(std::make_pair(tail->due_, s.timedSequence++), tail);
      } else {
        s.ready.push_back(tail);
      }
    }
  };
  while (!closing_.load()) {
    const uint32_t ticket = wake_.ticket();
    drain();
    auto now = Clock::now();
    while (!s.timed.empty() && s.timed.begin()->first.first <= now) {
      s.ready.push_back(s.timed.begin()->second);
      s.timed.erase(s.timed.begin());
    }
    if (!s.ready.empty()) {
      QueueNode* node = s.ready.front();
      s.ready.pop_front();
      node->run();
      node->release();
      continue;
    }
    if (s.timed.empty()) {
      wake_.wait(ticket);
    } else {
      wake_.waitUntil(ticket, s.timed.begin()->first.first);
    }
  }
  // Closing: what did not run is dropped.
  drain();
  for (auto* node : s.ready) node->release();
  for (auto& [key, node] : s.timed) node->release();
  s.ready.clear();
  s.timed.clear();
}

struct RepeatingTimer::State {
  // Spelled out for make_shared: clang 14 (the fuzz build) lacks C++20's parenthesized
  // initialization of aggregates.
  State(SerialQueue& queue, std::chrono::nanoseconds interval, std::function<void()> handler)
      : queue(queue), interval(interval), handler(std::move(handler)) {}

  SerialQueue& queue;
  std::chrono::nanoseconds interval;
  std::function<void()> handler;
  std::atomic<bool> cancelled{false};
  bool resumed = false;
  SerialQueue::Clock::time_point next{};
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                               std::function<void()> handler)
    : state_(std::make_shared<State>(queue, interval, std::move(handler))) {}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::resume() {
  if (state_->resumed) return;
  state_->resumed = true;
  state_->next = SerialQueue::Clock::now();
  schedule(state_);
}

void RepeatingTimer::cancel() { state_->cancelled.store(true); }

void RepeatingTimer::schedule(const std::shared_ptr<State>& state) {
  // Each fire holds the state weakly: a cancelled and released timer leaves nothing
  // behind on the queue but a no-op.
  std::weak_ptr<State> weak = state;
  state->queue.asyncAt(state->next, [weak] {
    auto s = weak.lock();
    if (!s || s->cancelled.load()) return;
    s->handler();
    if (s->cancelled.load()) return;
    s->next += s->interval;
    schedule(s);
  });
}

}  // namespace talvora::platform
