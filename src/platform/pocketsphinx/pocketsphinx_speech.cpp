// Speech recognition with pocketsphinx.
//
// Threads. The model loads on a thread of the service's own, started by
// requestAuthorization, so that makeRecognizer (capture queue) only checks a flag. Each
// recognition task decodes on a worker thread of its own, which owns everything it uses
// through shared pointers and is never joined: cancel and the task's destructor only raise
// a flag, so the capture queue never waits for a decoder that is working through a
// backlog, and a process that ends with _exit may leave the worker running harmlessly.
// The request's append only copies the samples into a queue under a short lock.

#include "platform/pocketsphinx/pocketsphinx_speech.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pocketsphinx/transcript_text.h"
#include "platform/soxr/resampler.h"

namespace talvora::platform {
namespace {

// The rate the acoustic model was trained at.
constexpr double kDecoderRate = 16000;
// The decoder is fed, and its voice activity judged, 2048 samples (128 ms) at a time, as
// pocketsphinx's own continuous mode does.
constexpr size_t kBlockSamples = 2048;
// Speech that never pauses (a steady noise the detector takes for a voice) is cut into
// utterances of at most this many samples, so that the decoder's per-utterance tables and
// the cost of each partial hypothesis stay bounded.
constexpr size_t kMaximumUtteranceSamples = 30 * static_cast<size_t>(kDecoderRate);
// Copy buffers kept for reuse between the capture queue and the worker.
constexpr size_t kSpareBuffers = 8;

// pocketsphinx logs every step of its work on stderr, which must stay silent. The switch
// is process-wide; it is thrown once, before any decoder exists, because the library reads
// it from every thread that decodes.
void silenceLibraryLogging() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

int16_t toInt16(float sample) {
  const float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
  return static_cast<int16_t>(std::lrintf(scaled));
}

std::string lagDescription(double seconds) {
  char number[32];
  std::snprintf(number, sizeof number, "%g", seconds);
  return std::string("the recognizer fell more than ") + number + " seconds behind the audio";
}

// The decoders of one service. The first is loaded ahead of time and waits for the first
// task; a task that finds it in use (tasks that overlap) makes its own on its worker.
class Model {
 public:
  explicit Model(const PocketsphinxOptions& options)
      : acoustic_(options.acousticModel), language_(options.languageModel), dictionary_(options.dictionary) {}

  ~Model() {
    if (spare_) ps_free(spare_);
  }

  // Slow; never on the capture queue. Loads the first decoder unless that has been done
  // or tried already; true when it succeeded.
  bool load() {
    std::unique_lock lock(mutex_);
    if (state_ == State::unloaded) {
      state_ = State::loading;
      lock.unlock();
      ps_decoder_t* decoder = create();
      lock.lock();
      spare_ = decoder;
      state_ = decoder ? State::ready : State::failed;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return state_ == State::ready || state_ == State::failed; });
    return state_ == State::ready;
  }

  bool ready() {
    std::lock_guard lock(mutex_);
    return state_ == State::ready;
  }

  // The waiting decoder, if it is free.
  ps_decoder_t* take() {
    std::lock_guard lock(mutex_);
    return std::exchange(spare_, nullptr);
  }

  // A decoder at rest (between utterances) back from a task.
  void giveBack(ps_decoder_t* decoder) {
    {
      std::lock_guard lock(mutex_);
      if (!spare_) {
        spare_ = decoder;
        return;
      }
    }
    ps_free(decoder);
  }

  // Slow. Each decoder gets a configuration of its own: sphinxbase counts references to it
  // without any locking.
  ps_decoder_t* create() const {
    std::vector<std::string> arguments = {
        "-hmm", acoustic_, "-lm", language_, "-dict", dictionary_,
        // The second and third passes cost time and, on dictation, bring no accuracy:
        // the first pass is final.
        "-fwdflat", "no", "-bestpath", "no",
        // At most 3000 active HMMs a frame (default 30000): decoding takes about half the
        // time, with the same words on the LibriVox excerpts (see docs/speech.md).
        "-maxhmmpf", "3000",
    };
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (!config) return nullptr;
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);
    return decoder;
  }

 private:
  enum class State { unloaded, loading, ready, failed };

  const std::string acoustic_;
  const std::string language_;
  const std::string dictionary_;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::unloaded;
  ps_decoder_t* spare_ = nullptr;
};

// What a request and the task that reads it share: the queued audio and the flags that end
// the task.
struct Feed {
  struct Chunk {
    std::vector<float> samples;
    double sampleRate = 0;
    double seconds() const { return sampleRate > 0 ? static_cast<double>(samples.size()) / sampleRate : 0; }
  };

