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

Status Connection::beginLocked(int* code) {
  dropContextLocked();
  context_ = newContext(api());
  if (!context_) {
    *code = PA_ERR_INTERNAL;
    return Error{"Cannot connect to the sound server: out of memory"};
  }
  pa_context_set_state_callback(context_, &Connection::onContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    *code = pa_context_errno(context_);
    dropContextLocked();
    return Error{describe("Cannot connect to the sound server", *code)};
  }
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
  int error = 0;
  if (Status failed = beginLocked(&error)) {
    if (code) *code = error;
    return failed;
  }
  pa_context* context = context_;
  const bool answered = waitLocked([context] {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) return std::nullopt;
  error = answered ? pa_context_errno(context_) : PA_ERR_TIMEOUT;
  dropContextLocked();
  if (code) *code = error;
  Error failure{describe("Cannot connect to the sound server", error)};
  // A server that does not answer would cost the same wait on every later call.
  if (error == PA_ERR_TIMEOUT) timedOut_ = failure;
  return failure;
}

Status Connection::beginConnectLocked(std::function<void(int error)> answered) {
  int error = 0;
  if (Status failed = beginLocked(&error)) return failed;
  // A server that cannot be reached at all may fail the context before
  // pa_context_connect returns, with no answer to come.
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    error = pa_context_errno(context_);
    dropContextLocked();
    return Error{describe("Cannot connect to the sound server", error)};
  }
  answered_ = std::move(answered);
  return std::nullopt;
}

bool Connection::waitLocked(const std::function<bool()>& done) {
  pa_threaded_mainloop* loop = loop_;
  Deadline deadline{loop};
  pa_time_event* timer = newTimerLocked(&onDeadline, &deadline);
  if (timer) armTimerLocked(timer, kServerTimeout);
  while (!done() && !deadline.expired) pa_threaded_mainloop_wait(loop);
  if (timer) freeTimerLocked(timer);
  return done();
}

void Connection::signal() { pa_threaded_mainloop_signal(loop_, 0); }

pa_time_event* Connection::newTimerLocked(pa_time_event_cb_t callback, void* user) {
  return api()->time_new(api(), nullptr, callback, user);
}

void Connection::armTimerLocked(pa_time_event* timer, pa_usec_t delay) {
  // A wall-clock time, which the loop turns into a time on its monotonic clock as it is
  // armed: what counts is the delay, and a later change of the wall clock moves nothing.
  struct timeval at;
  pa_gettimeofday(&at);
  api()->time_restart(timer, pa_timeval_add(&at, delay));
}

void Connection::disarmTimerLocked(pa_time_event* timer) { api()->time_restart(timer, nullptr); }

void Connection::freeTimerLocked(pa_time_event* timer) { api()->time_free(timer); }

void Connection::dropContextLocked() {
  connected_ = false;
  answered_ = nullptr;
  pa_context* context = std::exchange(context_, nullptr);
  if (!context) return;
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

void Connection::onContextState(pa_context* context, void* user) {
  auto* connection = static_cast<Connection*>(user);
  connection->signal();
  if (context != connection->context_) return;
  const pa_context_state_t state = pa_context_get_state(context);
  if (!connection->connected_) {
    // Still connecting: the answer is `connect`'s (which waits for it) or the one
    // `beginConnectLocked` was given.
    if (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state)) return;
    connection->connected_ = state == PA_CONTEXT_READY;
    if (auto answered = std::exchange(connection->answered_, nullptr)) {
      answered(connection->connected_ ? 0 : pa_context_errno(context));
    }
    return;
  }
  if (PA_CONTEXT_IS_GOOD(state)) return;
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
