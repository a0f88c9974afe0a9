#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace talvora::platform {

// The main thread's run loop: other threads post work onto it, and `run` executes that
// work on the thread that called it, in the order posted, for the rest of the process.
class RunLoop {
 public:
  using Work = std::function<void()>;

  void post(Work work);
  // Runs posted work until `quit` is called (the recorder itself never calls it: the
  // process ends by exiting).
  void run();
  void quit();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> items_;
  bool quitting_ = false;
};

}  // namespace talvora::platform
