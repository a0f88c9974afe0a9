// The WebRTC voice processor against the real library: which formats it takes, that the
// 10 ms block buffering neither loses nor repeats frames, and that what comes out is
// still the speech that went in.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include "capture/signal_chain.h"
#include "platform/webrtc/noise_adaptation.h"
#include "platform/webrtc/webrtc_voice_processor.h"

// GCC pairs its own idea of operator new with the free() below once it inlines the
// replacement, and warns; the replacements allocate and free consistently.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Counts every operator new in the process while `countingAllocations` is set, so a test
// can prove that processing allocates nothing (the library's C++ allocations go through
// this replacement too).
std::atomic<bool> countingAllocations{false};
std::atomic<long> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  if (countingAllocations.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace talvora::platform {
namespace {

using Signal = std::vector<float>;

constexpr uint32_t kMaxFrames = 4096;

std::unique_ptr<VoiceProcessor> make(double rate, uint32_t maxFrames = kMaxFrames) {
  auto made = makeWebRtcVoiceProcessor(rate, maxFrames, false);
  EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().description);
  return made.ok() ? made.take() : nullptr;
}

// A voiced, speech-like sound: a harmonic series on a gliding 110-170 Hz fundamental with
// two formant peaks, cut into 175 ms syllables with 75 ms pauses. A steady tone would
// be learnt as noise and suppressed, as it should be; this is not.
Signal speechLike(double rate, double seconds, double amplitude, double pitchOffset = 0) {
  Signal s(static_cast<size_t>(rate * seconds));
  double phase = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    const double f0 = 140 + pitchOffset + 30 * std::sin(2 * std::numbers::pi * 0.7 * t);
    phase += 2 * std::numbers::pi * f0 / rate;
    double v = 0;
    for (int h = 1; h * f0 < 3800; ++h) {
      const double f = h * f0;
      const double weight = (1 + 2 * std::exp(-std::pow((f - 700) / 300, 2)) +
                             1.5 * std::exp(-std::pow((f - 1200) / 400, 2))) / h;
      v += weight * std::sin(h * phase);
    }
    const double syllable = std::fmod(t, 0.25) / 0.25;
    const double envelope = syllable < 0.7 ? std::sin(std::numbers::pi * syllable / 0.7) : 0;
    s[i] = static_cast<float>(amplitude * envelope * v / 3);
  }
  return s;
}

Signal concat(std::initializer_list<Signal> parts) {
  Signal all;
  for (const Signal& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Feeds `in` through `processor` (in place, as the capture object does) in calls of the
// given sizes, cycling through them, and returns everything it handed back.
Signal run(VoiceProcessor& processor, const Signal& in, const std::vector<uint32_t>& callSizes) {
  Signal out = in;
  size_t at = 0;
  for (size_t call = 0; at < out.size(); ++call) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(callSizes[call % callSizes.size()], out.size() - at));
    processor.process(out.data() + at, n);
    at += n;
  }
  return out;
}

Signal runMono(double rate, const Signal& in, const std::vector<uint32_t>& callSizes = {2048}) {
  auto processor = make(rate);
  if (!processor) return {};
  return run(*processor, in, callSizes);
}

double rms(const Signal& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / double(to - from));
}

double mean(const Signal& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += s[i];
  return sum / double(to - from);
}

// The highest normalised correlation between in[from, to) and the output shifted by a
// lag below `maxLag`: the processing delays its output, and noise suppression and gain
// control reshape it, but speech must stay recognisably the same waveform.
double bestCorrelation(const Signal& in, const Signal& out, size_t from, size_t to, size_t maxLag) {
  double best = -1;
  for (size_t lag = 0; lag < maxLag && to + lag <= out.size(); ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = from; i < to; ++i) {
      xy += double(in[i]) * out[i + lag];
      xx += double(in[i]) * in[i];
      yy += double(out[i + lag]) * out[i + lag];
    }
    best = std::max(best, xy / std::sqrt(xx * yy + 1e-30));
  }
  return best;
}

