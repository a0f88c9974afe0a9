#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

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

// Reads `fd` until a "stop" line or end of input (or a read error) and returns true, or
// until `cancelFd` (when not -1) becomes readable and returns false.
bool listenForStop(int fd, int cancelFd = -1);

// The parent's ways to stop a recording besides its maximum: the line "stop" or the end
// of standard input, and the stop signals (taken synchronously, outside any handler, so
// they run the same sequence as the line). Each waits on a thread of its own, owned here.
//
// Threads: construction and destruction on the main thread; `onStop` on the listener
// thread and on the signal thread (the capture object's requestStop may be called from
// any thread, and twice).
class StopTriggers {
 public:
  // `signals` must be blocked in every thread of the process already, so that only the
  // signal thread takes them.
  StopTriggers(int inputFd, const sigset_t& signals, std::function<void()> onStop);
  // Ends both threads without another call of `onStop`, and joins them.
  ~StopTriggers();
  StopTriggers(const StopTriggers&) = delete;
  StopTriggers& operator=(const StopTriggers&) = delete;

 private:
  const std::function<void()> onStop_;
  const sigset_t signals_;
  int cancel_[2] = {-1, -1};
  std::atomic<bool> ending_{false};
  std::thread listener_;
  std::thread signalTaker_;
};

}  // namespace talvora::cli
