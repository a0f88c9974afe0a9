#include "support/recorder_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifndef TALVORA_AUDIO_BINARY
#error "TALVORA_AUDIO_BINARY must name the recorder binary"
#endif

namespace talvora::testing {

std::string recorderBinary() { return TALVORA_AUDIO_BINARY; }

RecorderProcess::RecorderProcess(RecorderOptions options) {
  // As a parent application that ignores SIGPIPE: writes to a pipe whose reader has
  // gone fail instead of killing the test, and the recorders inherit the ignored signal
  // (a drill that wants the default action starts them through a launcher).
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv = options.launcher;
  argv.push_back(recorderBinary());
  argv.insert(argv.end(), options.operands.begin(), options.operands.end());
  ChildOptions spawnOptions = testProgram(std::move(argv), options.environment);
  spawnOptions.input = spawnOptions.output = spawnOptions.error = ChildStream::pipe();
  spawnOptions.uid = options.uid;
  spawnOptions.gid = options.gid;
  spawnOptions.workingDirectory = options.workingDirectory;
  started_ = Clock::now();
  child_ = std::make_unique<ChildProcess>(spawnOptions);
  outputReader_ = std::thread([this, fd = child_->output()] { readLines(fd); });
  errorReader_ = std::thread([this, fd = child_->error()] { readError(fd); });
}

RecorderProcess::~RecorderProcess() {
  child_->kill(SIGKILL);  // nothing once it has exited
  child_->wait();
  child_->closeInput();
  // The pipes' ends close with the child object, once nothing reads them any more.
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
  if (!child_->write(text)) throw std::runtime_error(std::string("writing to the recorder: ") + std::strerror(errno));
}

void RecorderProcess::closeInput() { child_->closeInput(); }

void RecorderProcess::signal(int number) { child_->kill(number); }

int RecorderProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  if (auto exit = child_->waitFor(timeout)) status_ = exit->code();
  if (!status_) {
    child_->kill(SIGKILL);
    status_ = child_->wait().code();
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
