#pragma once

#include <string>

#include "events/event.h"

namespace talvora::events {

// Writes one event line to standard output in a single write, retrying partial and
// interrupted writes; a closed output is ignored. May be called from any thread, holds
// no lock. A record that cannot be serialized ends the process with status 1 after the
// one standard-error line "Audio event serialization failed: …".
void emit(const Event& event);

// Writes all of `bytes` to `fd`, retrying partial and interrupted writes. False when the
// descriptor refuses (closed pipe, full disk); nothing is retried then.
bool writeAll(int fd, const std::string& bytes);

}  // namespace talvora::events
