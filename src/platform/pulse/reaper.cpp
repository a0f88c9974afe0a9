#include "platform/pulse/reaper.h"

#include <system_error>
#include <utility>

namespace talvora::platform::pulse {

Reaper& Reaper::instance() {
  static Reaper reaper;
  return reaper;
}

Reaper::Reaper() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: what is handed over waits for the destructor, which is
    // late but never a deadlock on the thread that handed it over.
  }
}

Reaper::~Reaper() {
  stopping_ = true;
  later(nullptr);  // Wakes the thread; an empty job is skipped.
  if (thread_.joinable()) thread_.join();
  finish(pending_.exchange(nullptr));  // Whatever the thread did not get to.
}

void Reaper::later(std::function<void()> job) {
  Node* node = new Node{std::move(job), pending_.load(std::memory_order_relaxed)};
  while (!pending_.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) {
  }
  pending_.notify_one();
}

void Reaper::run() {
  while (true) {
    pending_.wait(nullptr, std::memory_order_acquire);
    finish(pending_.exchange(nullptr, std::memory_order_acquire));
    if (stopping_) return;
  }
}

void Reaper::finish(Node* newestFirst) {
  Node* oldestFirst = nullptr;
  while (newestFirst) {
    Node* next = newestFirst->next;
    newestFirst->next = oldestFirst;
    oldestFirst = newestFirst;
    newestFirst = next;
  }
  while (oldestFirst) {
    Node* node = oldestFirst;
    oldestFirst = node->next;
    if (node->job) node->job();
    delete node;
  }
}

}  // namespace talvora::platform::pulse
