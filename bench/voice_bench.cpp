// What the voice processing does to the transcript: the word error rate of the recorder's
// own recognizer on speech that went through the signal chain (mix-down, voice processor)
// at 48 kHz, clean and in noise, for each processing setting, and what the processing
// costs in CPU per second of audio.
//
//   build/bench/voice_bench                                 the whole table (about 6 minutes)
//   build/bench/voice_bench --benchmark_filter=adaptive     one row
//   SPEECH_BENCH_SHOW=1 build/bench/voice_bench ...         also prints the transcripts
//   VOICE_BENCH_ALIGNMENTS=4 build/bench/voice_bench ...    each recording also 2.5, 5 and
//                                                           7.5 ms later, the word errors
//                                                           summed over the four
//
// The speech: the five LibriVox excerpts of pocketsphinx's test data (71 words), each a
// recording of its own with a fresh processor and recognition task, and a note of the five
// joined by 2 s pauses, twice over (71.4 s, 142 words). The noise: pink and brown from
// `sox -R synth` (repeatable: the same samples on every run), scaled so that the speech's
// mean power (over the excerpts, pauses not counted) stands 20 or 10 dB above the noise's;
// every recording gets its own stretch of it, the note's pauses too. The audio is fed as
// fast as the decoder takes it, in the tap's 2048-frame buffers. At the end a table of
// every row that ran.
//
// Where the recognizer's 10 ms frames fall in the speech moves its word error by several
// points (see the "later" rows), and every processor delays its output by a few
// milliseconds: with VOICE_BENCH_ALIGNMENTS=N each recording is transcribed N times, at
// offsets spread evenly over one frame, so that a row's figure is its word error whatever
// the alignment rather than at one that happens to suit it.
//
// Counters: <condition>_excerpts and <condition>_note, the word error rates; cpu_ms, the
// signal chain's thread CPU time (mix-down included) per second of audio.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/signal_chain.h"
#include "capture/voice_capture.h"
#include "platform/webrtc/webrtc_voice_processor.h"
#include "speech_feed.h"