// Energy of the first difference over energy: grows with the share of high frequencies,
// so a processor that dulled speech (kept only the low band) would show it.
double brightness(const Signal& s, size_t from, size_t to) {
  double diff = 0, energy = 0;
  for (size_t i = from + 1; i < to; ++i) {
    diff += (double(s[i]) - s[i - 1]) * (double(s[i]) - s[i - 1]);
    energy += double(s[i]) * s[i];
  }
  return diff / energy;
}

// Speech through the processor comes out at a similar level, as the same waveform, and
// with its high frequencies. Judged after `settle` seconds, once the noise estimate and
// the gain have adapted.
void expectSpeechKept(double rate, const Signal& in, double settle = 1.0) {
  const Signal out = runMono(rate, in, {2048, 1, 479});
  ASSERT_EQ(out.size(), in.size());
  const size_t from = static_cast<size_t>(rate * settle), to = in.size() - static_cast<size_t>(rate / 10);
  EXPECT_GT(rms(out, from, to), 0.5 * rms(in, from, to));
  EXPECT_GT(bestCorrelation(in, out, from, to, static_cast<size_t>(rate / 50)), 0.6);
  const double ratio = brightness(out, from, to) / brightness(in, from, to);
  EXPECT_GT(ratio, 0.5);
  EXPECT_LT(ratio, 2.0);
}

TEST(WebRtcVoiceProcessor, RefusesFormatsItCannotProcessWithAReason) {
  // 22050 and 11025 have no whole number of frames in 10 ms.
  for (double rate : {22050.0, 11025.0, 44100.5, 0.0, -48000.0, 4000.0, 384000.0, double(NAN)}) {
    auto made = makeWebRtcVoiceProcessor(rate, kMaxFrames, false);
    ASSERT_FALSE(made.ok()) << rate;
    EXPECT_NE(made.error().description.find("does not support"), std::string::npos) << made.error().description;
  }
  auto odd = makeWebRtcVoiceProcessor(22050, kMaxFrames, false);
  ASSERT_FALSE(odd.ok());
  EXPECT_EQ(odd.error().description, "the voice processor does not support 22050 Hz input");
}

TEST(WebRtcVoiceProcessor, TakesCommonRates) {
  // The library resamples 44.1 and 96 kHz to its own rates internally; what comes out is
  // at the input rate, one frame for every frame in.
  for (double rate : {8000.0, 16000.0, 32000.0, 44100.0, 48000.0, 96000.0}) {
    auto made = makeWebRtcVoiceProcessor(rate, kMaxFrames, false);
    ASSERT_TRUE(made.ok()) << rate << " Hz: " << made.error().description;
    const Signal speech = speechLike(rate, 0.5, 0.3);
    EXPECT_EQ(run(*made.value(), speech, {2048}).size(), speech.size());
  }
}

TEST(WebRtcVoiceProcessor, HandsBackEveryFrameOnceWhateverTheCallSizes) {
  const double rate = 48000;
  const Signal in = concat({Signal(12345, 0.0f), speechLike(rate, 3, 0.3)});

  // Whole 10 ms blocks per call is the reference.
  const Signal reference = runMono(rate, in, {480});
  ASSERT_EQ(reference.size(), in.size());
  ASSERT_GT(rms(reference, 0, reference.size()), 0.01);

  // Irregular sizes up to the maximum, including empty calls: a dropped or repeated
  // frame anywhere would shift everything after it.
  EXPECT_EQ(runMono(rate, in, {2048, 1, 479, 4096, 0, 960, 13, 3001, 480, 481}), reference);

  // Calls larger than the processor was made for are split, not overflowed.
  {
    auto small = make(rate, 100);
    ASSERT_TRUE(small);
    EXPECT_EQ(run(*small, in, {2048, 1, 479, 4096}), reference);
  }
}

