#pragma once

// The recorder's events as the client library hands them over: the protocol's parsed
// events (protocol/event_line.h) under the client's names.

#include "protocol/event_line.h"

namespace talvora::client {

using protocol::Error;
using protocol::Finished;
using protocol::Level;
using protocol::Ready;
using protocol::Unparsed;
using protocol::Warning;
using Event = protocol::ParsedEvent;

using protocol::kindName;
using protocol::parseEventLine;

}  // namespace talvora::client
