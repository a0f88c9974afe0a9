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
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "platform/sndfile/sndfile_audio_file.h"
#include "speech_feed.h"

extern char** environ;

namespace {

using namespace talvora;
using namespace talvora::bench;

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