TEST(WebRtcVoiceProcessor, LagsTheInputByLessThanTwoBlocks) {
  for (double rate : {16000.0, 48000.0}) {
    const size_t block = static_cast<size_t>(rate / 100);
    const size_t onset = static_cast<size_t>(rate / 2) + 7;
    // A sudden loud noise burst after silence: its first output sample is easy to find.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    Signal in(onset + static_cast<size_t>(rate), 0.0f);
    for (size_t i = onset; i < in.size(); ++i) in[i] = noise(random);

    const Signal out = runMono(rate, in, {2048, 1, 479, 4096});
    ASSERT_EQ(out.size(), in.size());
    size_t first = out.size();
    for (size_t i = 0; i < out.size(); ++i) {
      if (std::fabs(out[i]) > 1e-3f) {
        first = i;
        break;
      }
    }
    // Nothing before the sound arrives; after it, one block of buffering and less than
    // a block of the library's own filter delay.
    ASSERT_GE(first, onset) << rate;
    EXPECT_LT(first - onset, 2 * block) << rate;
  }
}

TEST(WebRtcVoiceProcessor, KeepsSpeechLoudAndRecognisable) {
  for (double rate : {16000.0, 44100.0, 48000.0}) {
    const Signal in = speechLike(rate, 4, 0.3);
    SCOPED_TRACE(rate);
    expectSpeechKept(rate, in);
  }
}

TEST(WebRtcVoiceProcessor, KeepsRecordedSpeech) {
  // A real utterance ("go forward ten meters"), 16 kHz signed 16-bit little-endian,
  // from the pocketsphinx test data the build dependencies install.
  const char* path = "/usr/share/pocketsphinx/test/data/goforward.raw";
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << "missing " << path << " (Debian package pocketsphinx-testdata)";
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 32000u);
  Signal in(bytes.size() / 2);
  for (size_t i = 0; i < in.size(); ++i) {
    const auto lo = static_cast<uint8_t>(bytes[2 * i]), hi = static_cast<uint8_t>(bytes[2 * i + 1]);
    in[i] = static_cast<float>(static_cast<int16_t>(lo | hi << 8)) / 32768.0f;
  }

  expectSpeechKept(16000, in, 0.5);
}

TEST(WebRtcVoiceProcessor, LeavesSilenceAndFaintNoiseQuiet) {
  const double rate = 48000;
  const Signal zeros(static_cast<size_t>(rate * 2), 0.0f);
  const Signal silent = runMono(rate, zeros);
  ASSERT_EQ(silent.size(), zeros.size());
  for (float x : silent) ASSERT_LT(std::fabs(x), 1e-6f);

  // A pause after speaking: the gain control must not pump room noise (-60 dBFS) up.
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0.0f, 0.001f);
  Signal hiss(static_cast<size_t>(rate * 3));
  for (float& x : hiss) x = noise(random);
  const Signal in = concat({speechLike(rate, 2, 0.3), hiss});
  const Signal out = runMono(rate, in);
  const size_t from = static_cast<size_t>(rate * 3);
  EXPECT_LT(rms(out, from, in.size()), 2 * rms(in, from, in.size()));
}

TEST(WebRtcVoiceProcessor, RemovesADcOffset) {
  const double rate = 48000;
  const Signal speech = speechLike(rate, 3, 0.3);
  Signal in = speech;
  for (float& x : in) x += 0.2f;
  const Signal out = runMono(rate, in);
  const size_t from = static_cast<size_t>(rate * 2);
  EXPECT_LT(std::fabs(mean(out, from, in.size())), 0.005);
  // The offset went, the speech riding on it did not.
  EXPECT_GT(rms(out, from, in.size()), 0.5 * rms(speech, from, in.size()));
}

