#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/handover_pool.h"
#include "capture/signal_chain.h"
#include "protocol/event.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/platform.h"
#include "transcription/local_speech.h"

namespace talvora::capture {

// The recording itself: owns the audio engine, the output file, the speech request and
// task, the meter timer and the serial capture queue on which nearly all of its state
// lives.
//
// The voice's way: the engine's input node delivers the microphone's frames to the tap
// (audio thread), which takes one of the `slots`, runs the signal chain (mix-down, voice
// processing, level) into that slot's buffer and posts it to `queue`, where `consume`
// writes it to the file and feeds the recognizer. When the input also offers what the
// speakers play (its reference tap), those frames arrive on the same audio thread and go
// through the chain to the processor as the far end of echo cancellation.
//
// Threads. `start` runs on the main thread; `requestStop` on any thread; the tap handler
// on the audio thread; everything else on `queue`. Apart from the constants, the only
// state shared across threads is `slots` and `overflowed` (under `overflowLock`).
class VoiceCapture : public std::enable_shared_from_this<VoiceCapture> {
 public:
  using Clock = std::chrono::steady_clock;

  // How the object reaches the outside world besides the platform: tests substitute
  // both to observe events and the exit status in process.
  struct Environment {
    std::function<void(const protocol::Event&)> emit;
    std::function<void(int status)> exit;
  };

  static constexpr uint32_t kSlotCount = 8;
  static constexpr uint32_t kTapBufferSize = 2048;
  // Each slot's copy buffer holds the longest buffer an input node delivers, and the
  // voice processor takes it in one block, so that a merged backlog allocates nothing.
  // A longer delivery (from a backend that breaks the rule) gets a buffer of its own,
  // allocated on the spot.
  static constexpr uint32_t kPoolFrames = platform::kMaxTapFrames;

  static std::shared_ptr<VoiceCapture> create(std::string output, double maximum, platform::Platform platform,
                                              Environment environment);
  ~VoiceCapture();

  VoiceCapture(const VoiceCapture&) = delete;
  VoiceCapture& operator=(const VoiceCapture&) = delete;

  // The start sequence. Main thread; called once. Returns the failure to report.
  platform::Status start(bool transcribe);

  enum class StartOutcome { started, skipped, failed };
  // What the permission handler calls: runs `start` while the capture queue is held, and
  // only if no stop has been handled yet, so a stop that raced the permission answer is
  // final (no file is created and no "ready" follows it).
  StartOutcome startUnlessStopped(bool transcribe, platform::Error* failure);

  // Any thread: queues the stop sequence and returns at once.
  void requestStop();

  platform::SerialQueue& captureQueue() { return queue; }

 private:
  VoiceCapture(std::string output, double maximum, platform::Platform platform, Environment environment);

  // Audio thread.
  void tap(const platform::AudioBufferView& buffer, uint32_t channels);
  void overflow();
  // Queue.
  void stop();
  void finish(double duration);
  void consume(const float* samples, uint32_t frames, float bufferLevel);
  void tick();
  void inputStopped(const std::string& description);

  // Constants.
  platform::Platform platform;
  Environment environment;
  std::unique_ptr<platform::AudioEngine> engine;
  HandoverPool slots;
  std::mutex overflowLock;
  const std::string output;
  const double maximum;
  std::unique_ptr<platform::QueueNode> overflowReport;

  // Set by `start` before the engine runs, then only read.
  SignalChain chain;
  double sampleRate = 0;

  // Under overflowLock.
  bool overflowed = false;

  // Queue state (set up by `start` on the main thread before the engine runs).
  std::unique_ptr<platform::AudioFile> file;
  // The speech request, its task and the transcript.
  transcription::LocalSpeech speech;
  std::unique_ptr<platform::RepeatingTimer> timer;
  Clock::time_point started;
  Clock::time_point lastVoice;
  // The level of the last buffer, shown until `levelUntil`: once deliveries are missing
  // (or the input is reported stopped) the meter reads silence.
  float level = 0;
  Clock::time_point levelUntil;
  bool stopped = false;
  bool inputLossReported = false;

  // Declared last so that it is destroyed first: its thread is joined before anything
  // its pending items refer to goes away.
  platform::SerialQueue queue{"talvora.voice.capture"};
};

}  // namespace talvora::capture
