// The recognition worker on a scripted decoder: results, cancellation, failures (falling
// behind among them) and the service's threads, without a speech model and in a fraction
// of a second each.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/pocketsphinx/recognition_worker.h"
#include "speech_corpus.h"

namespace talvora::testing {
namespace {

using platform::Error;
using platform::Result;
using platform::SpeechDecoder;
using platform::Status;

constexpr double kRate = 48000;
constexpr size_t kBlock = 160;  // 10 ms at 16 kHz

// What the decoder does, and what it saw.
struct Script {
  std::optional<std::string> openFailure;
  int failingBlock = 0;  // 1-based; none when 0
  bool finishFails = false;
  int blocksPerWord = 10;
  std::atomic<int> loadMilliseconds{0};

  std::atomic<int> blocks{0};
  std::atomic<long> samples{0};
  std::atomic<int> shortBlocks{0};  // blocks of fewer than kBlock samples
  std::atomic<int> openDecoders{0};
};

class FakeDecoder final : public SpeechDecoder {
 public:
  explicit FakeDecoder(Script& script) : script_(script) { ++script_.openDecoders; }
  ~FakeDecoder() override { --script_.openDecoders; }

  Status decode(const float*, size_t count) override {
    const int block = ++script_.blocks;
    script_.samples += static_cast<long>(count);
    if (count < kBlock) ++script_.shortBlocks;
    if (block == script_.failingBlock) return Error{"the decoder choked"};
    words_ = block / script_.blocksPerWord;
    return std::nullopt;
  }
  Status finish() override {
    if (script_.finishFails) return Error{"the decoder could not finish"};
    finished_ = true;
    return std::nullopt;
  }
  std::string text() const override {
    std::string text;
    for (int i = 1; i <= words_; ++i) text += (i > 1 ? " word" : "Word") + std::to_string(i);
    return finished_ ? text + " end" : text;
  }

 private:
  Script& script_;
  int words_ = 0;
  bool finished_ = false;
};

class FakeEngine final : public platform::SpeechEngine {
 public:
  explicit FakeEngine(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  bool load() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(script_->loadMilliseconds));
    return loaded_ = true;
  }
  bool ready() override { return loaded_; }
  Result<std::unique_ptr<SpeechDecoder>> open() override {
    if (script_->openFailure) return Error{*script_->openFailure};
    return std::unique_ptr<SpeechDecoder>(std::make_unique<FakeDecoder>(*script_));
  }