// Through the capture object's signal chain, a multi-channel microphone is processed as
// its mono mix: every channel counts, not just the first.
TEST(WebRtcVoiceProcessor, ProcessesTheMixOfEveryChannelInTheSignalChain) {
  const double rate = 48000;
  for (uint32_t channels : {2u, 6u}) {
    std::vector<Signal> in;
    for (uint32_t c = 0; c < channels; ++c) in.push_back(speechLike(rate, 2, 0.4, 25.0 * c));
    Signal mix(in[0].size(), 0.0f);
    for (size_t i = 0; i < mix.size(); ++i) {
      for (uint32_t c = 0; c < channels; ++c) mix[i] += in[c][i];
      mix[i] /= static_cast<float>(channels);
    }

    capture::SignalChain chain;
    chain.setProcessor(make(rate), kMaxFrames);
    ASSERT_TRUE(chain.processing());
    Signal out(mix.size());
    const std::vector<uint32_t> sizes = {2048, 1, 479};
    std::vector<const float*> pointers(channels);
    size_t at = 0;
    for (size_t call = 0; at < out.size(); ++call) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(sizes[call % sizes.size()], out.size() - at));
      for (uint32_t c = 0; c < channels; ++c) pointers[c] = in[c].data() + at;
      chain.run(pointers.data(), channels, n, out.data() + at);
      at += n;
    }
    const Signal expected = runMono(rate, mix, {2048, 1, 479});
    ASSERT_EQ(out.size(), expected.size());
    double worst = 0;
    for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, double(std::fabs(out[i] - expected[i])));
    EXPECT_LT(worst, 1e-3) << channels << " channels";
    EXPECT_GT(rms(out, 0, out.size()), 0.01);
  }
}

