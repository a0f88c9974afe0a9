#include "platform/pulse/connection.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/pulse/reaper.h"

namespace talvora::platform::pulse {
namespace {

// The name the server shows for our connections.
constexpr const char* kClientName = "talvora-audio";

pa_context* newContext(pa_mainloop_api* api) {
  pa_proplist* properties = pa_proplist_new();
  if (!properties) return nullptr;
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_context* context = pa_context_new_with_proplist(api, kClientName, properties);
  pa_proplist_free(properties);
  return context;
}

struct Deadline {
  pa_threaded_mainloop* loop = nullptr;
  bool expired = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
  auto* deadline = static_cast<Deadline*>(user);
  deadline->expired = true;
  pa_threaded_mainloop_signal(deadline->loop, 0);
}

}  // namespace

void quietLibraryLog() {
  static std::once_flag once;
  // Does not replace a value the user set: PULSE_LOG_SYSLOG only needs to exist, and
  // a PULSE_LOG_JOURNAL the user chose takes precedence over it inside libpulse.
  std::call_once(once, [] { ::setenv("PULSE_LOG_SYSLOG", "1", 0); });
}

void prepareBackend() {
  quietLibraryLog();
  Reaper::instance();
}

std::string describe(const char* what, int error) { return std::string(what) + ": " + pa_strerror(error); }

Connection::Lock::Lock(const Connection& connection) {
  pa_threaded_mainloop* loop = connection.loop_;
  if (!loop || pa_threaded_mainloop_in_thread(loop)) return;
  pa_threaded_mainloop_lock(loop);
  locked_ = loop;
}

Connection::Lock::~Lock() {
  if (locked_) pa_threaded_mainloop_unlock(locked_);
}

// Stops the loop thread and frees everything libpulse holds.
Connection::~Connection() {
  pa_threaded_mainloop* loop = loop_;
  if (!loop) return;
  {
    Lock lock(*this);
    dropContextLocked();
  }
  pa_threaded_mainloop_stop(loop);
  loop_ = nullptr;
  pa_threaded_mainloop_free(loop);
}

bool Connection::inLoopThread() const {
  pa_threaded_mainloop* loop = loop_;
  return loop && pa_threaded_mainloop_in_thread(loop);
}

bool Connection::connectedLocked() const {
  return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

pa_mainloop_api* Connection::api() const { return pa_threaded_mainloop_get_api(loop_); }

Status Connection::startLoop() {
  if (loop_) return std::nullopt;
  quietLibraryLog();
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (!loop) return Error{"Cannot connect to the sound server: out of memory"};
  pa_threaded_mainloop_set_name(loop, "talvora.pulse");
  if (pa_threaded_mainloop_start(loop) < 0) {
    pa_threaded_mainloop_free(loop);
    return Error{"Cannot connect to the sound server: no thread for its main loop"};
  }
  loop_ = loop;  // Before any callback can run: they only come once a context exists.
  return std::nullopt;
}

Status Connection::connect(int* code) {
  if (code) *code = PA_ERR_INTERNAL;
  if (timedOut_) {
    if (code) *code = PA_ERR_TIMEOUT;
    return timedOut_;
  }
  if (Status failed = startLoop()) return failed;
  Lock lock(*this);
  if (connectedLocked()) return std::nullopt;
  dropContextLocked();
  context_ = newContext(api());
  if (!context_) return Error{"Cannot connect to the sound server: out of memory"};
  pa_context_set_state_callback(context_, &Connection::onContextState, this);
  int error = 0;
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = pa_context_errno(context_);
  } else {
    pa_context* context = context_;
    const bool answered = waitLocked([context] {
      const pa_context_state_t state = pa_context_get_state(context);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
      connected_ = true;
      return std::nullopt;
    }
    error = answered ? pa_context_errno(context_) : PA_ERR_TIMEOUT;
  }
  dropContextLocked();
  if (code) *code = error;
  Error failure{describe("Cannot connect to the sound server", error)};
  // A server that does not answer would cost the same wait on every later call.
  if (error == PA_ERR_TIMEOUT) timedOut_ = failure;
  return failure;
}

bool Connection::waitLocked(const std::function<bool()>& done) {
  pa_threaded_mainloop* loop = loop_;
  Deadline deadline{loop};
  pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + kServerTimeout, &onDeadline, &deadline);
  while (!done() && !deadline.expired) pa_threaded_mainloop_wait(loop);
  if (timer) api()->time_free(timer);
  return done();
}

void Connection::signal() { pa_threaded_mainloop_signal(loop_, 0); }

void Connection::dropContextLocked() {
  connected_ = false;
  pa_context* context = std::exchange(context_, nullptr);
  if (!context) return;
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

void Connection::onContextState(pa_context* context, void* user) {
  auto* connection = static_cast<Connection*>(user);
  connection->signal();
  // Only a context that was connected is lost; one that fails while connecting is
  // connect()'s to report.
  if (context != connection->context_ || !connection->connected_) return;
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return;
  connection->connected_ = false;
  if (connection->lost_) connection->lost_(pa_context_errno(context));
}

}  // namespace talvora::platform::pulse

// ThreadSanitizer builds only. libpulse is not instrumented: its lock-free free lists
// hand memory from one thread to another with atomics the sanitizer cannot see, so the
// buffers libpulse fills through intercepted calls (read, memcpy) look like races
// between its threads. This makes the sanitizer ignore accesses that uninstrumented
// libraries make through interceptors; their locks still count, and every access of our
// own code is still checked.
#if defined(__SANITIZE_THREAD__)
#define TALVORA_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TALVORA_THREAD_SANITIZER 1
#endif
#endif
#ifdef TALVORA_THREAD_SANITIZER
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
