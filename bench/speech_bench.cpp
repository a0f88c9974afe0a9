// Speech recognition through the pocketsphinx service, streamed as the recorder streams
// it (48 kHz, 2048-frame buffers), side by side with pocketsphinx_continuous (through
// speech_peer.sh) on the same speech at 16 kHz.
//
//   build/bench/speech_bench                       everything (about a quarter of an hour)
//   build/bench/speech_bench --benchmark_filter=Excerpts
//   build/bench/speech_bench --benchmark_filter=Containers   ten minutes through each container
//
// The process, the service's threads and the peer are all pinned to one core, so the
// real-time factors are those of a single core. Counters:
//   wer          word error rate against the LibriVox transcriptions
//   rtf_cpu      CPU seconds per second of audio (all threads of the process, or the peer)
//   rtf_wall     wall seconds per second of audio, the audio fed as fast as it is decoded
//   rtf_decode   the peer's wall time less its model load, per second of audio
//   delay_ms     end of audio (endAudio) to the final result
//   rss_*_MB     resident memory; the peer's is its peak
//   Containers only: bytes_per_min and MB_10min of the file the recorder's backend writes,
//   encode_cpu_s_per_min (CPU seconds to write a minute of audio), decoded_s (what
//   libsndfile reads back); wer is then that of the decoded file

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pocketsphinx/pocketsphinx_speech.h"
#include "platform/sndfile/sndfile_audio_file.h"
#include "speech_corpus.h"

extern char** environ;