TEST(WebRtcVoiceProcessor, PrintsNothing) {
  // The recorder's standard output carries events and its standard error must stay
  // empty, so the library may not talk on either, not even about formats it refuses.
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  const int savedOut = dup(1), savedErr = dup(2);
  dup2(fileno(capture), 1);
  dup2(fileno(capture), 2);
  for (double rate : {48000.0, 44100.0, 22050.0, 8000.0}) {
    auto made = makeWebRtcVoiceProcessor(rate, kMaxFrames, false);
    if (!made.ok()) continue;
    const Signal speech = speechLike(rate, 1, 0.9);
    Signal loud(speech.size());
    for (size_t i = 0; i < loud.size(); ++i) loud[i] = std::clamp(speech[i] * 4, -1.0f, 1.0f);
    run(*made.value(), loud, {2048, 1, 479});
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  EXPECT_EQ(std::ftell(capture), 0L);
  std::fclose(capture);
}

// ---- when suppression engages -------------------------------------------------------------

// Blocks of 10 ms at 48 kHz fed to the controller: speech-like words (300 ms of a tone,
// 400 ms of pause, long enough for the smoothed level to reach the noise) at `speechDbfs`
// over white noise whose level `noiseDbfs(t)` gives; sentences of 3 s with a second's
// pause after each, unless `sentencePauses` is false. Returns the times (seconds) at which
// the controller switched.
template <typename NoiseLevel>
std::vector<double> switchesOver(NoiseAdaptation& adaptation, double seconds, double speechDbfs, NoiseLevel noiseDbfs,
                                 bool* everMixed = nullptr, bool sentencePauses = true) {
  constexpr uint32_t kBlock = 480;
  std::mt19937 random(11);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<float> block(kBlock);
  std::vector<double> switches;
  bool engaged = adaptation.engaged();
  size_t n = 0;
  for (double t = 0; t < seconds; t += 0.01) {
    const bool word = std::fmod(t, 0.7) < 0.3 && (!sentencePauses || std::fmod(t, 4.0) < 3.0);
    const double speech = word ? std::sqrt(2) * std::pow(10, speechDbfs / 20) : 0;
    const double noise = std::pow(10, noiseDbfs(t) / 20);
    for (uint32_t i = 0; i < kBlock; ++i, ++n) {
      block[i] = static_cast<float>(speech * std::sin(2 * std::numbers::pi * 220 * double(n) / 48000) + noise * gauss(random));
    }
    const float mix = adaptation.update(block.data(), kBlock);
    if (everMixed && mix > 0) *everMixed = true;
    if (adaptation.engaged() != engaged) {
      engaged = adaptation.engaged();
      switches.push_back(t);
    }
  }
  return switches;
}

TEST(NoiseAdaptation, AQuietRoomStaysUnsuppressedAndANoiseThatStartsEngagesIt) {
  const NoiseAdaptationSettings settings;
  {
    // Close-talk speech in a quiet room (speech 50 dB above the noise), for a minute.
    NoiseAdaptation adaptation(settings, 100);
    bool mixed = false;
    EXPECT_TRUE(switchesOver(adaptation, 60, -20, [](double) { return -70.0; }, &mixed).empty());
    EXPECT_FALSE(mixed);
    EXPECT_NEAR(adaptation.noiseFloorDbfs(), -70, 2);
    EXPECT_NEAR(adaptation.speechDbfs(), -20, 2);
  }
  {
    // A fan starts at 10 s, 15 dB under the speech: suppression is on within the noise
    // window plus the hold, and stays on while the noise lasts.
    NoiseAdaptation adaptation(settings, 100);
    const auto switches = switchesOver(adaptation, 30, -20, [](double t) { return t < 10 ? -70.0 : -35.0; });
    ASSERT_EQ(switches.size(), 1u);
    EXPECT_GT(switches[0], 10);
    EXPECT_LT(switches[0], 10 + settings.noiseWindowSeconds + settings.engageAfterSeconds + 0.5);
    EXPECT_TRUE(adaptation.engaged());
    EXPECT_FLOAT_EQ(adaptation.mix(), 1);
  }
  {
    // Noise alone from the start, with nobody speaking yet: judged against ordinary speech.
    NoiseAdaptation adaptation(settings, 100);
    const auto switches = switchesOver(adaptation, 5, -200, [](double) { return -45.0; });
    ASSERT_EQ(switches.size(), 1u);
    const double firstDecision = std::max(settings.settleSeconds, settings.noiseAloneSeconds);
    EXPECT_LT(switches[0], firstDecision + settings.engageAfterSeconds + 0.1);
  }
  {
    // Speaking in the noise from the first moment: no suppression until the noise has been
    // heard alone, at the first pause between sentences; none at all while the speech
    // never pauses that long.
    NoiseAdaptation talking(settings, 100);
    const auto switches = switchesOver(talking, 8, -20, [](double) { return -33.0; });
    ASSERT_EQ(switches.size(), 1u);
    EXPECT_GT(switches[0], 3 + settings.noiseAloneSeconds);
    EXPECT_LT(switches[0], 4 + settings.engageAfterSeconds + 0.1);
    NoiseAdaptation unbroken(settings, 100);
    bool mixed = false;
    EXPECT_TRUE(switchesOver(unbroken, 20, -20, [](double) { return -33.0; }, &mixed, false).empty());
    EXPECT_FALSE(mixed);
  }
}

TEST(NoiseAdaptation, ANoiseAtTheThresholdDoesNotToggleTheSuppression) {
  const NoiseAdaptationSettings settings;
  // The noise swells and ebbs by ±3 dB across the engaging margin, slowly enough for the
  // floor to follow, crossing it again and again; then the room goes quiet. Suppression
  // engages once, stays on through the swells (the releasing margin is further off), and
  // goes once it is quiet.
  const double period = 3 * settings.noiseWindowSeconds, phase = 6 * period;
  const double engageNoise = -20 - settings.engageBelowDb;
  NoiseAdaptation adaptation(settings, 100);
  int crossings = 0;
  bool above = false;
  const auto switches = switchesOver(adaptation, phase + 20, -20, [&](double t) {
    // The margin the controller sees really crosses the threshold, again and again.
    const double margin = adaptation.speechDbfs() - adaptation.noiseFloorDbfs();
    if (t > period && t < phase && (margin > settings.engageBelowDb) != above) above = !above, ++crossings;
    return t < phase ? engageNoise + 3 * std::sin(2 * std::numbers::pi * t / period) : -70.0;
  });
  EXPECT_GE(crossings, 8);
  ASSERT_EQ(switches.size(), 2u);
  EXPECT_LT(switches[0], 2 * period);
  EXPECT_GT(switches[1], phase + settings.releaseAfterSeconds);
  EXPECT_LT(switches[1], phase + settings.releaseAfterSeconds + settings.noiseWindowSeconds + 1);
}

TEST(NoiseAdaptation, TheSwitchFadesInsteadOfJumping) {
  // Noise that starts after a quiet half second, through the whole processor: once the
  // noise window has passed over the quiet, suppression
  // takes it down by more than 6 dB, but over the fade, never by more than 1.5 dB from
  // one 10 ms block to the next, and no sample steps further than the noise itself does.
  const double rate = 48000;
  std::mt19937 random(13);
  std::normal_distribution<float> gauss(0.0f, 0.01f);
  Signal in(static_cast<size_t>(rate * 9), 0.0f);
  for (size_t i = static_cast<size_t>(rate / 2); i < in.size(); ++i) in[i] = gauss(random);
  const Signal out = runMono(rate, in, {2048, 1, 479});
  ASSERT_EQ(out.size(), in.size());
  const size_t block = static_cast<size_t>(rate / 100);
  std::vector<double> levels;
  for (size_t at = static_cast<size_t>(rate * 0.7); at + block <= out.size(); at += block) {
    levels.push_back(20 * std::log10(rms(out, at, at + block) + 1e-12));
  }
  EXPECT_LT(levels.back(), levels.front() - 6);
  // Block levels of steady noise scatter by a fraction of a dB; a hard switch would drop
  // the whole suppression at once.
  auto smooth = [&](size_t i) { return (levels[i - 1] + levels[i] + levels[i + 1]) / 3; };
  for (size_t i = 2; i + 1 < levels.size(); ++i) EXPECT_LT(std::fabs(smooth(i) - smooth(i - 1)), 1.5) << i;
  float inStep = 0, outStep = 0;
  for (size_t i = 1; i < in.size(); ++i) {
    inStep = std::max(inStep, std::fabs(in[i] - in[i - 1]));
    outStep = std::max(outStep, std::fabs(out[i] - out[i - 1]));
  }
  EXPECT_LT(outStep, inStep);
}

// ---- echo cancellation ------------------------------------------------------------------------

std::unique_ptr<VoiceProcessor> makeWithEcho(double rate, bool echo = true, const WebRtcVoiceSettings& settings = {}) {
  auto made = makeWebRtcVoiceProcessor(rate, kMaxFrames, echo, settings);
  EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().description);
  return made.ok() ? made.take() : nullptr;
}

