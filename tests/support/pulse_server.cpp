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

constexpr const char* kMicrophone = "talvora_mic";
constexpr const char* kNullSink = "talvora_null";
constexpr int kStartTimeoutMs = 10000;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string randomBytes(size_t count) {
  std::random_device device;
  std::string bytes(count, '\0');
  for (auto& b : bytes) b = static_cast<char>(device() & 0xff);
  return bytes;
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
  SpawnOptions options;
  options.argv = argv;
  options.environment = environment;
  options.stdoutFd = fd;
  options.stderrFd = fd;
  pid_t pid = spawn(options);
  std::optional<int> status = waitForExit(pid, timeoutMs);
  if (!status) {
    ::kill(pid, SIGKILL);
    waitForExit(pid, 5000);
  }
  if (output) {
    output->clear();
    ::lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return status ? *status : -1;
}

PulseServer::PulseServer(PulseServerOptions options) : options_(std::move(options)) {
  directory_ = makeTemporaryDirectory("talvora-pulse", 0755);
  socket_ = directory_ + "/native";
  fifo_ = directory_ + "/microphone.fifo";
  cookie_ = directory_ + "/cookie";
  logPath_ = directory_ + "/server.log";
  try {
    start();
    waitUntilAnswering();
  } catch (...) {
    reap(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw;
  }
}

PulseServer::~PulseServer() {
  reap(SIGTERM);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void PulseServer::start() {
  for (const char* sub : {"/home", "/runtime", "/state", "/config", "/client-home", "/client-runtime"}) {
    std::filesystem::create_directories(directory_ + sub);
  }
  ::chmod((directory_ + "/runtime").c_str(), 0700);
  ::chmod((directory_ + "/client-runtime").c_str(), 0700);
  writeFile(cookie_, randomBytes(256), 0600);

  std::ostringstream script;
  script << "load-module module-native-protocol-unix socket=" << socket_;
  if (options_.requireCookie) {
    script << " auth-anonymous=0 auth-cookie-enabled=1 auth-cookie=" << cookie_;
  } else {
    script << " auth-anonymous=1";
  }
  script << "\n";
  if (options_.microphone) {
    script << "load-module module-pipe-source source_name=" << kMicrophone << " file=" << fifo_
           << " format=" << options_.sampleFormat << " rate=" << options_.rate << " channels=" << options_.channels
           << "\n";
  }
  if (options_.nullSink) {
    script << "load-module module-null-sink sink_name=" << kNullSink << " rate=" << options_.rate
           << " channels=" << options_.channels << "\n";
  }
  if (options_.microphone && !options_.monitorIsDefault) {
    script << "set-default-source " << kMicrophone << "\n";
  } else if (options_.nullSink) {
    script << "set-default-source " << kNullSink << ".monitor\n";
  }
  const std::string scriptPath = directory_ + "/server.pa";
  writeFile(scriptPath, script.str(), 0644);

  const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) fail("cannot create the server log");
  SpawnOptions spawnOptions;
  // As root PulseAudio warns and carries on; everything it would keep per user goes to
  // the private directory. No D-Bus, no real-time scheduling, no idle exit, no pid file
  // (a second test server must not find the first one's).
  spawnOptions.argv = {"pulseaudio",
                       "--daemonize=no",
                       "--system=no",
                       "-n",
                       "--file=" + scriptPath,
                       "--exit-idle-time=-1",
                       "--disallow-exit",
                       "--use-pid-file=no",
                       "--high-priority=no",
                       "--realtime=no",
                       "--no-cpu-limit",
                       "--log-target=stderr",
                       "--log-level=info"};
  spawnOptions.environment = {
      {"HOME", directory_ + "/home"},
      {"XDG_RUNTIME_DIR", directory_ + "/runtime"},
      {"PULSE_RUNTIME_PATH", directory_ + "/runtime"},
      {"PULSE_STATE_PATH", directory_ + "/state"},
      {"XDG_CONFIG_HOME", directory_ + "/config"},
      {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
      {"LANG", "C"},
  };
  spawnOptions.stdoutFd = log;
  spawnOptions.stderrFd = log;
  spawnOptions.workingDirectory = directory_;
  spawnOptions.dieWithParent = true;
  pid_ = spawn(spawnOptions);
  ::close(log);
}

void PulseServer::waitUntilAnswering() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  std::string output;
  while (true) {
    if (auto status = waitForExit(pid_, 0)) {
      pid_ = -1;
      fail("the server exited with status " + std::to_string(*status) + " while starting");
    }
    if (::access(socket_.c_str(), F_OK) == 0) {
      int status = runCommand({"pactl", "info"}, clientEnvironment(), &output, 5000);
      if (status == 0) {
        const std::string expected = "Default Source: " + sourceName();
        if (options_.microphone || options_.nullSink) {
          if (output.find(expected) == std::string::npos) fail("the server runs without the expected default source:\n" + output);
        }
        return;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) fail("the server did not answer within 10 s; pactl said: " + output);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void PulseServer::fail(const std::string& what) {
  throw std::runtime_error("Private PulseAudio server in " + directory_ + ": " + what + "\n--- server log ---\n" + log());
}

void PulseServer::reap(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  if (!waitForExit(pid_, 5000)) {
    ::kill(pid_, SIGKILL);
    waitForExit(pid_, 5000);
  }
  pid_ = -1;
}

void PulseServer::kill() { reap(SIGKILL); }

void PulseServer::restart() {
  reap(SIGKILL);
  // The pipe source refuses a FIFO that is already there, and one left by a killed
  // server may still hold what it was fed.
  ::unlink(fifo_.c_str());
  start();
  waitUntilAnswering();
}

Microphone PulseServer::microphone() const {
  return Microphone{kMicrophone, fifo_, options_.rate, options_.channels, options_.sampleFormat};
}

Microphone PulseServer::addMicrophone(const std::string& source, unsigned rate, unsigned channels) {
  Microphone added{source, directory_ + "/" + source + ".fifo", rate, channels, "float32le"};
  pactl({"load-module", "module-pipe-source", "source_name=" + source, "file=" + added.fifo,
         "format=" + added.sampleFormat, "rate=" + std::to_string(rate), "channels=" + std::to_string(channels)});
  return added;
}

std::string PulseServer::sourceName() const {
  if (options_.microphone && !options_.monitorIsDefault) return kMicrophone;
  if (options_.nullSink) return std::string(kNullSink) + ".monitor";
  return "";
}

std::string PulseServer::nullSinkName() const { return kNullSink; }

size_t PulseServer::frameBytes() const { return microphone().frameBytes(); }

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
