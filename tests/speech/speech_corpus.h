#pragma once

// The recordings the speech tests and the speech benchmark share: the LibriVox excerpts
// that come with pocketsphinx's test data, their reference transcriptions, resampling to
// the rates a microphone delivers, word error rate, and a recorder of a task's results.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech.h"

namespace talvora::testing {

struct Excerpt {
  std::string id;
  std::string reference;       // lower-case words
  std::vector<float> samples;  // mono, at `sampleRate`
  double sampleRate = 0;
  double seconds() const { return static_cast<double>(samples.size()) / sampleRate; }
};

inline constexpr const char* kLibrivoxFolder = "/usr/share/pocketsphinx/test/data/librivox";

// The excerpts named in the folder's fileids, in that order, with their transcriptions.
// Throws std::runtime_error when something is missing.
std::vector<Excerpt> loadExcerpts(const std::string& folder = kLibrivoxFolder);

// High-quality conversion of a whole signal.
std::vector<float> resample(const std::vector<float>& samples, double from, double to);
Excerpt resampled(const Excerpt& excerpt, double rate);

// The excerpts one after another with `pause` seconds of silence before each and after the
// last, repeated `times` times, as one recording.
Excerpt joined(const std::vector<Excerpt>& excerpts, double pause, int times = 1);

// Word-level edit distance against the reference, case and punctuation ignored.
struct WordErrors {
  size_t errors = 0;
  size_t referenceWords = 0;
  double rate() const { return referenceWords ? static_cast<double>(errors) / static_cast<double>(referenceWords) : 0; }
  WordErrors& operator+=(const WordErrors& other) {
    errors += other.errors;
    referenceWords += other.referenceWords;
    return *this;
  }
};
WordErrors wordErrors(const std::string& reference, const std::string& hypothesis);

// Everything a recognition task reports, in order, with the time of each call.
class ResultLog : public std::enable_shared_from_this<ResultLog> {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::optional<platform::SpeechResult> result;
    std::optional<platform::Error> error;
    Clock::time_point at;
  };

  static std::shared_ptr<ResultLog> make() { return std::make_shared<ResultLog>(); }
  // A handler that records into this log (and keeps it alive).
  platform::SpeechRecognizer::ResultHandler handler();

  // Waits for a final result or an error; false on timeout.
  bool waitForEnd(double seconds);
  // Waits until at least `count` calls have arrived; false on timeout.
  bool waitForCalls(size_t count, double seconds);
  std::vector<Entry> entries();
  std::optional<Entry> final();
  std::optional<platform::Error> error();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

// Appends `samples` to the request in buffers of `frames`, as the capture queue does.
void stream(platform::SpeechRecognitionRequest& request, const std::vector<float>& samples, double rate,
            size_t frames = 2048);

}  // namespace talvora::testing