// The microphone's and the far end's streams in the capture object's order: a far-end
// delivery (while `farUntil` lasts), then the microphone's delivery of the same length.
Signal runWithFarEnd(VoiceProcessor& processor, const Signal& microphone, const Signal& far, size_t farUntil,
                     uint32_t call = 1024) {
  Signal out = microphone;
  for (size_t at = 0; at < out.size(); at += call) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(call, out.size() - at));
    if (at + n <= farUntil) processor.processReference(far.data() + at, n, 0);
    processor.process(out.data() + at, n);
  }
  return out;
}

// Levels of 5 ms windows, as a speech envelope.
std::vector<double> envelope(const Signal& s, size_t from, size_t to, size_t window) {
  std::vector<double> e;
  for (size_t at = from; at + window <= to; at += window) e.push_back(rms(s, at, at + window));
  return e;
}

// The envelope correlation of `out` with `clean` over [from, to), at the best lag below
// 40 ms (the processing delays its output).
double envelopeCorrelation(const Signal& clean, const Signal& out, size_t from, size_t to, double rate) {
  const size_t window = static_cast<size_t>(rate / 200);
  const std::vector<double> a = envelope(clean, from, to, window);
  double best = -1;
  for (size_t lag = 0; lag < 8; ++lag) {
    const std::vector<double> b = envelope(out, from + lag * window, to + lag * window, window);
    const size_t n = std::min(a.size(), b.size());
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i) ma += a[i] / double(n), mb += b[i] / double(n);
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) ab += (a[i] - ma) * (b[i] - mb), aa += (a[i] - ma) * (a[i] - ma), bb += (b[i] - mb) * (b[i] - mb);
    best = std::max(best, ab / std::sqrt(aa * bb + 1e-30));
  }
  return best;
}

double db(double ratio) { return 20 * std::log10(ratio); }

