#include "events/emit.h"

#include <cerrno>
#include <unistd.h>

#include "platform/process.h"
#include "protocol/event_line.h"

namespace talvora::events {

bool writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

void emit(const Event& event) {
  std::string failure;
  auto line = protocol::serialize(event, &failure);
  if (!line) {
    writeAll(STDERR_FILENO, "Audio event serialization failed: " + failure + "\n");
    platform::exitProcess(1);
  }
  // A parent that closed its end makes this fail with EPIPE (SIGPIPE is ignored): the
  // recording goes on regardless, so the file is still closed properly.
  writeAll(STDOUT_FILENO, *line);
}

}  // namespace talvora::events
