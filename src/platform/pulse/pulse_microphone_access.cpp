// Microphone access on a PulseAudio server: the server decides who may connect (socket
// credentials, the authentication cookie, the access policy of its protocol module), so
// "access granted" means the server admits this client.
#include <atomic>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/pulse/connection.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/reaper.h"

namespace talvora::platform {
namespace {

// Connects once and reports whether the server let us in. Anything but an explicit
// refusal counts as granted: with no server at all the start sequence finds no usable
// input and says so, which is the more helpful message.
bool serverAdmitsUs() {
  pulse::Connection connection;
  int error = 0;
  return !connection.connect(&error) || !pulse::isRefusal(error);
}

// The answer needs a round trip to the server, which the caller's thread must not wait
// for: each request gets a thread of its own. The object joins them all when it goes,
// so no answer arrives after its destruction; a handler that drops the last reference
// destroys it on its own answering thread, which the reaper joins instead.
class PulseMicrophoneAccess final : public MicrophoneAccess {
 public:
  ~PulseMicrophoneAccess() override {
    std::vector<Answer> answers;
    {
      std::lock_guard lock(mutex_);
      answers.swap(answers_);
    }
    for (Answer& answer : answers) {
      if (answer.thread.get_id() != std::this_thread::get_id()) {
        answer.thread.join();
        continue;
      }
      auto own = std::make_shared<std::thread>(std::move(answer.thread));
      pulse::Reaper::instance().later([own] { own->join(); });
    }
  }

  void requestAccess(std::function<void(bool)> handler) override {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto ask = [handler = std::move(handler), answered] {
      handler(serverAdmitsUs());
      *answered = true;
    };
    {
      std::lock_guard lock(mutex_);
      joinAnsweredLocked();
      try {
        answers_.push_back({std::thread(ask), answered});
        return;
      } catch (const std::system_error&) {
      }
    }
    ask();  // No thread to be had: answer late rather than never.
  }

 private:
  struct Answer {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> answered;
  };

  // Threads that have answered are joined as new requests come, so a long-lived object
  // asked many times holds on to no finished threads.
  void joinAnsweredLocked() {
    for (auto it = answers_.begin(); it != answers_.end();) {
      if (!*it->answered) {
        ++it;
        continue;
      }
      it->thread.join();
      it = answers_.erase(it);
    }
  }

  std::mutex mutex_;
  std::vector<Answer> answers_;
};

}  // namespace

std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess() {
  pulse::prepareBackend();
  return std::make_shared<PulseMicrophoneAccess>();
}

}  // namespace talvora::platform