  Feed(double maximumLag, bool partials) : maximumLag(maximumLag), partials(partials) {}

  const double maximumLag;
  const bool partials;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Chunk> chunks;
  std::vector<std::vector<float>> spares;
  // Audio appended and not yet decoded, the chunk being decoded included.
  double pendingSeconds = 0;
  bool taken = false;    // a task reads this feed
  bool ended = false;    // no more audio comes
  bool lagged = false;   // the decoder fell too far behind; the queue was dropped
  bool closed = false;   // the task is over; appends are dropped
  // Written under `mutex` (so the worker's wait sees it) and read anywhere.
  std::atomic<bool> cancelled{false};
};

class Request final : public SpeechRecognitionRequest {
 public:
  explicit Request(std::shared_ptr<Feed> feed) : feed_(std::move(feed)) {}
  // Once the request is gone no more audio can come.
  ~Request() override { endAudio(); }

  void append(const float* samples, uint32_t frames, double sampleRate) override {
    if (frames == 0) return;
    Feed& feed = *feed_;
    {
      std::lock_guard lock(feed.mutex);
      if (feed.ended || feed.lagged || feed.closed) return;
      Feed::Chunk chunk;
      if (!feed.spares.empty()) {
        chunk.samples = std::move(feed.spares.back());
        feed.spares.pop_back();
      }
      chunk.samples.assign(samples, samples + frames);
      chunk.sampleRate = sampleRate;
      if (feed.pendingSeconds + chunk.seconds() > feed.maximumLag) {
        // Rather than queue without bound, give up: the worker reports it.
        feed.lagged = true;
        feed.chunks.clear();
      } else {
        feed.pendingSeconds += chunk.seconds();
        feed.chunks.push_back(std::move(chunk));
      }
    }
    feed.wake.notify_one();
  }

  void endAudio() override {
    {
      std::lock_guard lock(feed_->mutex);
      feed_->ended = true;
    }
    feed_->wake.notify_one();
  }

  // The feed, for the one task that may read it; null if another task has it.
  std::shared_ptr<Feed> claim() {
    std::lock_guard lock(feed_->mutex);
    if (feed_->taken) return nullptr;
    feed_->taken = true;
    return feed_;
  }

 private:
  const std::shared_ptr<Feed> feed_;
};

// One recording's pass through a decoder. Utterances end at the pauses the decoder's own
// voice activity detection finds and a new one starts at once, so memory and the latency
// of the final result stay flat however long the recording runs.
class Transcriber {
 public:
  explicit Transcriber(ps_decoder_t* decoder) : ps_(decoder) {}

  Status start() {
    if (ps_start_utt(ps_) < 0) return Error{"the speech decoder could not start"};
    started_ = true;
    return std::nullopt;
  }

  // Float samples at the decoder's rate, converted to the 16-bit samples it takes.
  Status decode(const float* samples, size_t count) {
    pcm_.resize(count);
    for (size_t i = 0; i < count; ++i) pcm_[i] = toInt16(samples[i]);
    if (ps_process_raw(ps_, pcm_.data(), count, FALSE, FALSE) < 0) return Error{"the speech decoder rejected the audio"};
    const bool speech = ps_get_in_speech(ps_) != 0;
    if (speech) inSpeech_ = true;
    if (!inSpeech_) return std::nullopt;
    utteranceSamples_ += count;
    if (!speech || utteranceSamples_ >= kMaximumUtteranceSamples) {
      if (Status failed = endUtterance()) return failed;
      return start();
    }
    current_.clear();
    if (const char* hypothesis = ps_get_hyp(ps_, nullptr)) pocketsphinx::appendWords(current_, hypothesis);
    return std::nullopt;
  }

  // Ends the last utterance; the decoder is then at rest.
  Status finish() { return endUtterance(); }

  // Leaves the decoder at rest, whatever it was doing, for the next recording.
  void abandon() {
    if (started_) ps_end_utt(ps_);
    started_ = false;
  }

  // Every finished utterance and the hypothesis of the one in progress.
  std::string words() const {
    if (current_.empty()) return finished_;
    if (finished_.empty()) return current_;
    return finished_ + ' ' + current_;
  }

 private:
  Status endUtterance() {
    started_ = false;
    inSpeech_ = false;
    utteranceSamples_ = 0;
    current_.clear();
    if (ps_end_utt(ps_) < 0) return Error{"the speech decoder could not finish an utterance"};
    if (const char* hypothesis = ps_get_hyp(ps_, nullptr)) pocketsphinx::appendWords(finished_, hypothesis);
    return std::nullopt;
  }

  ps_decoder_t* const ps_;
  std::vector<int16_t> pcm_;
  bool started_ = false;
  bool inSpeech_ = false;
  size_t utteranceSamples_ = 0;
  std::string finished_;
  std::string current_;
};

