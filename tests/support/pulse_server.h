#pragma once

// A private sound server for tests, started by scripts/sound-server.sh (the one launcher
// the tests, the benchmarks and the demo share) in a temporary directory of its own, with a
// virtual microphone that is the default source: a FIFO the test writes audio into
// (module-pipe-source). PulseAudio, or PipeWire with its PulseAudio service: the kind the
// options name, else the one TALVORA_SOUND_SERVER names ("pulse" or "pipewire"), else
// PulseAudio. Nothing on the machine is touched and no hardware is needed.
//
// Construction waits until the server answers; a server that cannot start throws with
// its log, so a test that needs it fails loudly instead of skipping. The server is
// killed with the thread that created it, so create it on the test's own thread.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace talvora::client {
class ChildProcess;
}  // namespace talvora::client

namespace talvora::testing {

using Environment = std::map<std::string, std::string>;

enum class ServerKind { fromEnvironment, pulse, pipewire };

// The kind TALVORA_SOUND_SERVER names for this test run ("pipewire", else PulseAudio).
ServerKind serverKindOfThisRun();
const char* serverKindName(ServerKind kind);

struct PulseServerOptions {
  ServerKind kind = ServerKind::fromEnvironment;
  // The virtual microphone: its native format is what the recorder must report.
  unsigned rate = 48000;
  unsigned channels = 2;
  // What the FIFO carries: "float32le" or "s16le".
  std::string sampleFormat = "float32le";
  // False: no pipe source at all (a server without a microphone, unless the null sink's
  // monitor is there).
  bool microphone = true;
  // The native protocol admits only clients that present the right cookie (or, like
  // the root test process, the server's own user id). Otherwise anyone may connect.
  // PulseAudio only.
  bool requireCookie = false;
  // A null sink, whose monitor is a source that runs on the real-time clock.
  bool nullSink = false;
  // Make the null sink's monitor the default source instead of the pipe source.
  bool monitorIsDefault = false;
  // Instead of the pipe source, a room with an echo (PulseAudio only): the microphone
  // hears the sink "voice" (paplay --device=voice) and, through a 100 ms loopback and
  // quieter, the default sink "speakers" (see scripts/sound-server.sh --microphone echo).
  bool echoRoom = false;
};

// A virtual microphone: a source whose audio is what the test writes into its FIFO.
struct Microphone {
  std::string source;
  std::string fifo;
  unsigned rate = 48000;
  unsigned channels = 2;
  std::string sampleFormat = "float32le";
  // PulseAudio's pipe source waits for the writer, so it delivers exactly what was
  // written; PipeWire's runs on the graph clock and hears silence while the FIFO is empty.
  bool waitsForTheFeeder = true;
  size_t frameBytes() const { return channels * (sampleFormat == "s16le" ? 2u : 4u); }
};

class PulseServer {
 public:
  explicit PulseServer(PulseServerOptions options = {});
  ~PulseServer();

  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  const PulseServerOptions& options() const { return options_; }
  ServerKind kind() const { return options_.kind; }
  // PipeWire's pipe source runs on the graph clock and hears silence while the FIFO is
  // empty; PulseAudio's waits for the writer, so what it delivers is exactly what was
  // written.
  bool microphoneWaitsForTheFeeder() const { return options_.kind == ServerKind::pulse; }
  // The private temporary directory (mode 0755, so other users reach the socket).
  const std::string& directory() const { return directory_; }
  const std::string& socketPath() const { return socket_; }
  std::string address() const { return "unix:" + socket_; }
  const std::string& fifoPath() const { return fifo_; }
  // The cookie the server accepts; readable by root only.
  const std::string& cookiePath() const { return cookie_; }
  // The default source's name.
  std::string sourceName() const;
  // The null sink's name (when the options ask for one).
  std::string nullSinkName() const;
  size_t frameBytes() const;
  // The microphone of the options (whether or not it is the default source).
  Microphone microphone() const;
  // Another microphone, loaded while the server runs (pactl, so either kind of server
  // takes it); gone when the server restarts.
  Microphone addMicrophone(const std::string& source, unsigned rate, unsigned channels);

  // What a client process needs to reach this server and nothing else: PULSE_SERVER,
  // PULSE_COOKIE, a HOME and runtime directory of its own, PATH and a C locale.
  Environment clientEnvironment() const;

  // The server's own log so far.
  std::string log() const;

  // Runs pactl against this server; throws with its output when it fails.
  std::string pactl(const std::vector<std::string>& arguments) const;

  // Kills the server's processes outright, as a crash would.
  void kill();
  // A new server in the same place, with the same microphone and socket (a server that
  // came back after a crash or an update), started `away` after the old one stopped. A
  // feeder must open the FIFO again.
  void restart(std::chrono::milliseconds away = std::chrono::milliseconds(0));
  bool running() const { return !serverPids_.empty(); }
  // The process that serves the PulseAudio protocol (pulseaudio, or pipewire-pulse).
  pid_t pid() const { return serverPids_.empty() ? -1 : serverPids_.front(); }

 private:
  void start(bool again);
  [[noreturn]] void fail(const std::string& what);
  void stopSupervisor();

  PulseServerOptions options_;
  std::string directory_;
  std::string socket_;
  std::string source_;
  std::string fifo_;
  std::string cookie_;
  std::string logPath_;
  std::unique_ptr<client::ChildProcess> supervisor_;
  std::vector<pid_t> serverPids_;
};

// Runs `argv` with exactly `environment`, waits at most `timeoutMs`, and returns its exit
// status with standard output and error combined in `output`. -1 on timeout (the
// process is killed).
int runCommand(const std::vector<std::string>& argv, const Environment& environment, std::string* output,
               int timeoutMs = 10000);

// Writes `bytes` to `path` with `mode`.
void writeFile(const std::string& path, const std::string& bytes, unsigned mode);

// A new private directory under /tmp with `mode`; the caller removes it.
std::string makeTemporaryDirectory(const std::string& prefix, unsigned mode);

}  // namespace talvora::testing
