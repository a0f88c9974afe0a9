#include "cli/stop_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

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

bool listenForStop(int fd, int cancelFd) {
  LineReader reader;
  char chunk[4096];
  auto onLine = [](const std::string& line) { return !isStopLine(line); };
  while (true) {
    if (cancelFd >= 0) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) return false;
    }
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of input, or an input we cannot read: both mean stop
    if (!reader.feed(chunk, static_cast<size_t>(got), onLine)) return true;
  }
  reader.finish(onLine);
  return true;
}

StopTriggers::StopTriggers(int inputFd, const sigset_t& signals, std::function<void()> onStop)
    : onStop_(std::move(onStop)), signals_(signals) {
  if (::pipe2(cancel_, O_CLOEXEC) != 0) cancel_[0] = cancel_[1] = -1;
  listener_ = std::thread([this, inputFd] {
    if (listenForStop(inputFd, cancel_[0]) && !ending_.load()) onStop_();
    // Stay until the owner ends us. The recorder leaves with _exit once its file is
    // closed, usually long after the stop line; a thread that had already returned by
    // then would be one that nobody joined.
    if (cancel_[0] >= 0) {
      pollfd end = {cancel_[0], POLLIN, 0};
      while (::poll(&end, 1, -1) < 0 && errno == EINTR) {
      }
    }
  });
  signalTaker_ = std::thread([this] {
    while (true) {
      int received = 0;
      if (sigwait(&signals_, &received) != 0) continue;
      if (ending_.load()) return;
      onStop_();
    }
  });
}

StopTriggers::~StopTriggers() {
  ending_.store(true);
  // The listener wakes on the cancel pipe; the signal thread on one of its own signals,
  // sent to it alone, which it takes as the order to end.
  if (cancel_[1] >= 0) {
    char byte = 'x';
    [[maybe_unused]] ssize_t ignored = ::write(cancel_[1], &byte, 1);
  }
  int first = 0;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&signals_, signal) == 1) {
      first = signal;
      break;
    }
  }
  if (first != 0) pthread_kill(signalTaker_.native_handle(), first);
  listener_.join();
  signalTaker_.join();
  for (int fd : cancel_) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace talvora::cli
