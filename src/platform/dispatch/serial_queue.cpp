#include "platform/dispatch/serial_queue.h"

#include <pthread.h>

#include "platform/dispatch/wake_signal.h"

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

// What the producers and the queue thread share, and what only the queue thread touches.
class SerialQueue::State {
 public:
  void push(QueueNode* node) {
    node->next_.store(nullptr, std::memory_order_relaxed);
    QueueNode* previous = head_.exchange(node, std::memory_order_acq_rel);
    previous->next_.store(node, std::memory_order_release);
  }

  void post(QueueNode* node) {
    push(node);
    wake_.notify();
  }

  void run(const std::string& label);

  void close() {
    closing_.store(true);
    wake_.notify();
  }

  // Queue thread only: releases everything that did not run.
  void dropPending() {
    drain();
    for (auto* node : ready_) node->release();
    for (auto& [key, node] : timed_) node->release();
    ready_.clear();
    timed_.clear();
  }

 private:
  // Moves what producers linked in onto the ready and timed lists. Queue thread only.
  void drain() {
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
        timed_.emplace(std::make_pair(tail->due_, timedSequence_++), tail);
      } else {
        ready_.push_back(tail);
      }
    }
  }

  // Multi-producer single-consumer intrusive list (producers swap the head; the queue
  // thread pops from the tail), with a stub node so it is never empty.
  struct Stub : QueueNode {
    void run() override {}
    void release() override {}
  } stub_;
  std::atomic<QueueNode*> head_{&stub_};
  QueueNode* tail_ = &stub_;
  WakeSignal wake_;
  std::atomic<bool> closing_{false};

  // Queue thread only.
  std::deque<QueueNode*> ready_;
  std::map<std::pair<Clock::time_point, uint64_t>, QueueNode*> timed_;
  uint64_t timedSequence_ = 0;
};

void SerialQueue::State::run(const std::string& label) {
  pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
  while (!closing_.load()) {
    const uint32_t ticket = wake_.ticket();
    drain();
    auto now = Clock::now();
    while (!timed_.empty() && timed_.begin()->first.first <= now) {
      ready_.push_back(timed_.begin()->second);
      timed_.erase(timed_.begin());
    }
    if (!ready_.empty()) {
      QueueNode* node = ready_.front();
      ready_.pop_front();
      node->run();
      node->release();
      continue;
    }
    if (timed_.empty()) {
      wake_.wait(ticket);
    } else {
      wake_.waitUntil(ticket, timed_.begin()->first.first);
    }
  }
  // Closing: what did not run is dropped.
  dropPending();
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_, label = label_] { state->run(label); });
}

SerialQueue::~SerialQueue() {
  state_->close();
  if (!thread_.joinable()) return;
  if (isCurrent()) {
    // Inside an item on our own thread: it cannot be joined from here. Nothing pending
    // may outlive this call (the nodes belong to our owner), so they go now; the thread
    // returns from the item to find the queue closed and ends, holding only `state_`.
    state_->dropPending();
    thread_.detach();
    return;
  }
  thread_.join();
}

void SerialQueue::post(QueueNode* node) {
  node->timed_ = false;
  state_->post(node);
}

void SerialQueue::async(Work work) { post(new FunctionNode(std::move(work))); }

void SerialQueue::asyncAt(Clock::time_point when, Work work) {
  auto* node = new FunctionNode(std::move(work));
  node->timed_ = true;
  node->due_ = when;
  state_->post(node);
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
