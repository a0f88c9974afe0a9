#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace talvora::platform::pulse {

// A thread of the backend's own that finishes what cannot be finished where it is
// asked for: a connection whose engine was destroyed on the connection's own loop
// thread (a loop cannot stop itself from inside a callback), or an answering thread
// whose owner was destroyed by that very thread. Everything handed over is done on the
// reaper's thread, and at the latest when the process tears down its statics, so no
// thread of the backend outlives the process's orderly end.
//
// Threads: `later` may be called from any thread, the audio thread included: it
// allocates one node and pushes it with a compare-and-swap, never waiting for a lock or
// for the job. The jobs run on the reaper's thread, one at a time, in the order given.
class Reaper {
 public:
  // The one reaper of the process. The first call starts its thread; make it from a
  // thread that may create threads and before anything that hands work over exists
  // (every factory of the backend does), so the reaper is also destroyed after them.
  static Reaper& instance();

  void later(std::function<void()> job);

  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;

 private:
  struct Node {
    std::function<void()> job;
    Node* next = nullptr;
  };

  Reaper();
  ~Reaper();

  void run();
  // Runs the jobs of a list taken from `pending_` in the order they were handed over.
  static void finish(Node* newestFirst);

  std::atomic<Node*> pending_{nullptr};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace talvora::platform::pulse
