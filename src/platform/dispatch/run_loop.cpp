#include "platform/dispatch/run_loop.h"

namespace talvora::platform {

void RunLoop::post(Work work) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void RunLoop::run() {
  std::unique_lock lock(mutex_);
  while (!quitting_) {
    if (items_.empty()) {
      wake_.wait(lock);
      continue;
    }
    Work work = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
  }
}

void RunLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_all();
}

}  // namespace talvora::platform