TEST(WebRtcEchoCancellation, CancelsTheFarEndHeardThroughTheRoom) {
  // The speakers' speech reaches the microphone 100 ms later at a third of its level (the
  // room's path, which no stream latency tells of). After two seconds to converge, what
  // is left of it is at least 20 dB down.
  const double rate = 48000;
  const Signal far = speechLike(rate, 8, 0.3, 30);
  const size_t delay = static_cast<size_t>(rate / 10);
  Signal microphone(far.size(), 0.0f);
  for (size_t i = delay; i < far.size(); ++i) microphone[i] = far[i - delay] / 3;
  auto processor = makeWithEcho(rate);
  ASSERT_TRUE(processor);
  const Signal out = runWithFarEnd(*processor, microphone, far, far.size());
  const size_t from = static_cast<size_t>(rate * 2);
  const double reduction = db(rms(microphone, from, out.size()) / rms(out, from, out.size()));
  EXPECT_GT(reduction, 20) << reduction << " dB";
}

TEST(WebRtcEchoCancellation, WithoutAFarEndTheMicrophoneIsAsWithoutCancellation) {
  const double rate = 48000;
  // Without suppression, whose decisions would hide what the canceller does.
  WebRtcVoiceSettings settings;
  settings.suppression = WebRtcVoiceSettings::Suppression::off;
  const Signal speech = speechLike(rate, 4, 0.3);
  auto processor = makeWithEcho(rate, false, settings);
  ASSERT_TRUE(processor);
  const Signal plain = run(*processor, speech, {1024});
  processor = makeWithEcho(rate, true, settings);
  // No reference at all (an idle sink), and one that the sink sends as silence.
  const Signal unfed = runWithFarEnd(*processor, speech, Signal(speech.size(), 0.0f), 0);
  processor = makeWithEcho(rate, true, settings);
  const Signal silent = runWithFarEnd(*processor, speech, Signal(speech.size(), 0.0f), speech.size());
  for (const Signal* out : {&unfed, &silent}) {
    ASSERT_EQ(out->size(), plain.size());
    EXPECT_NEAR(db(rms(*out, 0, plain.size()) / rms(plain, 0, plain.size())), 0, 0.5);
    // The same waveform, delayed by the canceller's filter bank (8 ms at 48 kHz).
    EXPECT_GT(bestCorrelation(plain, *out, 0, plain.size() - 2400, static_cast<size_t>(rate / 50)), 0.99);
  }
}

TEST(WebRtcEchoCancellation, ALostReferenceEndsCancellationAndLeavesTheNearEndAlone) {
  // Four seconds of the far end's echo with its reference, then the reference stream
  // goes and the user speaks: the voice comes through at its level (within 1 dB) and
  // with its envelope (correlation at least 0.95).
  const double rate = 48000;
  const Signal far = speechLike(rate, 4, 0.3, 30);
  const Signal near = speechLike(rate, 4, 0.2, 40);
  Signal microphone(far.size() + near.size(), 0.0f);
  Signal clean = microphone;
  const size_t delay = static_cast<size_t>(rate / 10);
  for (size_t i = delay; i < far.size(); ++i) microphone[i] = far[i - delay] / 3;
  for (size_t i = 0; i < near.size(); ++i) microphone[far.size() + i] = clean[far.size() + i] = near[i];
  Signal farEnd = far;
  farEnd.resize(microphone.size(), 0.0f);
  auto processor = makeWithEcho(rate);
  ASSERT_TRUE(processor);
  const Signal out = runWithFarEnd(*processor, microphone, farEnd, far.size());
  const size_t from = far.size() + static_cast<size_t>(rate / 2), to = microphone.size() - static_cast<size_t>(rate / 10);
  EXPECT_NEAR(db(rms(out, from, to) / rms(clean, from, to)), 0, 1);
  EXPECT_GT(envelopeCorrelation(clean, out, from, to, rate), 0.95);
}

TEST(WebRtcVoiceProcessor, AllocatesNothingWhileProcessing) {
  const double rate = 48000;
  auto processor = make(rate);
  ASSERT_TRUE(processor);
  Signal speech = speechLike(rate, 2, 0.3);

  allocations = 0;
  countingAllocations = true;
  // From the very first call: the audio thread may not allocate at start-up either.
  const uint32_t sizes[] = {2048, 1, 479, 4096, 960};
  size_t at = 0;
  for (size_t call = 0; at + kMaxFrames <= speech.size(); ++call) {
    const uint32_t n = sizes[call % 5];
    processor->process(speech.data() + at, n);
    at += n;
  }
  countingAllocations = false;
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace talvora::platform