// Everything a task's worker uses; shared by the task object and the worker.
class Recognition {
 public:
  Recognition(std::shared_ptr<Model> model, std::shared_ptr<Feed> feed, SpeechRecognizer::ResultHandler handler,
              std::function<void()> beforeDecode, std::optional<Error> refusal)
      : model_(std::move(model)),
        feed_(std::move(feed)),
        handler_(std::move(handler)),
        beforeDecode_(std::move(beforeDecode)),
        refusal_(std::move(refusal)) {}

  void run();

  void cancel() {
    // From a handler on the worker itself the delivery lock is already held; the worker
    // checks the flag again before its next delivery.
    if (worker_.load() == std::this_thread::get_id()) {
      markCancelled();
      return;
    }
    // Taking the delivery lock waits out a handler call in progress, so none runs or
    // starts once this returns.
    std::lock_guard delivery(deliveryMutex_);
    markCancelled();
  }

 private:
  void markCancelled() {
    {
      std::lock_guard lock(feed_->mutex);
      feed_->cancelled = true;
      feed_->closed = true;
      feed_->chunks.clear();
    }
    feed_->wake.notify_one();
  }

  void deliver(std::optional<SpeechResult> result, std::optional<Error> error) {
    std::lock_guard delivery(deliveryMutex_);
    if (feed_->cancelled) return;
    handler_(std::move(result), std::move(error));
  }

  // A partial result, when they are wanted and the text has changed.
  void publish(const Transcriber& transcriber) {
    if (!feed_->partials) return;
    std::string text = pocketsphinx::presentable(transcriber.words());
    if (text == published_) return;
    published_ = text;
    deliver(SpeechResult{std::move(text), false}, std::nullopt);
  }

  // Decodes the whole blocks in `samples_` (every sample when `all`), publishing each change
  // of the text. Stops early when cancelled.
  Status decodeBlocks(Transcriber& transcriber, bool all) {
    size_t at = 0;
    Status failure;
    while (!failure && !feed_->cancelled) {
      const size_t left = samples_.size() - at;
      if (left == 0 || (left < kBlockSamples && !all)) break;
      const size_t count = std::min(left, kBlockSamples);
      if (beforeDecode_) beforeDecode_();
      failure = transcriber.decode(samples_.data() + at, count);
      at += count;
      if (!failure) publish(transcriber);
    }
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(at));
    return failure;
  }

  Status work(Transcriber& transcriber);

  const std::shared_ptr<Model> model_;
  const std::shared_ptr<Feed> feed_;
  const SpeechRecognizer::ResultHandler handler_;
  const std::function<void()> beforeDecode_;
  const std::optional<Error> refusal_;

  std::mutex deliveryMutex_;
  std::atomic<std::thread::id> worker_{};

  // Worker only.
  Resampler resampler_{kDecoderRate};
  std::vector<float> samples_;  // at the decoder's rate
  std::string published_;
  std::optional<SpeechResult> final_;
};

void Recognition::run() {
  worker_ = std::this_thread::get_id();
  std::optional<Error> failure = refusal_;
  ps_decoder_t* decoder = nullptr;
  if (!failure) {
    decoder = model_->take();
    if (!decoder && !feed_->cancelled) decoder = model_->create();
    if (!decoder && !feed_->cancelled) failure = Error{"the speech model could not be loaded"};
  }
  if (decoder) {
    Transcriber transcriber(decoder);
    failure = work(transcriber);
    transcriber.abandon();
    // Back before the last word is out, so that the recording that follows it is sure to
    // find the decoder ready rather than load another.
    model_->giveBack(decoder);
  }
  {
    std::lock_guard lock(feed_->mutex);
    feed_->closed = true;
    feed_->chunks.clear();
    feed_->spares.clear();
  }
  if (failure) {
    deliver(std::nullopt, std::move(failure));
  } else if (final_) {
    deliver(std::move(final_), std::nullopt);
  }
}