namespace {

using namespace talvora;
using namespace talvora::bench;
using Settings = platform::WebRtcVoiceSettings;
using Suppression = Settings::Suppression;

// The note: the five excerpts twice over, with pauses before, between and after.
constexpr double kPause = 2.0;
constexpr int kNoteRounds = 2;

// ---- the recordings ------------------------------------------------------------------------

struct Condition {
  const char* name;
  const char* noise;  // sox's name for it; null: clean
  double snrDb;
};

constexpr Condition kConditions[] = {
    {"clean", nullptr, 0},
    {"pink20", "pinknoise", 20},
    {"pink10", "pinknoise", 10},
    {"brown10", "brownnoise", 10},
};

double meanPower(const std::vector<float>& samples) {
  double sum = 0;
  for (float x : samples) sum += double(x) * x;
  return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

// `seconds` of sox's noise at the bench's rate.
std::vector<float> soxNoise(const char* kind, double seconds) {
  const std::string command = "sox -R -n -t raw -r " + std::to_string(static_cast<int>(kRate)) +
                              " -c 1 -e floating-point -b 32 - synth " + std::to_string(seconds) + " " + kind;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::vector<float> noise(static_cast<size_t>(seconds * kRate));
  const size_t got = std::fread(noise.data(), sizeof(float), noise.size(), pipe);
  if (pclose(pipe) != 0 || got != noise.size()) throw std::runtime_error(command + " failed");
  return noise;
}

// The recordings of one condition: the excerpts one by one, and the note.
struct Recordings {
  std::vector<Excerpt> excerpts;
  Excerpt note;
};

Recordings makeRecordings(const std::vector<Excerpt>& clean, const Condition& condition) {
  Recordings recordings{clean, testing::joined(clean, kPause, kNoteRounds)};
  if (!condition.noise) return recordings;
  std::vector<float> speech;
  double seconds = recordings.note.seconds();
  for (const Excerpt& e : clean) {
    speech.insert(speech.end(), e.samples.begin(), e.samples.end());
    seconds += e.seconds();
  }
  const std::vector<float> noise = soxNoise(condition.noise, std::ceil(seconds) + 1);
  const auto gain = static_cast<float>(std::sqrt(meanPower(speech) / meanPower(noise) / std::pow(10, condition.snrDb / 10)));
  size_t used = 0;
  auto addNoise = [&](std::vector<float>& samples) {
    for (float& x : samples) x += gain * noise[used++];
  };
  for (Excerpt& e : recordings.excerpts) addNoise(e.samples);
  addNoise(recordings.note.samples);
  return recordings;
}

const std::vector<Recordings>& recordingsByCondition() {
  static const auto* all = [] {
    std::vector<Excerpt> clean;
    for (const Excerpt& e : testing::loadExcerpts()) clean.push_back(testing::resampled(e, kRate));
    auto* made = new std::vector<Recordings>;
    for (const Condition& condition : kConditions) made->push_back(makeRecordings(clean, condition));
    return made;
  }();
  return *all;
}

// ---- one row ---------------------------------------------------------------------------------

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A recording through a fresh signal chain (with a processor made from `settings`, or
// none) into a fresh recognition task. Adds the chain's CPU time to `cpuSeconds`.
Outcome transcribe(const Excerpt& original, const std::optional<Settings>& settings, bool echo, double lateMs,
                   double& cpuSeconds) {
  Excerpt recording = original;
  recording.samples.insert(recording.samples.begin(), static_cast<size_t>(lateMs * kRate / 1000), 0.0f);
  capture::SignalChain chain;
  if (settings) {
    auto made = platform::makeWebRtcVoiceProcessor(kRate, capture::VoiceCapture::kPoolFrames, echo, *settings);
    if (!made) {
      Outcome failed;
      failed.error = made.error().description;
      return failed;
    }
    chain.setProcessor(made.take(), capture::VoiceCapture::kPoolFrames);
  }
  std::vector<float> out(kBufferFrames);
  return recognize(noteOf(recording), Pace::asFastAsDecoded, 0, [&](const float* samples, size_t frames) {
    const double before = threadCpuSeconds();
    chain.run(&samples, 1, static_cast<uint32_t>(frames), out.data());
    cpuSeconds += threadCpuSeconds() - before;
    return out.data();
  });
}

struct Row {
  std::string name;
  std::vector<std::pair<double, double>> rates;  // excerpts, note: per condition
  double cpuMs = 0;
};

std::vector<Row>& rows() {
  static auto* all = new std::vector<Row>;
  return *all;
}

int alignments() {
  const char* asked = std::getenv("VOICE_BENCH_ALIGNMENTS");
  return asked ? std::max(1, std::atoi(asked)) : 1;
}

void runRow(benchmark::State& state, const std::string& name, const std::optional<Settings>& settings, bool echo,
            double lateMs) {
  service();
  const std::vector<Recordings>& recordings = recordingsByCondition();
  const int offsets = alignments();
  for (auto _ : state) {
    Row row{name, {}, 0};
    double cpu = 0, audio = 0;
    for (size_t c = 0; c < recordings.size(); ++c) {
      testing::WordErrors excerptErrors, noteErrors;
      for (int k = 0; k < offsets; ++k) {
        const double late = lateMs + 10.0 * k / offsets;
        std::string text;
        for (const Excerpt& e : recordings[c].excerpts) {
          const Outcome run = transcribe(e, settings, echo, late, cpu);
          if (!run.error.empty()) state.SkipWithError(run.error.c_str());
          text += (text.empty() ? "" : " ") + run.text;
          audio += e.seconds();
        }
        const Outcome note = transcribe(recordings[c].note, settings, echo, late, cpu);
        if (!note.error.empty()) state.SkipWithError(note.error.c_str());
        audio += recordings[c].note.seconds();
        excerptErrors += testing::wordErrors(referenceOf(recordings[c].excerpts), text);
        noteErrors += testing::wordErrors(recordings[c].note.reference, note.text);
      }
      const double excerpts = excerptErrors.rate();
      const double noteRate = noteErrors.rate();
      state.counters[std::string(kConditions[c].name) + "_excerpts"] = excerpts;
      state.counters[std::string(kConditions[c].name) + "_note"] = noteRate;
      row.rates.emplace_back(excerpts, noteRate);
    }
    row.cpuMs = 1000 * cpu / audio;
    state.counters["cpu_ms"] = row.cpuMs;
    rows().push_back(row);
  }
}

Settings fixed(Suppression suppression, bool gainControl, Settings::HighPass highPass = Settings::HighPass::own) {
  Settings s;
  s.highPass = highPass;
  s.suppression = suppression;
  s.gainControl = gainControl;
  return s;
}

struct Setting {
  const char* name;
  std::optional<Settings> settings;  // none: no processor, the plain mix-down
  // With echo cancellation and no far end (the sink idle): what the canceller costs, and
  // that cancelling against silence leaves the speech alone.
  bool echo = false;
  // The same audio this much later (digital silence in front): the recognizer's frames
  // then fall elsewhere in the speech, and how much that alone moves the word error is
  // the yardstick for every difference in the table.
  double lateMs = 0;
};

const Setting kSettings[] = {
    {"none", std::nullopt},
    // Exactly what the recorder did before: the library's own high-pass filter inside the
    // suppression stage.
    {"old: high-pass + moderate suppression + adaptive digital gain",
     fixed(Suppression::moderate, true, Settings::HighPass::library)},
    {"high-pass only", fixed(Suppression::off, false)},
    {"high-pass + moderate suppression", fixed(Suppression::moderate, false)},
    {"high-pass + high suppression", fixed(Suppression::high, false)},
    {"adaptive (the recorder's)", Settings{}},
    {"adaptive + echo cancellation, silent far end", Settings{}, true},
    {"high-pass only, 1 ms later", fixed(Suppression::off, false), false, 1},
    {"high-pass only, 4 ms later", fixed(Suppression::off, false), false, 4},
};

void printTable() {
  if (rows().empty()) return;
  std::printf("\n| processing | clean excerpts / note | pink 20 dB | pink 10 dB | brown 10 dB | CPU ms per audio s |\n");
  std::printf("|---|---|---|---|---|---:|\n");
  for (const Row& row : rows()) {
    std::printf("| %s |", row.name.c_str());
    for (const auto& [excerpts, note] : row.rates) std::printf(" %.1f / %.1f |", 100 * excerpts, 100 * note);
    std::printf(" %.2f |\n", row.cpuMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const Setting& setting : kSettings) {
    benchmark::RegisterBenchmark(setting.name, [setting](benchmark::State& state) {
      runRow(state, setting.name, setting.settings, setting.echo, setting.lateMs);
    })->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printTable();
  return 0;
}
