#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "protocol/operands.h"

namespace talvora::cli {

// Splits a byte stream into lines without ever holding more than `limit` bytes of one
// line: a longer line is dropped whole (it cannot be "stop"), so a parent that writes
// megabytes without a line feed cannot grow our memory.
class LineReader {
 public:
  explicit LineReader(size_t limit = 4096) : limit_(limit) {}

  // Feeds bytes; calls `onLine` for each complete line with its terminator ("\n", or
  // "\r\n") removed. Returns false as soon as `onLine` returns false.
  bool feed(const char* data, size_t size, const std::function<bool(const std::string&)>& onLine);
  // End of input: a last line without a line feed is a line too.
  void finish(const std::function<bool(const std::string&)>& onLine);

 private:
  size_t limit_;
  std::string line_;
  bool overlong_ = false;
};

// True for the one line that stops the recording.
inline bool isStopLine(const std::string& line) { return line == protocol::kStopLine; }

// Reads `fd` until a "stop" line or end of input (or a read error), then returns.
void listenForStop(int fd);

}  // namespace talvora::cli