// Decodes the feed until the end of the audio (then leaves the final result in `final_`),
// a cancellation, or a failure, which it returns.
Status Recognition::work(Transcriber& transcriber) {
  if (Status failed = transcriber.start()) return failed;
  for (;;) {
    Feed::Chunk chunk;
    {
      std::unique_lock lock(feed_->mutex);
      feed_->wake.wait(lock, [this] {
        return feed_->cancelled || feed_->lagged || !feed_->chunks.empty() || feed_->ended;
      });
      if (feed_->cancelled) return std::nullopt;
      if (feed_->lagged) return Error{lagDescription(feed_->maximumLag)};
      if (feed_->chunks.empty()) break;  // ended, and everything is decoded
      chunk = std::move(feed_->chunks.front());
      feed_->chunks.pop_front();
    }
    Status failed = resampler_.process(chunk.samples.data(), chunk.samples.size(), chunk.sampleRate, samples_);
    if (!failed) failed = decodeBlocks(transcriber, false);
    {
      std::lock_guard lock(feed_->mutex);
      feed_->pendingSeconds = std::max(0.0, feed_->pendingSeconds - chunk.seconds());
      if (feed_->spares.size() < kSpareBuffers) feed_->spares.push_back(std::move(chunk.samples));
    }
    if (failed) return failed;
  }
  if (Status failed = resampler_.flush(samples_)) return failed;
  if (Status failed = decodeBlocks(transcriber, true)) return failed;
  if (feed_->cancelled) return std::nullopt;
  if (Status failed = transcriber.finish()) return failed;
  final_ = SpeechResult{pocketsphinx::presentable(transcriber.words()), true};
  return std::nullopt;
}

class Task final : public SpeechRecognitionTask {
 public:
  explicit Task(std::shared_ptr<Recognition> recognition) : recognition_(std::move(recognition)) {}
  ~Task() override { recognition_->cancel(); }
  void cancel() override { recognition_->cancel(); }

 private:
  const std::shared_ptr<Recognition> recognition_;
};

class Recognizer final : public SpeechRecognizer {
 public:
  Recognizer(std::shared_ptr<Model> model, std::function<void()> beforeDecode)
      : model_(std::move(model)), beforeDecode_(std::move(beforeDecode)) {}

  bool supportsOnDeviceRecognition() const override { return true; }

  std::unique_ptr<SpeechRecognitionTask> recognitionTask(std::shared_ptr<SpeechRecognitionRequest> request,
                                                         ResultHandler handler) override {
    std::optional<Error> refusal;
    std::shared_ptr<Feed> feed;
    if (auto ours = std::dynamic_pointer_cast<Request>(request)) {
      feed = ours->claim();
      if (!feed) refusal = Error{"the speech request already belongs to another recognition task"};
    } else {
      refusal = Error{"the speech request was not made by this speech service"};
    }
    if (!feed) feed = std::make_shared<Feed>(0, false);
    auto recognition = std::make_shared<Recognition>(model_, feed, handler, beforeDecode_, std::move(refusal));
    try {
      std::thread([recognition] { recognition->run(); }).detach();
    } catch (const std::system_error& error) {
      handler(std::nullopt, Error{std::string("the speech recognizer could not start: ") + error.what()});
    }
    return std::make_unique<Task>(std::move(recognition));
  }

 private:
  const std::shared_ptr<Model> model_;
  const std::function<void()> beforeDecode_;
};

class Service final : public SpeechService {
 public:
  Service(PocketsphinxOptions options, bool english)
      : options_(std::move(options)), english_(english), model_(std::make_shared<Model>(options_)) {}

  // There is no speech permission on Linux: the answer is always yes, given once the model
  // has loaded (or failed to), so that makeRecognizer never has to wait for it.
  void requestAuthorization(std::function<void(SpeechAuthorizationStatus)> handler) override {
    auto answer = [model = model_, english = english_, handler] {
      if (english) model->load();
      handler(SpeechAuthorizationStatus::authorized);
    };
    try {
      std::thread(std::move(answer)).detach();
    } catch (const std::system_error&) {
      // Without a thread there is no model: recognition turns out unavailable.
      handler(SpeechAuthorizationStatus::authorized);
    }
  }

  std::unique_ptr<SpeechRecognizer> makeRecognizer() override {
    if (!english_ || !model_->ready()) return nullptr;
    return std::make_unique<Recognizer>(model_, options_.beforeDecode);
  }

  std::shared_ptr<SpeechRecognitionRequest> makeRequest(bool /*requiresOnDeviceRecognition*/,
                                                        bool shouldReportPartialResults) override {
    // Recognition is always on the device.
    return std::make_shared<Request>(std::make_shared<Feed>(options_.maximumLagSeconds, shouldReportPartialResults));
  }

 private:
  const PocketsphinxOptions options_;
  const bool english_;
  const std::shared_ptr<Model> model_;
};

}  // namespace

std::shared_ptr<SpeechService> makePocketsphinxSpeechService(PocketsphinxOptions options) {
  silenceLibraryLogging();
  const std::string locale = options.locale.empty() ? pocketsphinx::messagesLocale(&::getenv) : options.locale;
  // Only the US English models are installed.
  const bool english = pocketsphinx::localeLanguage(locale) == "en";
  return std::make_shared<Service>(std::move(options), english);
}

}  // namespace talvora::platform
