// Speech recognition with pocketsphinx: the models, and one recording's pass through a
// decoder. Streaming, threads and results are the recognition worker's.

#include "platform/pocketsphinx/pocketsphinx_speech.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/pocketsphinx/recognition_worker.h"
#include "platform/pocketsphinx/speech_decoder.h"
#include "platform/pocketsphinx/transcript_text.h"

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
// A fresh decoder normalises the cepstrum with the acoustic model's average, not this
// microphone's and this voice's; it learns them only from the first utterance, which is
// why that one came out worst (on the LibriVox excerpts with 1 s pauses, 28.2 % of words
// wrong from a fresh decoder against 23.9 % from one that had heard a recording before).
// So the first utterance is decoded a second time once it has ended, with what it taught
// the normalisation. It is kept for that only up to this length: decoding it again takes
// about a tenth of its duration, while the audio that arrives meanwhile waits, and the
// worker allows 5 s of backlog.
constexpr size_t kRedecodedSamples = 12 * static_cast<size_t>(kDecoderRate);
// At the end of the recording the second pass delays the final result, which the
// recorder waits a second for: only a short first utterance is decoded again then.
constexpr size_t kRedecodedAtTheEndSamples = 4 * static_cast<size_t>(kDecoderRate);
// Of the audio before the first speech, only this much is kept for the second pass: the
// decoder keeps a fifth of a second before the speech it detects and drops the rest.
constexpr size_t kKeptBeforeSpeechSamples = static_cast<size_t>(kDecoderRate);

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

// The decoders of one service. The first is loaded ahead of time and waits for the first
// recording; a recording that finds it in use (recordings that overlap) makes its own on
// its worker.
class Model final : public SpeechEngine, public std::enable_shared_from_this<Model> {
 public:
  explicit Model(const PocketsphinxOptions& options)
      : acoustic_(options.acousticModel), language_(options.languageModel), dictionary_(options.dictionary) {}

  ~Model() override {
    if (spare_) ps_free(spare_);
  }

  bool load() override {
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

  bool ready() override {
    std::lock_guard lock(mutex_);
    return state_ == State::ready;
  }

  Result<std::unique_ptr<SpeechDecoder>> open() override;

  // A decoder at rest (between utterances) back from a recording.
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

 private:
  enum class State { unloaded, loading, ready, failed };

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

  const std::string acoustic_;
  const std::string language_;
  const std::string dictionary_;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::unloaded;
  ps_decoder_t* spare_ = nullptr;
};

// One recording's pass through a decoder. Utterances end at the pauses the decoder's own
// voice activity detection finds and a new one starts at once, so memory and the latency
// of the final result stay flat however long the recording runs.
class Transcriber final : public SpeechDecoder {
 public:
  Transcriber(std::shared_ptr<Model> model, ps_decoder_t* decoder) : model_(std::move(model)), ps_(decoder) {}

  // Leaves the decoder at rest, whatever it was doing, for the next recording.
  ~Transcriber() override {
    if (started_) ps_end_utt(ps_);
    model_->giveBack(ps_);
  }

  Status start() {
    if (ps_start_utt(ps_) < 0) return Error{"the speech decoder could not start"};
    started_ = true;
    return std::nullopt;
  }

