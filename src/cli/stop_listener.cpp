#include "cli/stop_listener.h"

#include <cerrno>
#include <unistd.h>

namespace talvora::cli {
namespace {

std::string withoutTerminator(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool LineReader::feed(const char* data, size_t size, const std::function<bool(const std::string&)>& onLine) {
  for (size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (c == '\n') {
      bool keepGoing = true;
      if (!overlong_) keepGoing = onLine(withoutTerminator(std::move(line_)));
      line_.clear();
      overlong_ = false;
      if (!keepGoing) return false;
      continue;
    }
    if (overlong_) continue;
    if (line_.size() >= limit_) {
      overlong_ = true;
      line_.clear();
      line_.shrink_to_fit();
      continue;
    }
    line_.push_back(c);
  }
  return true;
}

void LineReader::finish(const std::function<bool(const std::string&)>& onLine) {
  if (!overlong_ && !line_.empty()) onLine(withoutTerminator(std::move(line_)));
  line_.clear();
  overlong_ = false;
}

void listenForStop(int fd) {
  LineReader reader;
  char chunk[4096];
  auto onLine = [](const std::string& line) { return !isStopLine(line); };
  while (true) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of input, or an input we cannot read: both mean stop
    if (!reader.feed(chunk, static_cast<size_t>(got), onLine)) return;
  }
  reader.finish(onLine);
}

}  // namespace talvora::cli