namespace {

using namespace talvora;
using testing::Excerpt;
using Clock = std::chrono::steady_clock;

constexpr double kRate = 48000;
constexpr size_t kBufferFrames = 2048;
constexpr double kDecoderRate = 16000;
constexpr size_t kBlockSamples = 2048;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// "VmRSS" or "VmHWM" of this process, in MB.
double memoryMB(const std::string& field) {
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
Note makeNote(const std::vector<Excerpt>& excerpts, double pause, int rounds) {
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
Note noteOf(const Excerpt& excerpt) {
  Note note;
  note.rate = excerpt.sampleRate;
  note.segments.push_back({&excerpt.samples, 0});
  note.reference = excerpt.reference;
  return note;
}

struct Corpus {
  std::vector<Excerpt> original;  // 16 kHz, as shipped
  std::vector<Excerpt> at48;
  std::filesystem::path folder;   // WAVs written for the peer
};

Corpus& corpus() {
  static Corpus* c = [] {
    auto* made = new Corpus;
    made->original = testing::loadExcerpts();
    for (const Excerpt& e : made->original) made->at48.push_back(testing::resampled(e, kRate));
    char pattern[] = "/tmp/talvora-speech-bench-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    made->folder = pattern;
    return made;
  }();
  return *c;
}

void writeWav(const Note& note, const std::string& path) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(note.rate);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path);
  note.stream(16384, [&](const float* samples, size_t frames, double) {
    sf_writef_float(file, samples, static_cast<sf_count_t>(frames));
  });
  sf_close(file);
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
Progress& progress() {
  static auto* p = new Progress;
  return *p;
}

struct Service {
  std::shared_ptr<platform::SpeechService> speech;
  double loadSeconds = 0;
};

Service& service() {
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

Outcome recognize(const Note& note, Pace pace, double rssEvery = 0) {
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
    request->append(samples, static_cast<uint32_t>(frames), note.rate);
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

// ---- the peer -----------------------------------------------------------------------------

struct PeerOutcome {
  std::string text;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double peakMB = 0;
  int status = 0;
};

PeerOutcome runPeer(const std::string& wav) {
  PeerOutcome outcome;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string script = TALVORA_SPEECH_PEER;
  std::string file = wav;
  std::string peakFile = (corpus().folder / "peak.txt").string();
  char* argv[] = {script.data(), file.data(), peakFile.data(), nullptr};
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, script.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("cannot run " + script);
  }
  char chunk[4096];
  for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) > 0;) outcome.text.append(chunk, static_cast<size_t>(got));
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  outcome.wallSeconds = secondsSince(start);
  outcome.status = status;
  outcome.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::ifstream peak(peakFile);
  double kB = 0;
  peak >> kB;
  outcome.peakMB = kB / 1024.0;
  for (char& c : outcome.text) {
    if (c == '\n') c = ' ';
  }
  if (std::getenv("SPEECH_BENCH_SHOW")) std::cerr << "peer: " << outcome.text << '\n';
  return outcome;
}

// The peer's start-up (model loading), measured on half a second of silence.
double peerLoadSeconds() {
  static double seconds = [] {
    Note silence;
    silence.rate = kDecoderRate;
    silence.segments.push_back({nullptr, static_cast<size_t>(kDecoderRate / 2)});
    const std::string path = (corpus().folder / "silence.wav").string();
    writeWav(silence, path);
    double best = 1e9;
    for (int i = 0; i < 3; ++i) best = std::min(best, runPeer(path).wallSeconds);
    return best;
  }();
  return seconds;
}

// ---- benchmarks ----------------------------------------------------------------------------

void reportOurs(benchmark::State& state, const std::vector<Outcome>& runs, const std::string& reference) {
  testing::WordErrors errors;
  double audio = 0, cpu = 0, wall = 0, delaySum = 0, delayMax = 0;
  std::string text;
  for (const Outcome& run : runs) {
    if (!run.error.empty()) state.SkipWithError(run.error.c_str());
    audio += run.audioSeconds;
    cpu += run.cpuSeconds;
    wall += run.wallSeconds;
    delaySum += run.delaySeconds;
    delayMax = std::max(delayMax, run.delaySeconds);
    text += (text.empty() ? "" : " ") + run.text;
  }
  errors = testing::wordErrors(reference, text);
  state.counters["wer"] = errors.rate();
  state.counters["audio_s"] = audio;
  state.counters["rtf_cpu"] = cpu / audio;
  state.counters["delay_ms"] = 1000 * delaySum / static_cast<double>(runs.size());
  state.counters["delay_max_ms"] = 1000 * delayMax;
  state.counters["rss_MB"] = memoryMB("VmRSS");
  state.counters["rss_peak_MB"] = memoryMB("VmHWM");
  state.counters["model_load_s"] = service().loadSeconds;
  (void)wall;
}

void reportPeer(benchmark::State& state, const std::vector<PeerOutcome>& runs, const std::string& reference,
                double audio) {
  std::string text;
  double wall = 0, cpu = 0, peak = 0;
  for (const PeerOutcome& run : runs) {
    if (run.status != 0) state.SkipWithError("the peer failed");
    text += (text.empty() ? "" : " ") + run.text;
    wall += run.wallSeconds;
    cpu += run.cpuSeconds;
    peak = std::max(peak, run.peakMB);
  }
  state.counters["wer"] = testing::wordErrors(reference, text).rate();
  state.counters["audio_s"] = audio;
  state.counters["rtf_cpu"] = cpu / audio;
  state.counters["rtf_wall"] = wall / audio;
  state.counters["rtf_decode"] = (wall - peerLoadSeconds() * static_cast<double>(runs.size())) / audio;
  state.counters["rss_peak_MB"] = peak;
}

std::string referenceOf(const std::vector<Excerpt>& excerpts) {
  std::string reference;
  for (const Excerpt& e : excerpts) reference += (reference.empty() ? "" : " ") + e.reference;
  return reference;
}

// Each excerpt as a recording of its own, fed in real time.
void Excerpts_Ours(benchmark::State& state) {
  service();
  for (auto _ : state) {
    std::vector<Outcome> runs;
    for (const Excerpt& e : corpus().at48) runs.push_back(recognize(noteOf(e), Pace::realTime));
    reportOurs(state, runs, referenceOf(corpus().at48));
  }
}

void Excerpts_Peer(benchmark::State& state) {
  peerLoadSeconds();
  for (auto _ : state) {
    std::vector<PeerOutcome> runs;
    double audio = 0;
    for (const Excerpt& e : corpus().original) {
      runs.push_back(runPeer(std::string(testing::kLibrivoxFolder) + "/" + e.id + ".wav"));
      audio += e.seconds();
    }
    reportPeer(state, runs, referenceOf(corpus().original), audio);
  }
}

// The excerpts joined with pauses of two seconds, eight times over: about five minutes.
constexpr double kPause = 2.0;
constexpr int kLongRounds = 8;

void LongNote_Ours(benchmark::State& state) {
  service();
  for (auto _ : state) {
    const Note note = makeNote(corpus().at48, kPause, kLongRounds);
    Outcome run = recognize(note, Pace::asFastAsDecoded, 60);
    reportOurs(state, {run}, note.reference);
    state.counters["rtf_wall"] = run.wallSeconds / run.audioSeconds;
    // From the first minute on, once the decoder's working structures have grown.
    state.counters["rss_growth_MB"] = run.rss.back().second - run.rss.at(1).second;
  }
}

void LongNote_Peer(benchmark::State& state) {
  peerLoadSeconds();
  const Note note = makeNote(corpus().original, kPause, kLongRounds);
  const std::string path = (corpus().folder / "long.wav").string();
  writeWav(note, path);
  for (auto _ : state) reportPeer(state, {runPeer(path)}, note.reference, note.seconds());
}

// Half an hour of the excerpts and pauses: the service's memory must stay flat.
void ThirtyMinutes_Ours(benchmark::State& state) {
  service();
  for (auto _ : state) {
    const Note round = makeNote(corpus().at48, kPause, 1);
    const int rounds = static_cast<int>(std::ceil(30 * 60 / round.seconds()));
    const Note note = makeNote(corpus().at48, kPause, rounds);
    Outcome run = recognize(note, Pace::asFastAsDecoded, 60);
    reportOurs(state, {run}, note.reference);
    state.counters["rtf_wall"] = run.wallSeconds / run.audioSeconds;
    auto at = [&](double seconds) {
      for (const auto& [when, mb] : run.rss) {
        if (when >= seconds) return mb;
      }
      return run.rss.back().second;
    };
    state.counters["rss_1min_MB"] = at(60);
    state.counters["rss_10min_MB"] = at(600);
    state.counters["rss_20min_MB"] = at(1200);
    state.counters["rss_30min_MB"] = run.rss.back().second;
    state.counters["rss_growth_MB"] = run.rss.back().second - at(60);
  }
}

// The demo's speech (the excerpts with 0.6 s after each, at 48 kHz) looped to ten minutes,
// written through the recorder's file backend in its 2048-frame buffers, read back with
// libsndfile, and transcribed from what was read. "vorbis" (not a container the recorder
// writes) is Ogg Vorbis at libsndfile's quality 0.9, measured beside Opus for .ogg.
constexpr const char* kContainerNames[] = {"wav", "flac", "opus", "mp3", "vorbis"};

void Containers_Ours(benchmark::State& state) {
  service();
  const std::string name = kContainerNames[state.range(0)];
  for (auto _ : state) {
    Note note;
    note.rate = kRate;
    while (note.seconds() < 600) {
      for (const Excerpt& e : corpus().at48) {
        note.segments.push_back({&e.samples, 0});
        note.segments.push_back({nullptr, static_cast<size_t>(0.6 * kRate)});
        note.reference += (note.reference.empty() ? "" : " ") + e.reference;
      }
    }
    const std::string path = (corpus().folder / ("note." + (name == "vorbis" ? std::string("ogg") : name))).string();
    const double cpuStart = processCpuSeconds();
    if (name == "vorbis") {
      SF_INFO info{};
      info.samplerate = static_cast<int>(kRate);
      info.channels = 1;
      info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
      SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
      double quality = 0.9;
      sf_command(file, SFC_SET_COMPRESSION_LEVEL, &quality, sizeof quality);
      note.stream(kBufferFrames, [&](const float* samples, size_t frames, double) {
        sf_writef_float(file, samples, static_cast<sf_count_t>(frames));
      });
      sf_close(file);
    } else {
      auto made = platform::makeSndfileAudioFileFactory()->createForWriting(path, {kRate, 1});
      if (!made) {
        state.SkipWithError(made.error().description.c_str());
        return;
      }
      auto file = made.take();
      note.stream(kBufferFrames, [&](const float* samples, size_t frames, double) {
        if (auto failed = file->write(samples, static_cast<uint32_t>(frames))) state.SkipWithError(failed->description.c_str());
      });
      file.reset();
    }
    const double encodeCpu = processCpuSeconds() - cpuStart;
    const auto bytes = static_cast<double>(std::filesystem::file_size(path));

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
      state.SkipWithError(sf_strerror(nullptr));
      return;
    }
    std::vector<float> decoded;
    std::vector<float> chunk(16384);
    for (sf_count_t got; (got = sf_readf_float(file, chunk.data(), 16384)) > 0;) {
      decoded.insert(decoded.end(), chunk.begin(), chunk.begin() + got);
    }
    sf_close(file);
    Note heard;
    heard.rate = info.samplerate;
    heard.segments.push_back({&decoded, 0});
    heard.reference = note.reference;
    Outcome run = recognize(heard, Pace::asFastAsDecoded);
    reportOurs(state, {run}, note.reference);
    const double minutes = note.seconds() / 60;
    state.counters["bytes_per_min"] = bytes / minutes;
    state.counters["MB_10min"] = bytes / minutes * 10 / 1e6;
    state.counters["encode_cpu_s_per_min"] = encodeCpu / minutes;
    state.counters["decoded_s"] = heard.seconds();
    state.SetLabel(name);
  }
}

BENCHMARK(Excerpts_Ours)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Excerpts_Peer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(LongNote_Ours)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(LongNote_Peer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(ThirtyMinutes_Ours)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Containers_Ours)->DenseRange(0, 4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Pins the process, and so every thread and child it starts later, to the first core it may
// use.
void pinToOneCore() {
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

}  // namespace

int main(int argc, char** argv) {
  pinToOneCore();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(corpus().folder);
  return 0;
}
