#pragma once

// In-memory stand-ins for the platform layer. The test thread plays the audio thread
// (deliver), the speech service (answer, result) and the permission prompt; faults are
// injected by setting fields.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/voice_capture.h"
#include "protocol/event.h"
#include "platform/platform.h"

namespace talvora::testing {

class FakeInputNode final : public platform::AudioInputNode {
 public:
  platform::Result<platform::AudioFormat> inputFormat() override;
  void installTap(uint32_t bufferSize, TapHandler handler) override;
  void removeTap() override;
  void setInterruptionHandler(InterruptionHandler handler) override;
  bool installReferenceTap(ReferenceTapHandler handler) override;

  // Delivers one buffer to the tap, on the calling thread, as the audio thread would.
  // False when no tap is installed.
  bool deliver(const std::vector<std::vector<float>>& channels);
  bool deliverView(const platform::AudioBufferView& view);
  // The same for the reference tap.
  bool deliverReference(const std::vector<std::vector<float>>& channels, double delayMs);
  void interrupt(const std::string& description);

  // Script.
  platform::AudioFormat format{48000, 1};
  // No format at all, for this reason (a backend that cannot reach its server).
  std::optional<std::string> formatError;
  // Whether the input has the speakers' frames to offer.
  bool offersReference = false;

  // Observed.
  std::atomic<int> tapsInstalled{0};
  uint32_t requestedBufferSize = 0;

 private:
  std::mutex mutex_;
  TapHandler tap_;
  ReferenceTapHandler referenceTap_;
  InterruptionHandler interruption_;
};

class FakeEngine final : public platform::AudioEngine {
 public:
  platform::AudioInputNode& inputNode() override { return node; }
  platform::Status start() override;
  void stop() override { running = false; }

  FakeInputNode node;
  std::optional<std::string> refuseStart;
  std::atomic<bool> running{false};
  std::atomic<int> starts{0};
};

// Stands in for the voice processor: leaves the samples as they are (so the tests see
// exactly what was delivered) and counts what it was given.
class FakeVoiceProcessor final : public platform::VoiceProcessor {
 public:
  // What it was given; outlives the processor.
  struct Seen {
    std::atomic<long> frames{0};
    std::atomic<long> referenceFrames{0};
    std::atomic<float> referenceSum{0};
    std::atomic<double> delayMs{-1};
  };
  explicit FakeVoiceProcessor(Seen& seen) : seen_(seen) {}
  void process(float*, uint32_t frames) override { seen_.frames += frames; }
  void processReference(const float* samples, uint32_t frames, double delayMs) override;

 private:
  Seen& seen_;
};

class FakeAudioFile;

// Records what reaches each file it creates.
class FakeFiles final : public platform::AudioFileFactory {
 public:
  platform::Result<std::unique_ptr<platform::AudioFile>> createForWriting(const std::string& path,
                                                                          platform::AudioFormat format) override;
  std::vector<float> samples();
  bool closed();

  std::optional<std::string> refuseCreate;
  // The write with this index (0-based) and every later one fail with this text.
  std::optional<std::pair<int, std::string>> failWrite;

  std::mutex mutex;
  int created = 0;
  int writes = 0;
  std::string path;
  platform::AudioFormat format;
  std::vector<float> written;
  bool isClosed = false;
};

class FakeRequest final : public platform::SpeechRecognitionRequest {
 public:
  void append(const float* samples, uint32_t frames, double sampleRate) override;
  void endAudio() override { ++endAudioCalls; }
  std::atomic<int> appendedFrames{0};
  std::atomic<int> endAudioCalls{0};
};

class FakeTask final : public platform::SpeechRecognitionTask {
 public:
  explicit FakeTask(std::atomic<int>& cancels) : cancels_(cancels) {}
  void cancel() override { ++cancels_; }

 private:
  std::atomic<int>& cancels_;  // outlives the task, which the capture object may drop
};

class FakeSpeech final : public platform::SpeechService {
 public:
  void requestAuthorization(std::function<void(platform::SpeechAuthorizationStatus)> handler) override;
  std::unique_ptr<platform::SpeechRecognizer> makeRecognizer() override;
  std::shared_ptr<platform::SpeechRecognitionRequest> makeRequest(bool partial) override;

  // Answers the pending authorization request (from the calling thread).
  void answer(platform::SpeechAuthorizationStatus status);
  // Delivers a result and/or an error to the task's handler.
  void deliver(std::optional<platform::SpeechResult> result, std::optional<platform::Error> error);

  bool hasRecognizer = true;
  bool onDevice = true;

  std::mutex mutex;
  int authorizationRequests = 0;
  std::function<void(platform::SpeechAuthorizationStatus)> pendingAuthorization;
  platform::SpeechRecognizer::ResultHandler resultHandler;
  std::shared_ptr<FakeRequest> request;
  std::atomic<int> taskCancels{0};
  bool requestedPartial = false;
};

class FakeMicrophone final : public platform::MicrophoneAccess {
 public:
  void requestAccess(std::function<void(bool)> handler) override { handler(granted); }
  bool granted = true;
};

// Collects emitted events and the exit status; lets a test wait for either.
class EventLog {
 public:
  void add(const protocol::Event& event);
  void exit(int status);

  std::vector<protocol::Event> all();
  std::vector<protocol::Event> ofKind(const std::string& kind);
  // Waits (up to `seconds`) for the exit; returns its status or none.
  std::optional<int> waitForExit(double seconds);
  bool waitForKind(const std::string& kind, size_t count, double seconds);
  std::optional<int> exitStatus();
  double exitTime();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<protocol::Event> events_;
  std::optional<int> exit_;
  double exitTime_ = 0;
};

std::string kindOf(const protocol::Event& event);
std::string stringField(const protocol::Event& event, const std::string& key);
double numberField(const protocol::Event& event, const std::string& key);

// A capture object wired to fakes.
struct Rig {
  explicit Rig(double maximum = 1800, std::string output = "/tmp/fake.wav");
  ~Rig();

  std::shared_ptr<capture::VoiceCapture> capture;
  FakeEngine* engine = nullptr;  // owned by the capture
  std::shared_ptr<FakeFiles> files = std::make_shared<FakeFiles>();
  std::shared_ptr<FakeSpeech> speech = std::make_shared<FakeSpeech>();
  std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
  EventLog log;
  platform::AudioFormat format{48000, 1};
  std::optional<std::string> formatError;
  std::optional<std::string> refuseVoiceProcessing;
  std::optional<std::string> refuseStart;
  bool offersReference = false;
  // Observed: how often a voice processor was asked for (and with echo cancellation), and
  // what it processed.
  std::atomic<int> voiceProcessorRequests{0};
  std::atomic<int> echoCancellationRequests{0};
  FakeVoiceProcessor::Seen processed;

  // Builds the capture object with the scripted engine (call after scripting).
  void build();
  // Runs `work` on the capture queue and waits for it: everything queued before it has run.
  void drain();
  // Holds the capture queue until the returned function is called.
  std::function<void()> holdQueue();

  double maximum;
  std::string output;
};

}  // namespace talvora::testing
