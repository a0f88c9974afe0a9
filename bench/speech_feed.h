#pragma once

// Streaming speech through the recorder's pocketsphinx service as the recorder does
// (48 kHz, 2048-frame buffers), for the benchmarks that measure what it transcribes:
// recordings made of excerpts and pauses, the one service every benchmark shares (loaded
// once, with a hook that tells the feeder how far the decoder has got), and the pacing
// (real time, or as fast as it decodes without running ahead).

#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pocketsphinx/pocketsphinx_speech.h"
#include "speech_corpus.h"

namespace talvora::bench {

using testing::Excerpt;
using Clock = std::chrono::steady_clock;

inline constexpr double kRate = 48000;
inline constexpr size_t kBufferFrames = 2048;
inline constexpr double kDecoderRate = 16000;
inline constexpr size_t kBlockSamples = 2048;

inline double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

inline double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// "VmRSS" or "VmHWM" of this process, in MB.
inline double memoryMB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

// A recording made of excerpts and silences, streamed in buffers without ever being held
// whole (a half-hour note at 48 kHz would otherwise weigh 350 MB and hide the service's own
// memory).
struct Note {
  struct Segment {
    const std::vector<float>* samples = nullptr;  // or silence
    size_t silence = 0;
  };
  std::string reference;
  std::vector<Segment> segments;
  double rate = 0;

  double seconds() const {
    double frames = 0;
    for (const Segment& s : segments) frames += static_cast<double>(s.samples ? s.samples->size() : s.silence);
    return frames / rate;
  }

  // Calls `deliver(samples, frames, secondsSoFar)` for each buffer of `frames` (the last
  // one may be shorter).
  template <typename Deliver>
  void stream(size_t frames, Deliver deliver) const {
    std::vector<float> buffer;
    buffer.reserve(frames);
    size_t done = 0;
    auto flush = [&] {
      done += buffer.size();
      deliver(buffer.data(), buffer.size(), static_cast<double>(done) / rate);
      buffer.clear();
    };
    for (const Segment& s : segments) {
      const size_t length = s.samples ? s.samples->size() : s.silence;
      for (size_t i = 0; i < length; ++i) {
        buffer.push_back(s.samples ? (*s.samples)[i] : 0.0f);
        if (buffer.size() == frames) flush();
      }
    }
    if (!buffer.empty()) flush();
  }
};

// The excerpts with `pause` seconds of silence before each and after the last, `rounds`
// times over.
inline Note makeNote(const std::vector<Excerpt>& excerpts, double pause, int rounds) {
  Note note;
  note.rate = excerpts.at(0).sampleRate;
  const auto silence = static_cast<size_t>(pause * note.rate);
  for (int r = 0; r < rounds; ++r) {
    for (const Excerpt& e : excerpts) {
      if (silence) note.segments.push_back({nullptr, silence});
      note.segments.push_back({&e.samples, 0});
      note.reference += (note.reference.empty() ? "" : " ") + e.reference;
    }
  }
  if (silence) note.segments.push_back({nullptr, silence});
  return note;
}

// One excerpt alone.
inline Note noteOf(const Excerpt& excerpt) {
  Note note;
  note.rate = excerpt.sampleRate;
  note.segments.push_back({&excerpt.samples, 0});
  note.reference = excerpt.reference;
  return note;
}

// ---- the recorder's service ---------------------------------------------------------------

// Blocks the service has started to decode: with what the bench appended, the backlog.
// The feeder waits on `progress` rather than polling, so that its own CPU time stays out of
// the service's.
struct Progress {
  std::mutex mutex;
  std::condition_variable changed;
  long decodedBlocks = 0;

  void blockStarted() {
    {
      std::lock_guard lock(mutex);
      ++decodedBlocks;
    }
    changed.notify_one();
  }
  long blocks() {
    std::lock_guard lock(mutex);
    return decodedBlocks;
  }
  // Waits until `enough(decodedBlocks)` holds, or a minute without it.
  template <typename Predicate>
  bool waitUntil(Predicate enough) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::minutes(1), [&] { return enough(decodedBlocks); });
  }
};
inline Progress& progress() {
  static auto* p = new Progress;
  return *p;
}

struct Service {
  std::shared_ptr<platform::SpeechService> speech;
  double loadSeconds = 0;
};

inline Service& service() {
  static Service* s = [] {
    platform::PocketsphinxOptions options;
    options.locale = "en_US.UTF-8";
    // The bench feeds faster than real time and bounds the backlog itself.
    options.maximumLagSeconds = 1e9;
    options.beforeDecode = [] { progress().blockStarted(); };
    auto* made = new Service;
    made->speech = platform::makePocketsphinxSpeechService(options);
    const auto start = Clock::now();
    std::promise<void> answered;
    made->speech->requestAuthorization([&](platform::SpeechAuthorizationStatus) { answered.set_value(); });
    answered.get_future().wait();
    made->loadSeconds = secondsSince(start);
    return made;
  }();
  return *s;
}

