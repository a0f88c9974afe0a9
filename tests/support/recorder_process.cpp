#include "support/recorder_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/spawn.h"

#ifndef TALVORA_AUDIO_BINARY
#error "TALVORA_AUDIO_BINARY must name the recorder binary"
#endif

namespace talvora::testing {

std::string recorderBinary() { return TALVORA_AUDIO_BINARY; }

RecorderProcess::RecorderProcess(RecorderOptions options) {
  // A recorder that has exited closes its input; writing "stop" to it then must fail
  // the write, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  SpawnOptions spawnOptions;
  spawnOptions.argv = options.launcher;
  spawnOptions.argv.push_back(recorderBinary());
  spawnOptions.argv.insert(spawnOptions.argv.end(), options.operands.begin(), options.operands.end());
  spawnOptions.environment = std::move(options.environment);
  spawnOptions.stdinFd = in[0];
  spawnOptions.stdoutFd = out[1];
  spawnOptions.stderrFd = err[1];
  spawnOptions.uid = options.uid;
  spawnOptions.gid = options.gid;
  spawnOptions.workingDirectory = options.workingDirectory;
  started_ = Clock::now();
  pid_ = spawn(spawnOptions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  outputReader_ = std::thread([this, fd = out[0]] { readLines(fd); });
  errorReader_ = std::thread([this, fd = err[0]] { readError(fd); });
}

RecorderProcess::~RecorderProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    talvora::testing::waitForExit(pid_, 5000);
  }
  if (input_ >= 0) ::close(input_);
  if (outputReader_.joinable()) outputReader_.join();
  if (errorReader_.joinable()) errorReader_.join();
}

void RecorderProcess::readLines(int fd) {
  std::string pending;
  char buffer[4096];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(mutex_);
      lines_.push_back(pending.substr(0, newline));
      pending.erase(0, newline + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  // An unterminated last line is still a line, and it will fail to parse if it is cut.
  if (!pending.empty()) lines_.push_back(pending + "\x01unterminated");
  outputClosed_ = true;
  changed_.notify_all();
}

void RecorderProcess::readError(int fd) {
  char buffer[4096];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard lock(mutex_);
    error_.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  errorClosed_ = true;
  changed_.notify_all();
}

std::optional<RecorderProcess::Json> RecorderProcess::nextEvent(std::chrono::milliseconds timeout) {
  std::string line;
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !lines_.empty() || outputClosed_; })) {
      throw std::runtime_error("no event within " + std::to_string(timeout.count()) + " ms; events so far: " +
                               describeEvents());
    }
    if (lines_.empty()) return std::nullopt;
    line = std::move(lines_.front());
    lines_.pop_front();
  }
  Json event = Json::parse(line, nullptr, false);
  if (event.is_discarded() || !event.is_object() || !event.contains("event") || !event["event"].is_string()) {
    throw std::runtime_error("standard output line is not a JSON event: \"" + line + "\"");
  }
  events_.push_back(event);
  times_.push_back(Clock::now());
  return event;
}

RecorderProcess::Json RecorderProcess::waitForEvent(const std::string& kind, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    std::optional<Json> event;
    try {
      event = nextEvent(left);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("waiting for \"" + kind + "\": " + e.what() + "\nstandard error: " + standardError());
    }
    if (!event) {
      throw std::runtime_error("output ended before a \"" + kind + "\" event; events: " + describeEvents() +
                               "\nstandard error: " + standardError());
    }
    if ((*event)["event"] == kind) return *event;
  }
}

void RecorderProcess::readToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    if (!nextEvent(left)) return;
  }
}

std::vector<RecorderProcess::Json> RecorderProcess::eventsOfKind(const std::string& kind) const {
  std::vector<Json> found;
  for (const auto& e : events_) {
    if (e["event"] == kind) found.push_back(e);
  }
  return found;
}

std::string RecorderProcess::describeEvents() const {
  std::string text;
  for (const auto& e : events_) {
    if (e["event"] == "level") continue;
    text += e.dump() + " ";
  }
  return text.empty() ? "(none besides level)" : text;
}

void RecorderProcess::write(const std::string& text) {
  if (input_ < 0) throw std::runtime_error("standard input is closed");
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = ::write(input_, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw std::runtime_error(std::string("writing to the recorder: ") + std::strerror(errno));
    done += static_cast<size_t>(put);
  }
}

void RecorderProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void RecorderProcess::signal(int number) {
  if (!status_) ::kill(pid_, number);
}

int RecorderProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  status_ = talvora::testing::waitForExit(pid_, static_cast<int>(timeout.count()));
  if (!status_) {
    ::kill(pid_, SIGKILL);
    status_ = talvora::testing::waitForExit(pid_, 5000);
    throw std::runtime_error("the recorder did not exit within " + std::to_string(timeout.count()) +
                             " ms (killed); events: " + describeEvents());
  }
  return *status_;
}

std::string RecorderProcess::standardError() {
  std::unique_lock lock(mutex_);
  if (status_) changed_.wait_for(lock, std::chrono::seconds(5), [this] { return errorClosed_; });
  return error_;
}

}  // namespace talvora::testing
