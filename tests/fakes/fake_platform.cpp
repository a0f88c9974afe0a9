#include "fakes/fake_platform.h"

#include <chrono>
#include <future>

namespace talvora::testing {

using platform::AudioBufferView;
using platform::Error;
using platform::Status;

// ---- audio ----------------------------------------------------------------------------

platform::Result<platform::AudioFormat> FakeInputNode::inputFormat() {
  if (formatError) return Error{*formatError};
  return format;
}

void FakeInputNode::installTap(uint32_t bufferSize, TapHandler handler) {
  std::lock_guard lock(mutex_);
  requestedBufferSize = bufferSize;
  tap_ = std::move(handler);
  ++tapsInstalled;
}

void FakeInputNode::removeTap() {
  std::lock_guard lock(mutex_);
  tap_ = nullptr;
  referenceTap_ = nullptr;
}

bool FakeInputNode::installReferenceTap(ReferenceTapHandler handler) {
  std::lock_guard lock(mutex_);
  if (offersReference) referenceTap_ = std::move(handler);
  return offersReference;
}

void FakeInputNode::setInterruptionHandler(InterruptionHandler handler) {
  std::lock_guard lock(mutex_);
  interruption_ = std::move(handler);
}

bool FakeInputNode::deliverView(const AudioBufferView& view) {
  TapHandler tap;
  {
    std::lock_guard lock(mutex_);
    tap = tap_;
  }
  if (!tap) return false;
  tap(view);
  return true;
}

namespace {
// Calls `deliver` with a view of the channels.
template <typename Deliver>
bool withView(const std::vector<std::vector<float>>& channels, Deliver deliver) {
  std::vector<const float*> pointers;
  for (const auto& channel : channels) pointers.push_back(channel.data());
  return deliver(AudioBufferView{pointers.data(), static_cast<uint32_t>(channels.size()),
                                 channels.empty() ? 0 : static_cast<uint32_t>(channels[0].size())});
}
}  // namespace

bool FakeInputNode::deliver(const std::vector<std::vector<float>>& channels) {
  return withView(channels, [this](const AudioBufferView& view) { return deliverView(view); });
}

bool FakeInputNode::deliverReference(const std::vector<std::vector<float>>& channels, double delayMs) {
  ReferenceTapHandler tap;
  {
    std::lock_guard lock(mutex_);
    tap = referenceTap_;
  }
  if (!tap) return false;
  return withView(channels, [&](const AudioBufferView& view) {
    tap(view, delayMs);
    return true;
  });
}

void FakeInputNode::interrupt(const std::string& description) {
  InterruptionHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = interruption_;
  }
  if (handler) handler(description);
}

void FakeVoiceProcessor::processReference(const float* samples, uint32_t frames, double delayMs) {
  seen_.referenceFrames += frames;
  float sum = 0;
  for (uint32_t i = 0; i < frames; ++i) sum += samples[i];
  seen_.referenceSum = seen_.referenceSum + sum;
  seen_.delayMs = delayMs;
}

Status FakeEngine::start() {
  ++starts;
  if (refuseStart) return Error{*refuseStart};
  running = true;
  return std::nullopt;
}

class FakeAudioFile final : public platform::AudioFile {
 public:
  explicit FakeAudioFile(FakeFiles& owner) : owner_(owner) {}
  ~FakeAudioFile() override {
    std::lock_guard lock(owner_.mutex);
    owner_.isClosed = true;
  }
  Status write(const float* samples, uint32_t frames) override {
    std::lock_guard lock(owner_.mutex);
    int index = owner_.writes++;
    if (owner_.failWrite && index >= owner_.failWrite->first) return Error{owner_.failWrite->second};
    owner_.written.insert(owner_.written.end(), samples, samples + frames);
    return std::nullopt;
  }

 private:
  FakeFiles& owner_;
};

platform::Result<std::unique_ptr<platform::AudioFile>> FakeFiles::createForWriting(const std::string& p,
                                                                                   platform::AudioFormat f) {
  std::lock_guard lock(mutex);
  if (refuseCreate) return Error{*refuseCreate};
  ++created;
  path = p;
  format = f;
  return std::unique_ptr<platform::AudioFile>(new FakeAudioFile(*this));
}

std::vector<float> FakeFiles::samples() {
  std::lock_guard lock(mutex);
  return written;
}

bool FakeFiles::closed() {
  std::lock_guard lock(mutex);
  return isClosed;
}

// ---- speech ---------------------------------------------------------------------------

void FakeRequest::append(const float*, uint32_t frames, double) { appendedFrames += static_cast<int>(frames); }

namespace {
class FakeRecognizer final : public platform::SpeechRecognizer {
 public:
  FakeRecognizer(FakeSpeech& owner, bool onDevice) : owner_(owner), onDevice_(onDevice) {}
  bool supportsOnDeviceRecognition() const override { return onDevice_; }
  std::unique_ptr<platform::SpeechRecognitionTask> recognitionTask(
      std::shared_ptr<platform::SpeechRecognitionRequest>, ResultHandler handler) override {
    auto task = std::make_unique<FakeTask>(owner_.taskCancels);
    std::lock_guard lock(owner_.mutex);
    owner_.resultHandler = std::move(handler);
    return task;
  }

 private:
  FakeSpeech& owner_;
  bool onDevice_;
};
}  // namespace

