// Threads. The engine loads on a thread of the service's own, started by
// requestAuthorization, so that makeRecognizer (capture queue) only checks a flag. Each
// recognition task decodes on a worker thread of its own, which owns everything it uses
// through shared pointers. Cancel and the task's destructor only raise a flag, so the
// capture queue never waits for a decoder working through a backlog. The service owns
// its threads: each is joined, by the next start once it has finished, or when the
// service is destroyed (after ending its tasks). A handler may drop the last reference to
// the service on the service's own thread; that thread is then handed to a process-wide
// list, since it cannot join itself, and joined by a later start or at the process's exit.
// The request's append only copies the samples into a queue under a short lock.

#include "platform/pocketsphinx/recognition_worker.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/soxr/resampler.h"

namespace talvora::platform {
namespace {

// Copy buffers kept for reuse between the capture queue and the worker.
constexpr size_t kSpareBuffers = 8;

// Threads that are joined, never detached. `start` first joins those that have finished
// (they have returned from their work, so joining them does not wait); the destructor
// joins the rest. A thread cannot join itself: when the owner is destroyed on one of its
// own threads (a handler dropped the last reference to the service), that thread moves to
// the process-wide `orphans`, where the next start joins it once it has finished, and
// the end of the process at the latest.
class Threads {
 public:
  constexpr Threads() = default;
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  ~Threads();

  // Runs `work` on a new thread. Throws std::system_error when none can start.
  void start(std::function<void()> work);

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void adopt(Entry entry) {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::move(entry));
  }

  void joinFinished() {
    for (Entry& entry : take([](const Entry& e) { return e.finished->load(std::memory_order_acquire); })) {
      entry.thread.join();
    }
  }

  template <typename Predicate>
  std::vector<Entry> take(Predicate which) {
    std::vector<Entry> taken;
    std::lock_guard lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (which(*it)) {
        taken.push_back(std::move(*it));
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }

  std::mutex mutex_;
  std::vector<Entry> threads_;
};

// Initialised before any code runs, so that a service made during another file's static
// initialisation finds it, and destroyed after every function-local static (a service
// kept in one included).
constinit Threads orphans;

Threads::~Threads() {
  for (Entry& entry : take([](const Entry&) { return true; })) {
    if (entry.thread.get_id() != std::this_thread::get_id()) {
      entry.thread.join();
    } else if (this != &orphans) {
      orphans.adopt(std::move(entry));
    } else {
      // The process is ending on an orphan itself (its handler called exit): nothing is
      // left that could join it, and a joinable std::thread must not be destroyed.
      static std::thread* const exiting = new std::thread(std::move(entry.thread));
      (void)exiting;
    }
  }
}

void Threads::start(std::function<void()> work) {
  joinFinished();
  orphans.joinFinished();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([work = std::move(work), finished]() mutable {
    work();
    // What the work holds goes before the thread counts as finished.
    work = nullptr;
    finished->store(true, std::memory_order_release);
  });
  std::lock_guard lock(mutex_);
  threads_.push_back({std::move(thread), std::move(finished)});
}

std::string lagDescription(double seconds) {
  char number[32];
  std::snprintf(number, sizeof number, "%g", seconds);
  return std::string("the recognizer fell more than ") + number + " seconds behind the audio";
}

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

// Everything a task's worker uses; shared by the task object and the worker.
class Recognition {
 public:
  Recognition(std::shared_ptr<SpeechEngine> engine, std::shared_ptr<Feed> feed, SpeechRecognizer::ResultHandler handler,
              const RecognitionSettings& settings, std::optional<Error> refusal)
      : engine_(std::move(engine)),
        feed_(std::move(feed)),
        handler_(std::move(handler)),
        settings_(settings),
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
  void publish(const SpeechDecoder& decoder) {
    if (!feed_->partials) return;
    std::string text = decoder.text();
    if (text == published_) return;
    published_ = text;
    deliver(SpeechResult{std::move(text), false}, std::nullopt);
  }

  // Decodes the whole blocks in `samples_` (every sample when `all`), publishing each change
  // of the text. Stops early when cancelled.
  Status decodeBlocks(SpeechDecoder& decoder, bool all) {
    size_t at = 0;
    Status failure;
    while (!failure && !feed_->cancelled) {
      const size_t left = samples_.size() - at;
      if (left == 0 || (left < settings_.blockSamples && !all)) break;
      const size_t count = std::min(left, settings_.blockSamples);
      if (settings_.beforeDecode) settings_.beforeDecode();
      failure = decoder.decode(samples_.data() + at, count);
      at += count;
      if (!failure) publish(decoder);
    }
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(at));
    return failure;
  }

  Status work(SpeechDecoder& decoder);

  const std::shared_ptr<SpeechEngine> engine_;
  const std::shared_ptr<Feed> feed_;
  const SpeechRecognizer::ResultHandler handler_;
  const RecognitionSettings settings_;
  const std::optional<Error> refusal_;

  std::mutex deliveryMutex_;
  std::atomic<std::thread::id> worker_{};

