#include "capture/voice_capture.h"

#include <cmath>

namespace talvora::capture {

using platform::AudioBufferView;
using platform::AudioFormat;
using platform::Error;
using platform::Status;

namespace {

// How long past its own duration a buffer's level is shown while the next is awaited.
constexpr auto kLevelGrace = std::chrono::milliseconds(300);

class OverflowReport final : public platform::QueueNode {
 public:
  explicit OverflowReport(std::function<void()> work) : work_(std::move(work)) {}
  void run() override { work_(); }
  void release() override {}

 private:
  std::function<void()> work_;
};

}  // namespace

std::shared_ptr<VoiceCapture> VoiceCapture::create(std::string output, double maximum,
                                                   platform::Platform platform, Environment environment) {
  return std::shared_ptr<VoiceCapture>(
      new VoiceCapture(std::move(output), maximum, std::move(platform), std::move(environment)));
}

VoiceCapture::VoiceCapture(std::string output, double maximum, platform::Platform platform,
                           Environment environment)
    : platform(std::move(platform)),
      environment(std::move(environment)),
      engine(this->platform.makeEngine()),
      slots(kSlotCount, kPoolFrames,
            [this](const float* samples, uint32_t frames, float level) { consume(samples, frames, level); }),
      output(std::move(output)),
      maximum(maximum),
      speech(this->platform.speech,
             [this](const std::string& message) { this->environment.emit(protocol::warningEvent(message)); }),
      started(Clock::now()),
      lastVoice(started) {
  // The overflow report is prepared here because it is posted from the audio thread.
  // It runs at most once (the latch), so it needs no strong reference of its own: the
  // queue that runs it is joined before this object goes away.
  overflowReport = std::make_unique<OverflowReport>([this] {
    this->environment.emit(protocol::errorEvent(protocol::kStorageCannotKeepUp));
    stop();
  });
}

VoiceCapture::~VoiceCapture() {
  // The audio thread must be done with us before any member goes.
  engine->inputNode().removeTap();
  engine->stop();
}

// ---------------------------------------------------------------------------------------
// Start sequence (main thread).

Status VoiceCapture::start(bool transcribe) {
  platform::AudioInputNode& input = engine->inputNode();
  platform::Result<AudioFormat> format = input.inputFormat();
  const auto usable = [](const AudioFormat& f) {
    return f.sampleRate > 0 && std::isfinite(f.sampleRate) && f.channelCount > 0;
  };

  // Voice processing: a processor for the microphone's rate in the signal chain, or the
  // warning and the plain mix-down. Without a format there is nothing to process either,
  // and the reason is the one worth telling.
  if (!format) {
    environment.emit(protocol::warningEvent(protocol::voiceProcessingUnavailable(format.error().description)));
  } else if (usable(format.value())) {
    // What the speakers play, for the processor to cancel from the microphone: asked for
    // first, since the processor is made with or without echo cancellation.
    std::weak_ptr<VoiceCapture> weak = weak_from_this();
    const bool reference = input.installReferenceTap([weak](const AudioBufferView& buffer, double delayMs) {
      if (auto self = weak.lock()) self->chain.runReference(buffer.channels, buffer.channelCount, buffer.frameLength, delayMs);
    });
    auto processor = platform.makeVoiceProcessor
                         ? platform.makeVoiceProcessor(format.value().sampleRate, kPoolFrames, reference)
                         : platform::Result<std::unique_ptr<platform::VoiceProcessor>>(
                               Error{"no voice processor is available"});
    if (processor && processor.value()) {
      chain.setProcessor(processor.take(), kPoolFrames);
    } else {
      // Nothing would take the far end: a backend would keep its second stream open for
      // nothing. No microphone tap is installed yet, so this removes only the reference's.
      if (reference) input.removeTap();
      environment.emit(protocol::warningEvent(protocol::voiceProcessingUnavailable(
          processor ? "the voice processor could not be created" : processor.error().description)));
    }
  }

  if (!format || !usable(format.value())) return Error{protocol::kNoUsableFormat};
  const AudioFormat inputFormat = format.value();
  const AudioFormat targetFormat{inputFormat.sampleRate, 1};
  sampleRate = targetFormat.sampleRate;

  auto created = platform.files->createForWriting(output, targetFormat);
  if (!created) return created.error();
  file = created.take();

  if (transcribe) {
    // The speech service's handlers hold the capture object weakly, and strongly for the
    // one run of what they hand to the queue.
    std::weak_ptr<VoiceCapture> weak = weak_from_this();
    speech.begin([weak](std::function<void()> work) {
      auto self = weak.lock();
      if (!self) return;
      self->queue.async([self, work = std::move(work)] { work(); });
    });
  }

  std::weak_ptr<VoiceCapture> weak = weak_from_this();
  const uint32_t channels = inputFormat.channelCount;
  input.installTap(kTapBufferSize, [weak, channels](const AudioBufferView& buffer) {
    if (auto self = weak.lock()) self->tap(buffer, channels);
  });
  input.setInterruptionHandler([weak](const std::string& description) {
    auto self = weak.lock();
    if (!self) return;
    self->queue.async([self, description] { self->inputStopped(description); });
  });

  started = Clock::now();
  lastVoice = started;

  if (Status failed = engine->start()) return failed;

  timer = std::make_unique<platform::RepeatingTimer>(queue, std::chrono::milliseconds(100), [weak] {
    if (auto self = weak.lock()) self->tick();
  });
  timer->resume();

  environment.emit(protocol::readyEvent());
  return std::nullopt;
}

VoiceCapture::StartOutcome VoiceCapture::startUnlessStopped(bool transcribe, Error* failure) {
  StartOutcome outcome = StartOutcome::skipped;
  queue.runExclusive([&] {
    if (stopped) return;
    if (Status failed = start(transcribe)) {
      if (failure) *failure = *failed;
      outcome = StartOutcome::failed;
      return;
    }
    outcome = StartOutcome::started;
  });
  return outcome;
}

// ---------------------------------------------------------------------------------------
// Audio path.

void VoiceCapture::tap(const AudioBufferView& buffer, uint32_t channels) {
  HandoverPool::Handover* handover = slots.take();
  if (!handover) {
    overflow();
    return;
  }
  const bool readable = buffer.channels != nullptr && buffer.channelCount >= channels;
  platform::PcmBuffer* copy = readable ? handover->bufferFor(buffer.frameLength) : nullptr;
  if (!copy) {
    slots.giveBack(handover);
    overflow();
    return;
  }
  handover->level = chain.run(buffer.channels, channels, buffer.frameLength, copy->data());
  queue.post(handover);
}

void VoiceCapture::overflow() {
  bool already;
  {
    std::lock_guard lock(overflowLock);
    already = overflowed;
    overflowed = true;
  }
  if (already) return;
  queue.post(overflowReport.get());
}

void VoiceCapture::consume(const float* samples, uint32_t frames, float bufferLevel) {
  if (stopped) return;
  if (file) {
    if (Status failed = file->write(samples, frames)) {
      environment.emit(protocol::errorEvent(failed->description));
      stop();
      return;
    }
  }
  speech.append(samples, frames, sampleRate);
  const Clock::time_point now = Clock::now();
  // The next buffer is due when this one has played; a stall of the machine may hold it
  // up a little longer than that.
  level = bufferLevel;
  levelUntil = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / sampleRate)) +
               kLevelGrace;
  if (bufferLevel > 0.012f) lastVoice = now;
}