void FakeSpeech::requestAuthorization(std::function<void(platform::SpeechAuthorizationStatus)> handler) {
  std::lock_guard lock(mutex);
  ++authorizationRequests;
  pendingAuthorization = std::move(handler);
}

std::unique_ptr<platform::SpeechRecognizer> FakeSpeech::makeRecognizer() {
  if (!hasRecognizer) return nullptr;
  return std::make_unique<FakeRecognizer>(*this, onDevice);
}

std::shared_ptr<platform::SpeechRecognitionRequest> FakeSpeech::makeRequest(bool partial) {
  std::lock_guard lock(mutex);
  requestedPartial = partial;
  request = std::make_shared<FakeRequest>();
  return request;
}

void FakeSpeech::answer(platform::SpeechAuthorizationStatus status) {
  std::function<void(platform::SpeechAuthorizationStatus)> handler;
  {
    std::lock_guard lock(mutex);
    handler = std::move(pendingAuthorization);
  }
  if (handler) handler(status);
}

void FakeSpeech::deliver(std::optional<platform::SpeechResult> result, std::optional<Error> error) {
  platform::SpeechRecognizer::ResultHandler handler;
  {
    std::lock_guard lock(mutex);
    handler = resultHandler;
  }
  if (handler) handler(std::move(result), std::move(error));
}

// ---- events ---------------------------------------------------------------------------

static double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void EventLog::add(const protocol::Event& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
  changed_.notify_all();
}

void EventLog::exit(int status) {
  std::lock_guard lock(mutex_);
  if (!exit_) {
    exit_ = status;
    exitTime_ = monotonicSeconds();
  }
  changed_.notify_all();
}

std::vector<protocol::Event> EventLog::all() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<protocol::Event> EventLog::ofKind(const std::string& kind) {
  std::lock_guard lock(mutex_);
  std::vector<protocol::Event> out;
  for (const auto& e : events_)
    if (kindOf(e) == kind) out.push_back(e);
  return out;
}

std::optional<int> EventLog::waitForExit(double seconds) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return exit_.has_value(); });
  return exit_;
}

bool EventLog::waitForKind(const std::string& kind, size_t count, double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    size_t n = 0;
    for (const auto& e : events_)
      if (kindOf(e) == kind) ++n;
    return n >= count;
  });
}

std::optional<int> EventLog::exitStatus() {
  std::lock_guard lock(mutex_);
  return exit_;
}

double EventLog::exitTime() {
  std::lock_guard lock(mutex_);
  return exitTime_;
}

std::string kindOf(const protocol::Event& event) { return std::get<std::string>(event.fields.front().second); }

std::string stringField(const protocol::Event& event, const std::string& key) {
  for (const auto& [k, v] : event.fields)
    if (k == key) return std::get<std::string>(v);
  return "<missing " + key + ">";
}

double numberField(const protocol::Event& event, const std::string& key) {
  for (const auto& [k, v] : event.fields) {
    if (k != key) continue;
    if (const auto* f = std::get_if<float>(&v)) return *f;
    if (const auto* d = std::get_if<double>(&v)) return *d;
  }
  return -12345;
}

// ---- rig ------------------------------------------------------------------------------

Rig::Rig(double maximum, std::string output) : maximum(maximum), output(std::move(output)) {}

Rig::~Rig() {
  if (!capture) return;
  // End the recording the way every recording ends (a no-op when the test already did),
  // so the meter timer and the finish step are done with the log and the fakes; then
  // let the capture object go while they still exist.
  capture->requestStop();
  log.waitForExit(5);
  drain();
  capture.reset();
}

void Rig::build() {
  platform::Platform platform;
  auto format = this->format;
  auto formatError = this->formatError;
  auto refuseStart = this->refuseStart;
  auto offersReference = this->offersReference;
  FakeEngine** engineOut = &engine;
  platform.makeEngine = [=]() {
    auto engine = std::make_unique<FakeEngine>();
    engine->node.format = format;
    engine->node.formatError = formatError;
    engine->node.offersReference = offersReference;
    engine->refuseStart = refuseStart;
    *engineOut = engine.get();
    return engine;
  };
  platform.makeVoiceProcessor = [this](double, uint32_t,
                                       bool echoCancellation) -> platform::Result<std::unique_ptr<platform::VoiceProcessor>> {
    ++voiceProcessorRequests;
    if (echoCancellation) ++echoCancellationRequests;
    if (refuseVoiceProcessing) return Error{*refuseVoiceProcessing};
    return std::unique_ptr<platform::VoiceProcessor>(new FakeVoiceProcessor(processed));
  };
  platform.files = files;
  platform.speech = speech;
  platform.microphone = microphone;
  capture = capture::VoiceCapture::create(output, maximum, std::move(platform),
                                          {[this](const protocol::Event& e) { log.add(e); },
                                           [this](int status) { log.exit(status); }});
}

void Rig::drain() {
  std::promise<void> done;
  capture->captureQueue().async([&] { done.set_value(); });
  done.get_future().wait();
}

std::function<void()> Rig::holdQueue() {
  auto gate = std::make_shared<std::promise<void>>();
  auto held = std::make_shared<std::promise<void>>();
  auto released = gate->get_future().share();
  capture->captureQueue().async([held, released] {
    held->set_value();
    released.wait();
  });
  held->get_future().wait();
  return [gate] { gate->set_value(); };
}

}  // namespace talvora::testing
