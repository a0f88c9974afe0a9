#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "platform/error.h"

namespace talvora::platform::pulse {

// How long we wait for the sound server to answer a connection or a request before
// treating it as absent. A local server answers in milliseconds; a hung one must not
// hang the recorder.
inline constexpr pa_usec_t kServerTimeout = 5 * PA_USEC_PER_SEC;

// libpulse writes its own error lines (a missing cookie file, for one) to standard
// error, which belongs to the event protocol's parent. Its only switch that takes effect
// without private symbols is the environment: the messages go to the system log
// instead. Must run before the first libpulse call and before other threads exist;
// every factory of this backend calls it, and it acts once.
void quietLibraryLog();

// What every factory of the backend does first: quietLibraryLog, and the reaper
// started, so that it exists before anything that may hand it work (and is destroyed
// after it) and its thread is never started from the audio thread.
void prepareBackend();

// Whether a connection error means the server refused us (as opposed to not being
// there or failing otherwise).
inline bool isRefusal(int error) { return error == PA_ERR_ACCESS || error == PA_ERR_AUTHKEY; }

// "what: libpulse's text for error".
std::string describe(const char* what, int error);

// One client connection to the sound server: a threaded main loop (its thread is the
// audio thread of everything opened on the connection) and a context on it, connected
// without autospawn under our client name.
//
// Threads and locks. The loop thread runs every libpulse callback with the loop lock
// held, so the loop lock is the one guard of the context and of everything opened on
// it (record streams, queries). Other threads take it with `Lock`. `connect` and the
// destructor are called from one thread at a time, never from the loop thread (the
// loop cannot be started, waited for or stopped from inside itself); an owner destroyed
// on the loop thread hands the connection to the reaper.
class Connection {
 public:
  Connection() = default;
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The loop lock, taken for the lifetime of the object. On the loop thread, where the
  // lock is already held, and before the loop exists, it does nothing.
  class Lock {
   public:
    explicit Lock(const Connection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* locked_ = nullptr;
  };

  // Starts the loop and connects, unless connected; a context that failed since (the
  // server went away) is replaced, so whatever was opened on it must be closed first.
  // Loop lock not held. Waits at most kServerTimeout; after a timeout every later call
  // fails at once with the same error. `code`, when given, receives libpulse's error
  // code of a failure.
  Status connect(int* code = nullptr);

  // Any thread.
  bool inLoopThread() const;

  // Loop lock held.
  bool connectedLocked() const;
  pa_context* context() const { return context_; }
  pa_mainloop_api* api() const;

  // Waits (loop lock held, never on the loop thread) until `done` or kServerTimeout;
  // every callback that may make `done` true must call `signal`. True when `done`.
  bool waitLocked(const std::function<bool()>& done);
  // Loop thread: wakes `waitLocked`.
  void signal();

  // Runs on the loop thread, once per connection made, with the server's error code
  // when the connected context fails (the server went away or dropped us). Set before
  // `connect` or with the loop lock held.
  void setLostHandler(std::function<void(int error)> handler) { lost_ = std::move(handler); }

 private:
  static void onContextState(pa_context* context, void* user);
  Status startLoop();
  void dropContextLocked();

  // Published after the loop thread has started and cleared after it has stopped;
  // atomic because inLoopThread() reads it from any thread.
  std::atomic<pa_threaded_mainloop*> loop_{nullptr};
  std::optional<Error> timedOut_;
  // Loop lock.
  pa_context* context_ = nullptr;
  // Connected and not yet reported lost.
  bool connected_ = false;
  std::function<void(int)> lost_;
};

}  // namespace talvora::platform::pulse