// ---------------------------------------------------------------------------------------
// Meter, stop and finish (queue).

static double secondsBetween(VoiceCapture::Clock::time_point from, VoiceCapture::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void VoiceCapture::tick() {
  if (stopped) return;
  const Clock::time_point now = Clock::now();
  const double elapsed = secondsBetween(started, now);
  if (now > levelUntil) level = 0;
  const float scaled = level * 8.0f;
  const float shown = std::isnan(scaled) ? 1.0f : std::fmin(scaled, 1.0f);
  const double silence = secondsBetween(lastVoice, now);
  environment.emit(protocol::levelEvent(shown, elapsed, silence));
  if (elapsed >= maximum) stop();
}

void VoiceCapture::requestStop() {
  queue.async([self = shared_from_this()] { self->stop(); });
}

void VoiceCapture::stop() {
  if (stopped) return;
  stopped = true;
  if (timer) timer->cancel();
  engine->inputNode().removeTap();
  engine->stop();
  file.reset();
  speech.stop();
  const double elapsed = secondsBetween(started, Clock::now());
  const double duration = elapsed < maximum ? elapsed : maximum;
  queue.asyncAfter(std::chrono::seconds(1), [self = shared_from_this(), duration] { self->finish(duration); });
}

void VoiceCapture::finish(double duration) {
  speech.cancel();
  environment.emit(protocol::finishedEvent(duration, speech.transcript()));
  environment.exit(0);
}

void VoiceCapture::inputStopped(const std::string& description) {
  // The file keeps what arrived; the meter keeps reporting (silence) until the parent
  // stops us, so the parent's own flow is unchanged.
  if (stopped || inputLossReported) return;
  inputLossReported = true;
  level = 0;
  environment.emit(protocol::warningEvent(protocol::microphoneInputStopped(description)));
}

}  // namespace talvora::capture
