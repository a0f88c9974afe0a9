#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/error.h"

namespace talvora::platform {

// Sample rate and channel count of a stream of 32-bit float samples. A rate of 0 means
// the device has no usable format.
struct AudioFormat {
  double sampleRate = 0;
  uint32_t channelCount = 0;
};

// The longest buffer an input node hands its tap in one call. Input that arrives faster
// than real time (a backlog handed over at once) is merged into buffers up to this long,
// so that it takes few hand-over slots; whoever copies what the tap gets sizes its
// buffers to it. 32768 frames: 0.68 s at 48 kHz, so a backlog of 1.5 s takes three.
inline constexpr uint32_t kMaxTapFrames = 32768;

// A block of frames delivered by the audio stack: one array of float samples per
// channel (not interleaved). The arrays belong to the deliverer and are valid only for
// the duration of the tap call. `channels` is null when the buffer offers no float
// channel data.
struct AudioBufferView {
  const float* const* channels = nullptr;
  uint32_t channelCount = 0;
  uint32_t frameLength = 0;
};

// An owned mono buffer of 32-bit float samples in the target format. Allocated once with
// a fixed capacity; its frame length can be set to anything up to that capacity.
class PcmBuffer {
 public:
  explicit PcmBuffer(uint32_t frameCapacity)
      : samples_(new float[frameCapacity == 0 ? 1 : frameCapacity]()), capacity_(frameCapacity) {}

  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  void setFrameLength(uint32_t frames) { length_ = frames <= capacity_ ? frames : capacity_; }
  float* data() { return samples_.get(); }
  const float* data() const { return samples_.get(); }

 private:
  std::unique_ptr<float[]> samples_;
  uint32_t capacity_;
  uint32_t length_ = 0;
};

// The microphone's input node: what a backend delivers is the microphone's own frames, in
// its own layout and rate. Everything done to them afterwards (mix-down, voice processing,
// metering) is the capture object's, so that every backend gets the same signal chain.
//
// Threads: every method is called from the main thread or the capture queue, never from
// the audio thread. The tap handler runs on the audio stack's own thread (the audio
// thread); it must not block.
class AudioInputNode {
 public:
  using TapHandler = std::function<void(const AudioBufferView&)>;
  // Called at most once, on a thread of the audio stack's choosing, when the input stops
  // delivering for good while the engine runs (the device was removed, or the sound
  // server went away and did not come back in time). The description says why.
  using InterruptionHandler = std::function<void(const std::string& description)>;

  virtual ~AudioInputNode() = default;

  // The format the tap will receive: the microphone's rate and channel count. The error
  // says why there is none (no sound server, no microphone, a format without a rate).
  virtual Result<AudioFormat> inputFormat() = 0;

  // `bufferSize` is a request, not a promise: buffers are shorter or longer, never
  // longer than kMaxTapFrames. The handler receives buffers with the format's channel
  // count, at its rate, once the engine runs, for as long as it runs: input the sound
  // system could not deliver for a while (its server restarting) arrives as silence of
  // that length, so that the buffers keep time with the clock.
  virtual void installTap(uint32_t bufferSize, TapHandler handler) = 0;

  // After it returns no handler call is running or starts. Safe to call repeatedly and
  // when no tap is installed.
  virtual void removeTap() = 0;

  virtual void setInterruptionHandler(InterruptionHandler handler) = 0;

  // The far end for echo cancellation: what the speakers play, and `delayMs`, the best
  // estimate at this delivery of how much later the microphone's frames carry a sound than
  // these frames do, from the two streams' latencies (see VoiceProcessor::processReference).
  using ReferenceTapHandler = std::function<void(const AudioBufferView& frames, double delayMs)>;

  // Asks for what the speakers play (the default sink's monitor) alongside the microphone.
  // Once the engine runs, the backend delivers those frames to the handler at the
  // microphone's rate, in any channel count, on the same audio thread as the microphone's
  // tap (never at the same time as it). The reference never holds the microphone up: while
  // the sink is idle or suspended nothing arrives, and when the reference stream is lost
  // its deliveries end while the microphone's go on. `removeTap` removes this tap too.
  // Returns false, and never calls the handler, when there is no reference to offer: no
  // sink, the microphone is itself the sink's monitor (cancelling it would cancel the
  // voice), or a backend that has none. Called before the engine starts.
  virtual bool installReferenceTap(ReferenceTapHandler handler) {
    (void)handler;
    return false;
  }
};

// The audio engine that owns the input node.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  // The same node on every call.
  virtual AudioInputNode& inputNode() = 0;

  virtual Status start() = 0;

  // Safe to call repeatedly and when the engine is not running.
  virtual void stop() = 0;
};

// The recording on disk: it takes mono 32-bit float samples at the rate it was created
// with, and stores them as its container does (float, 24-bit FLAC, or a lossy codec,
// converted to a rate the codec takes where it must). Encoding happens in `write`, on
// the writer's thread. Destroying the object closes the file and completes it.
//
// Threads: used from one thread at a time (created on the main thread, written and
// closed on the capture queue).
class AudioFile {
 public:
  virtual ~AudioFile() = default;
  // Appends the frames; the error's description is the operating system's own text
  // where the system reported the failure.
  virtual Status write(const float* samples, uint32_t frames) = 0;
};

class AudioFileFactory {
 public:
  virtual ~AudioFileFactory() = default;
  // Creates (or replaces) the file at `path` for writing audio in `format` (always mono
  // float). The container, and what it stores, follow the path's extension.
  virtual Result<std::unique_ptr<AudioFile>> createForWriting(const std::string& path,
                                                              AudioFormat format) = 0;
};

// Access to the audio input device.
class MicrophoneAccess {
 public:
  virtual ~MicrophoneAccess() = default;
  // Answers exactly once, on any thread, with whether access was granted.
  virtual void requestAccess(std::function<void(bool granted)> handler) = 0;
};

}  // namespace talvora::platform