  // Worker only.
  Resampler resampler_{settings_.decoderRate};
  std::vector<float> samples_;  // at the decoder's rate
  std::string published_;
  std::optional<SpeechResult> final_;
};

void Recognition::run() {
  worker_ = std::this_thread::get_id();
  std::optional<Error> failure = refusal_;
  if (!failure && !feed_->cancelled) {
    Result<std::unique_ptr<SpeechDecoder>> opened = engine_->open();
    if (opened) {
      // Back to the engine before the last word is out (at the end of this scope), so
      // that the recording that follows is sure to find it ready rather than load another.
      const std::unique_ptr<SpeechDecoder> decoder = opened.take();
      failure = work(*decoder);
    } else {
      failure = opened.error();
    }
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
Status Recognition::work(SpeechDecoder& decoder) {
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
    if (!failed) failed = decodeBlocks(decoder, false);
    {
      std::lock_guard lock(feed_->mutex);
      feed_->pendingSeconds = std::max(0.0, feed_->pendingSeconds - chunk.seconds());
      if (feed_->spares.size() < kSpareBuffers) feed_->spares.push_back(std::move(chunk.samples));
    }
    if (failed) return failed;
  }
  if (Status failed = resampler_.flush(samples_)) return failed;
  if (Status failed = decodeBlocks(decoder, true)) return failed;
  if (feed_->cancelled) return std::nullopt;
  if (Status failed = decoder.finish()) return failed;
  final_ = SpeechResult{decoder.text(), true};
  return std::nullopt;
}

class Task final : public SpeechRecognitionTask {
 public:
  // None when no recognition started.
  explicit Task(std::shared_ptr<Recognition> recognition) : recognition_(std::move(recognition)) {}
  ~Task() override { cancel(); }
  void cancel() override {
    if (recognition_) recognition_->cancel();
  }

 private:
  const std::shared_ptr<Recognition> recognition_;
};

class Service final : public SpeechService, public std::enable_shared_from_this<Service> {
 public:
  Service(std::shared_ptr<SpeechEngine> engine, RecognitionSettings settings)
      : engine_(std::move(engine)), settings_(std::move(settings)) {}

  // Ends every task as cancel does, then joins every thread (threads_ goes last): a task's
  // worker stops within a block, the loading thread finishes its load and answers.
  ~Service() override {
    std::vector<std::weak_ptr<Recognition>> recognitions;
    {
      std::lock_guard lock(mutex_);
      recognitions.swap(recognitions_);
    }
    for (const auto& weak : recognitions) {
      if (auto recognition = weak.lock()) recognition->cancel();
    }
  }

  void requestAuthorization(std::function<void(SpeechAuthorizationStatus)> handler) override {
    try {
      threads_.start([engine = engine_, handler] {
        if (engine) engine->load();
        handler(SpeechAuthorizationStatus::authorized);
      });
    } catch (const std::system_error&) {
      // Without a thread there is no model: recognition turns out unavailable.
      handler(SpeechAuthorizationStatus::authorized);
    }
  }

  std::unique_ptr<SpeechRecognizer> makeRecognizer() override;

  std::shared_ptr<SpeechRecognitionRequest> makeRequest(bool shouldReportPartialResults) override {
    return std::make_shared<Request>(std::make_shared<Feed>(settings_.maximumLagSeconds, shouldReportPartialResults));
  }

  std::unique_ptr<SpeechRecognitionTask> startTask(std::shared_ptr<SpeechRecognitionRequest> request,
                                                   const SpeechRecognizer::ResultHandler& handler) {
    std::optional<Error> refusal;
    std::shared_ptr<Feed> feed;
    if (auto ours = std::dynamic_pointer_cast<Request>(request)) {
      feed = ours->claim();
      if (!feed) refusal = Error{"the speech request already belongs to another recognition task"};
    } else {
      refusal = Error{"the speech request was not made by this speech service"};
    }
    if (!feed) feed = std::make_shared<Feed>(0, false);
    auto recognition = std::make_shared<Recognition>(engine_, feed, handler, settings_, std::move(refusal));
    {
      std::lock_guard lock(mutex_);
      std::erase_if(recognitions_, [](const std::weak_ptr<Recognition>& r) { return r.expired(); });
      recognitions_.push_back(recognition);
    }
    try {
      threads_.start([recognition] { recognition->run(); });
    } catch (const std::system_error& error) {
      handler(std::nullopt, Error{std::string("the speech recognizer could not start: ") + error.what()});
    }
    return std::make_unique<Task>(std::move(recognition));
  }

 private:
  const std::shared_ptr<SpeechEngine> engine_;
  const RecognitionSettings settings_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<Recognition>> recognitions_;
  Threads threads_;
};

// Starts tasks on its service's threads while the service lives.
class Recognizer final : public SpeechRecognizer {
 public:
  explicit Recognizer(std::weak_ptr<Service> service) : service_(std::move(service)) {}

  bool supportsOnDeviceRecognition() const override { return true; }

  std::unique_ptr<SpeechRecognitionTask> recognitionTask(std::shared_ptr<SpeechRecognitionRequest> request,
                                                         ResultHandler handler) override {
    if (auto service = service_.lock()) return service->startTask(std::move(request), handler);
    handler(std::nullopt, Error{"the speech service has ended"});
    return std::make_unique<Task>(nullptr);
  }

 private:
  const std::weak_ptr<Service> service_;
};

std::unique_ptr<SpeechRecognizer> Service::makeRecognizer() {
  if (!engine_ || !engine_->ready()) return nullptr;
  return std::make_unique<Recognizer>(weak_from_this());
}

}  // namespace

std::shared_ptr<SpeechService> makeWorkerSpeechService(std::shared_ptr<SpeechEngine> engine,
                                                       RecognitionSettings settings) {
  return std::make_shared<Service>(std::move(engine), std::move(settings));
}

}  // namespace talvora::platform
