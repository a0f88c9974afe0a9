#include "capture/voice_capture.h"

#include <cmath>
#include <new>

namespace talvora::capture {

using platform::AudioBufferView;
using platform::AudioFormat;
using platform::Error;
using platform::Status;

// One slot's worth of hand-over: a copy buffer allocated at construction and the queue
// node that carries it to `consume`, so that handing a buffer over allocates nothing.
struct VoiceCapture::Handover final : platform::QueueNode {
  Handover(VoiceCapture& owner, int index) : owner(owner), index(index), pooled(kPoolFrames) {}

  void run() override {
    const platform::PcmBuffer& copy = oversized ? *oversized : pooled;
    owner.consume(copy.data(), copy.frameLength(), level);
  }

  // The buffer goes back to the free list before the slot is given back, so a slot that
  // was taken always finds a buffer.
  void release() override {
    oversized.reset();
    owner.freeHandovers.give(index);
    owner.slots.release();
  }

  VoiceCapture& owner;
  const int index;
  platform::PcmBuffer pooled;
  std::unique_ptr<platform::PcmBuffer> oversized;
  float level = 0;
};

namespace {

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
      output(std::move(output)),
      maximum(maximum),
      started(Clock::now()),
      lastVoice(started) {
  for (uint32_t i = 0; i < kSlotCount; ++i) {
    handovers.push_back(std::make_unique<Handover>(*this, static_cast<int>(i)));
    freeHandovers.give(static_cast<int>(i));
  }
  // The overflow report is prepared here because it is posted from the audio thread.
  // It runs at most once (the latch), so it needs no strong reference of its own: the
  // queue that runs it is joined before this object goes away.
  overflowReport = std::make_unique<OverflowReport>([this] {
    this->environment.emit(events::errorEvent(events::kStorageCannotKeepUp));
    stop();
  });
}

VoiceCapture::~VoiceCapture() {
  // The audio thread must be done with us before any member goes.
  engine->inputNode().removeTap(0);
  engine->stop();
}

// ---------------------------------------------------------------------------------------
// Start sequence (main thread).

Status VoiceCapture::start(bool transcribe) {
  platform::AudioInputNode& input = engine->inputNode();
  if (Status failed = input.setVoiceProcessingEnabled(true)) {
    environment.emit(events::warningEvent(events::voiceProcessingUnavailable(failed->description)));
  }

  const AudioFormat inputFormat = input.outputFormat(0);
  if (!(inputFormat.sampleRate > 0) || !std::isfinite(inputFormat.sampleRate) || inputFormat.channelCount == 0) {
    return Error{events::kNoUsableFormat};
  }
  const AudioFormat targetFormat{inputFormat.sampleRate, 1};
  sampleRate = targetFormat.sampleRate;

  auto created = platform.files->createForWriting(output, targetFormat);
  if (!created) return created.error();
  file = created.take();

  if (transcribe) localSpeech();

  std::weak_ptr<VoiceCapture> weak = weak_from_this();
  const uint32_t channels = inputFormat.channelCount;
  input.installTap(0, kTapBufferSize, inputFormat, [weak, channels](const AudioBufferView& buffer) {
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

  environment.emit(events::readyEvent());
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
  if (!slots.tryAcquire()) {
    overflow();
    return;
  }
  const int index = freeHandovers.take();
  if (index < 0 || buffer.channels == nullptr || buffer.channelCount < channels) {
    if (index >= 0) freeHandovers.give(index);
    slots.release();
    overflow();
    return;
  }
  Handover& handover = *handovers[static_cast<size_t>(index)];
  const uint32_t frames = buffer.frameLength;
  platform::PcmBuffer* copy = &handover.pooled;
  if (frames > copy->frameCapacity()) {
    // Longer than any delivery we plan for: the one case that allocates here.
    try {
      handover.oversized = std::make_unique<platform::PcmBuffer>(frames);
    } catch (const std::bad_alloc&) {
      freeHandovers.give(index);
      slots.release();
      overflow();
      return;
    }
    copy = handover.oversized.get();
  }
  copy->setFrameLength(frames);
  handover.level = mixDown(buffer.channels, channels, frames, copy->data());
  queue.post(&handover);
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
      environment.emit(events::errorEvent(failed->description));
      stop();
      return;
    }
  }
  if (speech) speech->append(samples, frames, sampleRate);
  level = bufferLevel;
  if (bufferLevel > 0.012f) lastVoice = Clock::now();
}

// ---------------------------------------------------------------------------------------
// Meter, stop and finish (queue).

static double secondsBetween(VoiceCapture::Clock::time_point from, VoiceCapture::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void VoiceCapture::tick() {
  if (stopped) return;
  const double elapsed = secondsBetween(started, Clock::now());
  const float scaled = level * 8.0f;
  const float shown = std::isnan(scaled) ? 1.0f : std::fmin(scaled, 1.0f);
  const double silence = secondsBetween(lastVoice, Clock::now());
  environment.emit(events::levelEvent(shown, elapsed, silence));
  if (elapsed >= maximum) stop();
}

void VoiceCapture::requestStop() {
  queue.async([self = shared_from_this()] { self->stop(); });
}

void VoiceCapture::stop() {
  if (stopped) return;
  stopped = true;
  if (timer) timer->cancel();
  engine->inputNode().removeTap(0);
  engine->stop();
  file.reset();
  if (speech) speech->endAudio();
  const double elapsed = secondsBetween(started, Clock::now());
  const double duration = elapsed < maximum ? elapsed : maximum;
  queue.asyncAfter(std::chrono::seconds(1), [self = shared_from_this(), duration] { self->finish(duration); });
}

void VoiceCapture::finish(double duration) {
  if (recognition) recognition->cancel();
  environment.emit(events::finishedEvent(duration, transcript));
  environment.exit(0);
}

void VoiceCapture::inputStopped(const std::string& description) {
  // The file keeps what arrived; the meter keeps reporting (silence) until the parent
  // stops us, so the parent's own flow is unchanged.
  if (stopped || inputLossReported) return;
  inputLossReported = true;
  environment.emit(events::warningEvent(events::microphoneInputStopped(description)));
}

}  // namespace talvora::capture