 private:
  const std::shared_ptr<Script> script_;
  std::atomic<bool> loaded_{false};
};

platform::RecognitionSettings settings(double maximumLag = 1e9, std::function<void()> beforeDecode = {}) {
  platform::RecognitionSettings s;
  s.decoderRate = 16000;
  s.blockSamples = kBlock;
  s.maximumLagSeconds = maximumLag;
  s.beforeDecode = std::move(beforeDecode);
  return s;
}

// A service on the fake engine, authorized and loaded.
std::shared_ptr<platform::SpeechService> loaded(const std::shared_ptr<Script>& script,
                                                platform::RecognitionSettings s = settings()) {
  auto service = platform::makeWorkerSpeechService(std::make_shared<FakeEngine>(script), std::move(s));
  std::promise<void> answered;
  service->requestAuthorization([&](platform::SpeechAuthorizationStatus) { answered.set_value(); });
  answered.get_future().wait();
  return service;
}

std::vector<float> seconds(double length) { return std::vector<float>(static_cast<size_t>(length * kRate), 0.1f); }

struct Running {
  std::shared_ptr<platform::SpeechRecognitionRequest> request;
  std::shared_ptr<ResultLog> log = ResultLog::make();
  std::unique_ptr<platform::SpeechRecognitionTask> task;
};

// A task whose results go to `run.log`, through `wrap` when given.
Running start(platform::SpeechService& service,
              const std::function<platform::SpeechRecognizer::ResultHandler(
                  platform::SpeechRecognizer::ResultHandler)>& wrap = {}) {
  Running run;
  auto recognizer = service.makeRecognizer();
  EXPECT_TRUE(recognizer);
  run.request = service.makeRequest(true);
  run.task = recognizer->recognitionTask(run.request, wrap ? wrap(run.log->handler()) : run.log->handler());
  return run;
}

TEST(RecognitionWorker, PartialResultsOnEachChangeThenOneFinalAfterEndAudio) {
  auto script = std::make_shared<Script>();
  auto service = loaded(script);
  // The decoder must be back with its engine by the time the final result arrives.
  auto decodersAtFinal = std::make_shared<std::atomic<int>>(-1);
  Running run = start(*service, [&](auto record) {
    return [script, decodersAtFinal, record](auto result, auto error) {
      if (result && result->isFinal) *decodersAtFinal = script->openDecoders.load();
      record(std::move(result), std::move(error));
    };
  });
  // 16000 samples at 16 kHz: a word every 10 blocks, the tenth once the resampler's
  // filter has let go of its last milliseconds at the end of the audio.
  stream(*run.request, seconds(1), kRate, 480);
  ASSERT_TRUE(run.log->waitForCalls(9, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(run.log->final()) << "a final result before the end of the audio";
  run.request->endAudio();
  ASSERT_TRUE(run.log->waitForEnd(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  auto entries = run.log->entries();
  ASSERT_EQ(entries.size(), 11u);
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_TRUE(entries[i].result);
    EXPECT_FALSE(entries[i].error);
    EXPECT_EQ(entries[i].result->isFinal, i == 10);
    if (i > 0) {
      EXPECT_NE(entries[i].result->formattedString, entries[i - 1].result->formattedString);
    }
  }
  EXPECT_EQ(entries[0].result->formattedString, "Word1");
  EXPECT_EQ(entries.back().result->formattedString.substr(0, 5), "Word1");
  EXPECT_TRUE(entries.back().result->formattedString.ends_with(" word10 end"));
  // Every sample reached the decoder, in whole blocks but for the last.
  EXPECT_NEAR(static_cast<double>(script->samples), 16000, 2);
  EXPECT_LE(script->shortBlocks, 1);
  EXPECT_EQ(*decodersAtFinal, 0);
}

TEST(RecognitionWorker, CancelMidStreamStopsTheWorkerWithinABlock) {
  auto script = std::make_shared<Script>();
  // The worker holds just before block 20, which changes the text, with a long backlog
  // behind it: cancel lands there, so that block is decoded but its text must not be
  // delivered, and nothing after it is decoded.
  auto reached = std::make_shared<std::promise<void>>();
  auto proceed = std::make_shared<std::promise<void>>();
  std::shared_future<void> proceeding = proceed->get_future().share();
  auto hookCalls = std::make_shared<std::atomic<int>>(0);
  auto service = loaded(script, settings(1e9, [=] {
    if (++*hookCalls != 20) return;
    reached->set_value();
    proceeding.wait();
  }));
  Running run = start(*service);
  stream(*run.request, seconds(10), kRate, 480);
  ASSERT_EQ(reached->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  run.task->cancel();
  proceed->set_value();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto entries = run.log->entries();
  ASSERT_EQ(entries.size(), 1u) << "a result after cancel returned";
  EXPECT_EQ(entries[0].result->formattedString, "Word1");
  EXPECT_EQ(script->blocks, 20);
  EXPECT_EQ(script->openDecoders, 0);
  run.request->endAudio();
  run.task.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(run.log->entries().size(), 1u);
}

TEST(RecognitionWorker, CancelFromInsideTheHandlerEndsTheTask) {
  auto script = std::make_shared<Script>();
  auto service = loaded(script);
  auto log = ResultLog::make();
  auto record = log->handler();
  auto task = std::make_shared<std::unique_ptr<platform::SpeechRecognitionTask>>();
  std::promise<void> taskReady;
  std::shared_future<void> ready = taskReady.get_future().share();
  auto recognizer = service->makeRecognizer();
  ASSERT_TRUE(recognizer);
  auto request = service->makeRequest(true);
  auto cancelled = std::make_shared<std::promise<void>>();
  *task = recognizer->recognitionTask(request, [=](auto result, auto error) {
    record(std::move(result), std::move(error));
    ready.wait();
    (*task)->cancel();
    cancelled->set_value();
  });
  taskReady.set_value();
  stream(*request, seconds(1), kRate, 480);
  request->endAudio();
  ASSERT_EQ(cancelled->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log->entries().size(), 1u);
  EXPECT_FALSE(log->final());
  task->reset();
}

// ---- the service's threads --------------------------------------------------------------

TEST(RecognitionWorkerThreads, DestroyingTheServiceEndsItsTasksAndJoinsItsThreads) {
  auto script = std::make_shared<Script>();
  auto service = loaded(script, settings(1e9, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }));
  auto recognizer = service->makeRecognizer();
  ASSERT_TRUE(recognizer);
  Running run = start(*service);
  stream(*run.request, seconds(10), kRate, 480);
  ASSERT_TRUE(run.log->waitForCalls(1, 10));
  // And a load under way on another thread.
  script->loadMilliseconds = 100;
  auto answer = std::make_shared<std::promise<void>>();
  auto answered = answer->get_future();
  service->requestAuthorization([answer](platform::SpeechAuthorizationStatus) { answer->set_value(); });

  service.reset();
  // Both threads were joined before the destructor returned: the worker has stopped and
  // given its decoder back, the load has finished and answered.
  EXPECT_EQ(script->openDecoders, 0);
  EXPECT_EQ(answered.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  const size_t calls = run.log->entries().size();
  const int blocks = script->blocks;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(run.log->entries().size(), calls);
  EXPECT_EQ(script->blocks, blocks);

  // What the service handed out outlives it harmlessly; its recognizer starts nothing.
  auto late = ResultLog::make();
  auto lateTask = recognizer->recognitionTask(run.request, late->handler());
  ASSERT_TRUE(late->error());
  EXPECT_EQ(late->error()->description, "the speech service has ended");
  stream(*run.request, seconds(0.1), kRate, 480);
  run.request->endAudio();
  run.task->cancel();
  lateTask->cancel();
}

// A handler that drops the last reference to the service destroys it on the service's own
// thread, which cannot join itself: it must end cleanly all the same, and be joined later
// (ThreadSanitizer reports a thread that never is when the process exits).
TEST(RecognitionWorkerThreads, AHandlerMayDropTheLastReferenceToItsService) {
  auto script = std::make_shared<Script>();
  for (const bool onTheWorker : {false, true}) {
    auto service = loaded(script);
    auto holder = std::make_shared<std::shared_ptr<platform::SpeechService>>(service);
    auto ownerGone = std::make_shared<std::promise<void>>();
    std::shared_future<void> gone = ownerGone->get_future().share();
    auto dropped = std::make_shared<std::promise<void>>();
    auto drop = [holder, gone, dropped] {
      gone.wait();
      holder->reset();
      dropped->set_value();
    };
    std::unique_ptr<platform::SpeechRecognitionTask> task;
    std::shared_ptr<platform::SpeechRecognitionRequest> request;
    if (onTheWorker) {
      request = service->makeRequest(false);
      task = service->makeRecognizer()->recognitionTask(request, [drop](auto result, auto) {
        if (result && result->isFinal) drop();
      });
      stream(*request, seconds(0.2), kRate, 480);
      request->endAudio();
    } else {
      service->requestAuthorization([drop](platform::SpeechAuthorizationStatus) { drop(); });
    }
    service.reset();
    ownerGone->set_value();
    ASSERT_EQ(dropped->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << onTheWorker;
    EXPECT_FALSE(*holder);
    task.reset();
  }
  // A later service starts its threads as usual, joining those left behind once they end.
  EXPECT_TRUE(loaded(script)->makeRecognizer());
}

struct Failure {
  const char* name;
  void (*arrange)(Script&);
  const char* description;
  size_t partialsBefore;
  double maximumLag = 1e9;
};
void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class RecognitionWorkerFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(RecognitionWorkerFailure, BecomesTheOneErrorResultAndTheLast) {
  auto script = std::make_shared<Script>();
  GetParam().arrange(*script);
  // The decoder starts once all the audio is queued: for a lag of 0.3 s, too late.
  std::promise<void> queued;
  std::shared_future<void> allQueued = queued.get_future().share();
  auto service = loaded(script, settings(GetParam().maximumLag, [allQueued] { allQueued.wait(); }));
  Running run = start(*service);
  stream(*run.request, seconds(0.5), kRate, 480);
  queued.set_value();
  run.request->endAudio();
  ASSERT_TRUE(run.log->waitForEnd(10));
  // The task is over: more audio and the end of it change nothing.
  stream(*run.request, seconds(0.1), kRate, 480);
  run.request->endAudio();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto entries = run.log->entries();
  ASSERT_EQ(entries.size(), GetParam().partialsBefore + 1);
  ASSERT_TRUE(entries.back().error);
  EXPECT_EQ(entries.back().error->description, GetParam().description);
  EXPECT_FALSE(entries.back().result);
  EXPECT_FALSE(run.log->final());
  EXPECT_EQ(script->openDecoders, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Points, RecognitionWorkerFailure,
    ::testing::Values(
        Failure{"Open", [](Script& s) { s.openFailure = "the speech model could not be loaded"; },
                "the speech model could not be loaded", 0},
        // Blocks 10 and 20 each add a word; block 25 fails.
        Failure{"Decode", [](Script& s) { s.failingBlock = 25; }, "the decoder choked", 2},
        Failure{"Finish", [](Script& s) { s.finishFails = true; }, "the decoder could not finish", 5},
        Failure{"Lag", [](Script&) {}, "the recognizer fell more than 0.3 seconds behind the audio", 0, 0.3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talvora::testing