  Status decode(const float* samples, size_t count) override {
    pcm_.resize(count);
    for (size_t i = 0; i < count; ++i) pcm_[i] = toInt16(samples[i]);
    if (ps_process_raw(ps_, pcm_.data(), count, FALSE, FALSE) < 0) return Error{"the speech decoder rejected the audio"};
    const bool speech = ps_get_in_speech(ps_) != 0;
    if (speech) inSpeech_ = true;
    keepForSecondPass();
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

  Status finish() override {
    if (firstUtterance_.size() > kRedecodedAtTheEndSamples) dropFirstUtterance();
    return endUtterance();
  }

  // Every finished utterance and the hypothesis of the one in progress.
  std::string text() const override {
    if (current_.empty()) return pocketsphinx::presentable(finished_);
    if (finished_.empty()) return pocketsphinx::presentable(current_);
    return pocketsphinx::presentable(finished_ + ' ' + current_);
  }

 private:
  Status endUtterance() {
    started_ = false;
    inSpeech_ = false;
    utteranceSamples_ = 0;
    current_.clear();
    if (ps_end_utt(ps_) < 0) return Error{"the speech decoder could not finish an utterance"};
    if (keepingFirst_) {
      // The second pass's words are the ones kept.
      if (ps_start_utt(ps_) < 0) return Error{"the speech decoder could not start"};
      const int processed = ps_process_raw(ps_, firstUtterance_.data(), firstUtterance_.size(), FALSE, FALSE);
      dropFirstUtterance();
      if (ps_end_utt(ps_) < 0 || processed < 0) return Error{"the speech decoder could not finish an utterance"};
    }
    if (const char* hypothesis = ps_get_hyp(ps_, nullptr)) pocketsphinx::appendWords(finished_, hypothesis);
    return std::nullopt;
  }

  // Keeps the audio of the first utterance for its second pass, until it grows too long.
  void keepForSecondPass() {
    if (!keepingFirst_) return;
    firstUtterance_.insert(firstUtterance_.end(), pcm_.begin(), pcm_.end());
    if (!inSpeech_ && firstUtterance_.size() > kKeptBeforeSpeechSamples) {
      firstUtterance_.erase(firstUtterance_.begin(),
                            firstUtterance_.end() - static_cast<std::ptrdiff_t>(kKeptBeforeSpeechSamples));
    }
    if (firstUtterance_.size() > kRedecodedSamples) dropFirstUtterance();
  }

  void dropFirstUtterance() {
    keepingFirst_ = false;
    firstUtterance_.clear();
    firstUtterance_.shrink_to_fit();
  }

  const std::shared_ptr<Model> model_;
  ps_decoder_t* const ps_;
  std::vector<int16_t> pcm_;
  bool started_ = false;
  bool inSpeech_ = false;
  size_t utteranceSamples_ = 0;
  std::string finished_;
  std::string current_;
  // The first utterance's audio while it lasts, until it has had its second pass or has
  // grown too long for one.
  bool keepingFirst_ = true;
  std::vector<int16_t> firstUtterance_;
};

// The waiting decoder if it is free, otherwise one of the recording's own.
Result<std::unique_ptr<SpeechDecoder>> Model::open() {
  ps_decoder_t* decoder = nullptr;
  {
    std::lock_guard lock(mutex_);
    decoder = std::exchange(spare_, nullptr);
  }
  if (!decoder) decoder = create();
  if (!decoder) return Error{"the speech model could not be loaded"};
  auto transcriber = std::make_unique<Transcriber>(shared_from_this(), decoder);
  if (Status failed = transcriber->start()) return *failed;
  return std::unique_ptr<SpeechDecoder>(std::move(transcriber));
}

}  // namespace

std::shared_ptr<SpeechService> makePocketsphinxSpeechService(PocketsphinxOptions options) {
  silenceLibraryLogging();
  const std::string locale = options.locale.empty() ? pocketsphinx::messagesLocale(&::getenv) : options.locale;
  // Only the US English models are installed; without them there is no recognizer.
  std::shared_ptr<Model> model;
  if (pocketsphinx::localeLanguage(locale) == "en") model = std::make_shared<Model>(options);
  RecognitionSettings settings;
  settings.decoderRate = kDecoderRate;
  settings.blockSamples = kBlockSamples;
  settings.maximumLagSeconds = options.maximumLagSeconds;
  settings.beforeDecode = std::move(options.beforeDecode);
  return makeWorkerSpeechService(std::move(model), std::move(settings));
}

}  // namespace talvora::platform
