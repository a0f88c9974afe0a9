#pragma once

#include <pulse/pulseaudio.h>

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/pulse/connection.h"

namespace talvora::platform::pulse {

// A source of the server as a record stream needs it: its name and native format.
struct SourceInfo {
  std::string name;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

// How long `frames` frames last at `rate` (0 for a rate of 0).
inline pa_usec_t framesToUsec(uint64_t frames, uint32_t rate) { return rate > 0 ? frames * PA_USEC_PER_SEC / rate : 0; }

// Asks the server for the source called `name`, or with null for its default source.
// The loop lock held, never on the loop thread, connected; waits at most kServerTimeout
// for the answer.
Result<SourceInfo> querySource(Connection& connection, const char* name);

// The name of the monitor source of the server's default sink (what the speakers play),
// or none: no sink, only the server's stand-in for none ("auto_null"), or no answer.
// Same conditions.
std::optional<std::string> queryDefaultSinkMonitor(Connection& connection);

}  // namespace talvora::platform::pulse
