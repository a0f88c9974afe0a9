#pragma once

#include <optional>
#include <string>

#include "events/event.h"

namespace talvora::events {

// Serializes a record as one line of compact JSON, line feed included. Returns none, and
// the reason in `failure`, when the record holds a value JSON cannot carry (a number that
// is not finite). Invalid UTF-8 in strings is replaced by U+FFFD, never a failure.
std::optional<std::string> serialize(const Event& event, std::string* failure);

// Writes one event line to standard output in a single write, retrying partial and
// interrupted writes; a closed output is ignored. May be called from any thread, holds
// no lock. A record that cannot be serialized ends the process with status 1 after the
// one standard-error line "Audio event serialization failed: …".
void emit(const Event& event);

// Writes all of `bytes` to `fd`, retrying partial and interrupted writes. False when the
// descriptor refuses (closed pipe, full disk); nothing is retried then.
bool writeAll(int fd, const std::string& bytes);

}  // namespace talvora::events
