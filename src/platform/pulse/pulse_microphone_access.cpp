// Microphone access on a PulseAudio server: the server decides who may connect (socket
// credentials, the authentication cookie, the access policy of its protocol module), so
// "access granted" means the server admits this client.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/pulse/connection.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/reaper.h"

namespace talvora::platform {
namespace {

using Handler = std::function<void(bool)>;

// Connects once and reports whether the server let us in. Anything but an explicit
// refusal counts as granted: with no server at all the start sequence finds no usable
// input and says so, which is the more helpful message.
bool serverAdmitsUs() {
  pulse::Connection connection;
  int error = 0;
  return !connection.connect(&error) || !pulse::isRefusal(error);
}

// The answer needs a round trip to the server, which the caller's thread must not wait
// for: the object's own thread, started by the first request, answers the requests in
// turn. It stays until the object goes, which answers what is still asked and joins
// it, so no answer arrives after the destruction and no thread outlives the object
// (nor ends unjoined in a process that ends without destroying it). A handler that
// drops the last reference destroys the object on that very thread, which cannot join
// itself: the reaper joins it, once it has answered what was still asked.
class PulseMicrophoneAccess final : public MicrophoneAccess {
 public:
  ~PulseMicrophoneAccess() override {
    std::thread thread;
    {
      std::lock_guard lock(queue_->mutex);
      queue_->closed = true;
      thread = std::move(queue_->thread);
    }
    queue_->changed.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() != std::this_thread::get_id()) {
      thread.join();
      return;
    }
    auto own = std::make_shared<std::thread>(std::move(thread));
    pulse::Reaper::instance().later([own] { own->join(); });
  }

  void requestAccess(Handler handler) override {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->requests.push_back(std::move(handler));
      if (queue_->thread.joinable()) {
        queue_->changed.notify_all();
        return;
      }
      try {
        queue_->thread = std::thread(&Queue::answer, queue_);
        return;
      } catch (const std::system_error&) {
        handler = std::move(queue_->requests.back());
        queue_->requests.pop_back();
      }
    }
    handler(serverAdmitsUs());  // No thread to be had: answer late rather than never.
  }

 private:
  // Shared with the answering thread, which may still be returning from a handler
  // after the object is gone.
  struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Handler> requests;
    bool closed = false;
    std::thread thread;

    static void answer(std::shared_ptr<Queue> queue) {
      std::unique_lock lock(queue->mutex);
      while (true) {
        queue->changed.wait(lock, [&] { return queue->closed || !queue->requests.empty(); });
        if (queue->requests.empty()) return;
        Handler handler = std::move(queue->requests.front());
        queue->requests.pop_front();
        lock.unlock();
        handler(serverAdmitsUs());
        handler = nullptr;  // What it holds goes on this thread, before the next wait.
        lock.lock();
      }
    }
  };

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

}  // namespace

std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess() {
  pulse::prepareBackend();
  return std::make_shared<PulseMicrophoneAccess>();
}

}  // namespace talvora::platform