// What the recorder keeps of a task's results: the latest text, not every partial result
// (each holds the whole transcript so far; keeping them all would grow quadratically).
class Results {
 public:
  platform::SpeechRecognizer::ResultHandler handler() {
    return [this](std::optional<platform::SpeechResult> result, std::optional<platform::Error> error) {
      std::lock_guard lock(mutex_);
      if (error) error_ = error->description;
      if (result) {
        text_ = std::move(result->formattedString);
        if (result->isFinal) {
          finalAt_ = Clock::now();
        } else {
          ++partials_;
        }
      }
      if (error || finalAt_) ended_.notify_all();
    };
  }
  bool waitForEnd(double seconds) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return error_ || finalAt_; });
  }
  std::string text() { return locked(text_); }
  std::optional<std::string> error() { return locked(error_); }
  std::optional<Clock::time_point> finalAt() { return locked(finalAt_); }
  size_t partials() { return locked(partials_); }

 private:
  template <typename T>
  T locked(const T& value) {
    std::lock_guard lock(mutex_);
    return value;
  }
  std::mutex mutex_;
  std::condition_variable ended_;
  std::string text_;
  std::optional<std::string> error_;
  std::optional<Clock::time_point> finalAt_;
  size_t partials_ = 0;
};

enum class Pace {
  realTime,         // as a microphone delivers it
  asFastAsDecoded,  // no more than two seconds ahead of the decoder; caught up at the end
};

struct Outcome {
  std::string text;
  std::string error;
  double audioSeconds = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double delaySeconds = 0;
  size_t partials = 0;
  std::vector<std::pair<double, double>> rss;  // (audio seconds, MB)
};

// What the bench does to each buffer before the recognizer gets it (the voice processing
// under test); returns the samples to append, `frames` of them.
using Transform = std::function<const float*(const float* samples, size_t frames)>;

// Streams the note through a fresh recognition task, paced as asked, and returns what the
// service made of it.
inline Outcome recognize(const Note& note, Pace pace, double rssEvery = 0, const Transform& transform = {}) {
  Outcome outcome;
  outcome.audioSeconds = note.seconds();
  auto recognizer = service().speech->makeRecognizer();
  if (!recognizer) {
    outcome.error = "no recognizer";
    return outcome;
  }
  auto request = service().speech->makeRequest(true);
  // Outlives the task: the handler may still run until the final result.
  auto results = std::make_shared<Results>();
  auto task = recognizer->recognitionTask(request, results->handler());
  const long blocksBefore = progress().blocks();
  double appended16k = 0;
  // Whether fewer than `blocks` blocks of what was appended wait for the decoder.
  auto backlogBelow = [&](double blocks) {
    return [&, blocks](long decoded) {
      return appended16k / kBlockSamples - static_cast<double>(decoded - blocksBefore) < blocks;
    };
  };
  double nextRss = 0;

  const auto start = Clock::now();
  const double cpuStart = processCpuSeconds();
  note.stream(kBufferFrames, [&](const float* samples, size_t frames, double at) {
    if (pace == Pace::realTime) {
      // A buffer is there once its last sample has been captured.
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at)));
    } else {
      if (!progress().waitUntil(backlogBelow(2 * kDecoderRate / kBlockSamples))) outcome.error = "the decoder stalled";
    }
    request->append(transform ? transform(samples, frames) : samples, static_cast<uint32_t>(frames), note.rate);
    appended16k += static_cast<double>(frames) * kDecoderRate / note.rate;
    if (rssEvery > 0 && at >= nextRss) {
      outcome.rss.emplace_back(at, memoryMB("VmRSS"));
      nextRss += rssEvery;
    }
  });
  if (pace == Pace::asFastAsDecoded) {
    // As at the end of a live recording: the decoder has decoded all but the last
    // incomplete block and what the resampler's filter holds back (together less than two
    // blocks), and has had the time to finish the last whole one.
    if (!progress().waitUntil(backlogBelow(2))) outcome.error = "the decoder stalled";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto ended = Clock::now();
  request->endAudio();
  if (!results->waitForEnd(600)) outcome.error = "no final result";
  outcome.wallSeconds = secondsSince(start);
  outcome.cpuSeconds = processCpuSeconds() - cpuStart;
  if (auto error = results->error()) outcome.error = *error;
  if (auto finalAt = results->finalAt()) {
    outcome.text = results->text();
    outcome.delaySeconds = std::chrono::duration<double>(*finalAt - ended).count();
  }
  outcome.partials = results->partials();
  if (rssEvery > 0) outcome.rss.emplace_back(outcome.audioSeconds, memoryMB("VmRSS"));
  if (std::getenv("SPEECH_BENCH_SHOW")) {
    std::cerr << "ours (" << outcome.delaySeconds * 1000 << " ms, " << outcome.cpuSeconds / outcome.audioSeconds
              << " cpu/audio): " << outcome.text << '\n';
  }
  return outcome;
}

inline std::string referenceOf(const std::vector<Excerpt>& excerpts) {
  std::string reference;
  for (const Excerpt& e : excerpts) reference += (reference.empty() ? "" : " ") + e.reference;
  return reference;
}

// Pins the process, and so every thread and child it starts later, to the first core it may
// use.
inline void pinToOneCore() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      sched_setaffinity(0, sizeof one, &one);
      return;
    }
  }
}

}  // namespace talvora::bench
