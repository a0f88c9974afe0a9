#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/spawn.h"

namespace talvora::testing {
namespace {

constexpr int kStartTimeoutMs = 15000;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

void writeFile(const std::string& path, const std::string& bytes, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    done += static_cast<size_t>(put);
  }
  ::fchmod(fd, mode);  // The umask does not get a say.
  ::close(fd);
}

std::string makeTemporaryDirectory(const std::string& prefix, unsigned mode) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  ::chmod(pattern.c_str(), mode);
  return pattern;
}

int runCommand(const std::vector<std::string>& argv, const Environment& environment, std::string* output,
               int timeoutMs) {
  // Output goes to an unlinked temporary file: no reader thread, no pipe to fill up.
  char name[] = "/tmp/talvora-command-XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  ChildOptions options = testProgram(argv, environment);
  options.output = options.error = ChildStream::descriptor(fd);
  std::optional<client::ChildExit> exit;
  {
    ChildProcess command(options);  // killed and reaped on the way out if it is still running
    exit = command.waitFor(std::chrono::milliseconds(timeoutMs));
  }
  if (output) {
    output->clear();
    ::lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return exit ? exit->code() : -1;
}

ServerKind serverKindOfThisRun() {
  const char* kind = std::getenv("TALVORA_SOUND_SERVER");
  return kind && std::string(kind) == "pipewire" ? ServerKind::pipewire : ServerKind::pulse;
}

const char* serverKindName(ServerKind kind) {
  if (kind == ServerKind::fromEnvironment) kind = serverKindOfThisRun();
  return kind == ServerKind::pipewire ? "pipewire" : "pulse";
}

PulseServer::PulseServer(PulseServerOptions options) : options_(std::move(options)) {
  if (options_.kind == ServerKind::fromEnvironment) options_.kind = serverKindOfThisRun();
  directory_ = makeTemporaryDirectory("talvora-sound", 0755);
  fifo_ = directory_ + "/microphone.fifo";
  cookie_ = directory_ + "/cookie";
  logPath_ = directory_ + "/server.log";
  try {
    start(false);
  } catch (...) {
    stopSupervisor();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw;
  }
}

PulseServer::~PulseServer() {
  stopSupervisor();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void PulseServer::start(bool again) {
  std::vector<std::string> argv = {"bash", TALVORA_SOUND_SERVER_SCRIPT, "--kind", serverKindName(options_.kind),
                                   "--microphone", options_.echoRoom ? "echo" : options_.microphone ? "pipe" : "none",
                                   "--rate", std::to_string(options_.rate), "--channels",
                                   std::to_string(options_.channels), "--format", options_.sampleFormat};
  if (options_.nullSink) argv.push_back("--null-sink");
  if (options_.monitorIsDefault) argv.push_back("--monitor-default");
  if (options_.requireCookie) argv.push_back("--require-cookie");
  if (again) argv.push_back("--again");
  argv.push_back(directory_);

  const std::string readyPath = directory_ + "/ready";
  ::unlink(readyPath.c_str());
  const int log = ::open((directory_ + "/supervisor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) fail("cannot create the supervisor's log");
  ChildOptions spawnOptions = testProgram(argv, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"LANG", "C"}});
  spawnOptions.output = spawnOptions.error = ChildStream::descriptor(log);
  spawnOptions.workingDirectory = directory_;
  spawnOptions.dieWithThread = true;
  try {
    supervisor_ = std::make_unique<ChildProcess>(spawnOptions);
  } catch (...) {
    ::close(log);
    throw;
  }
  ::close(log);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (::access(readyPath.c_str(), F_OK) != 0) {
    if (supervisor_->hasExited()) {
      supervisor_.reset();
      fail("it did not start");
    }
    if (std::chrono::steady_clock::now() >= deadline) fail("it did not answer within 15 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // PULSE_SERVER=unix:..., SOURCE=..., SERVER_PIDS="..."
  std::istringstream ready(readAll(readyPath));
  std::string line;
  serverPids_.clear();
  while (std::getline(ready, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key == "PULSE_SERVER") socket_ = value.substr(5);
    if (key == "SOURCE") source_ = value;
    if (key == "SERVER_PIDS") {
      std::istringstream pids(value.substr(1, value.size() - 2));
      pid_t pid;
      while (pids >> pid) serverPids_.push_back(pid);
    }
  }
  if (socket_.empty() || serverPids_.empty()) fail("its ready file says too little: " + readAll(readyPath));
}

void PulseServer::fail(const std::string& what) {
  throw std::runtime_error(std::string("Private ") + serverKindName(options_.kind) + " server in " + directory_ +
                           ": " + what + "\n--- supervisor ---\n" + readAll(directory_ + "/supervisor.log") +
                           "\n--- server log ---\n" + log());
}

void PulseServer::stopSupervisor() {
  if (!supervisor_) return;
  // It ends every process it started; what does not end within five seconds is killed
  // and reaped with the object (its processes die with it).
  supervisor_->kill(SIGTERM);
  supervisor_->waitFor(std::chrono::seconds(5));
  supervisor_.reset();
  serverPids_.clear();
}

void PulseServer::kill() {
  for (pid_t pid : serverPids_) ::kill(pid, SIGKILL);
  serverPids_.clear();
}

void PulseServer::restart(std::chrono::milliseconds away) {
  stopSupervisor();
  std::this_thread::sleep_for(away);
  start(true);
}

std::string PulseServer::sourceName() const { return source_; }

std::string PulseServer::nullSinkName() const { return "talvora_null"; }

size_t PulseServer::frameBytes() const { return microphone().frameBytes(); }

Microphone PulseServer::microphone() const {
  return Microphone{"talvora_mic", fifo_, options_.rate, options_.channels, options_.sampleFormat,
                    microphoneWaitsForTheFeeder()};
}

Microphone PulseServer::addMicrophone(const std::string& source, unsigned rate, unsigned channels) {
  Microphone added{source, directory_ + "/" + source + ".fifo", rate, channels, "float32le",
                   microphoneWaitsForTheFeeder()};
  pactl({"load-module", "module-pipe-source", "source_name=" + source, "file=" + added.fifo,
         "format=" + added.sampleFormat, "rate=" + std::to_string(rate), "channels=" + std::to_string(channels)});
  return added;
}

Environment PulseServer::clientEnvironment() const {
  return {
      {"PULSE_SERVER", address()},
      {"PULSE_COOKIE", cookie_},
      {"HOME", directory_ + "/client-home"},
      {"XDG_RUNTIME_DIR", directory_ + "/client-runtime"},
      {"XDG_CONFIG_HOME", directory_ + "/client-home/.config"},
      {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
      {"LANG", "C"},
  };
}

std::string PulseServer::log() const { return readAll(logPath_); }

std::string PulseServer::pactl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string output;
  int status = runCommand(argv, clientEnvironment(), &output, 10000);
  if (status != 0) {
    std::string command;
    for (const auto& a : argv) command += a + " ";
    throw std::runtime_error("'" + command + "' failed with status " + std::to_string(status) + ": " + output);
  }
  return output;
}

}  // namespace talvora::testing
