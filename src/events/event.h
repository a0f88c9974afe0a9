#pragma once

// The recorder's code builds the records it emits as events::Event, events::errorEvent(…)
// and the like: they are the protocol's own (protocol/event.h).

#include "protocol/event.h"

namespace talvora::events {
using namespace protocol;
}  // namespace talvora::events
