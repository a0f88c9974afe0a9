#include "platform/pulse/pulse_client.h"

#include <cstdlib>
#include <mutex>

namespace talvora::platform::pulse {

void quietLibraryLog() {
  static std::once_flag once;
  // Does not replace a value the user set: PULSE_LOG_SYSLOG only needs to exist, and
  // a PULSE_LOG_JOURNAL the user chose takes precedence over it inside libpulse.
  std::call_once(once, [] { ::setenv("PULSE_LOG_SYSLOG", "1", 0); });
}

pa_context* newContext(pa_mainloop_api* api) {
  pa_proplist* properties = pa_proplist_new();
  if (!properties) return nullptr;
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_context* context = pa_context_new_with_proplist(api, kClientName, properties);
  pa_proplist_free(properties);
  return context;
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
