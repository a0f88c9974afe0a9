// The pure parts of the pocketsphinx backend: text formatting, locale resolution and the
// streaming resampler.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>

#include "platform/pocketsphinx/resampler.h"
#include "platform/pocketsphinx/transcript_text.h"

namespace talvora::platform::pocketsphinx {
namespace {

std::string formatted(std::string_view hypothesis) {
  std::string words;
  appendWords(words, hypothesis);
  return presentable(words);
}

TEST(TranscriptText, DropsDecoderMarkersAndVariantNumbers) {
  EXPECT_EQ(formatted("<s> he was <sil> not [NOISE] an ++BREATH++ ill(2) disposed +NSN+ man </s>"),
            "He was not an ill disposed man");
  EXPECT_EQ(formatted("  read(2)   the(12)\tnews\n"), "Read the news");
  // Only a number in brackets at the end marks a variant.
  EXPECT_EQ(formatted("(2) a(b) c()"), "(2) a(b) c()");
  EXPECT_EQ(formatted("<sil> [NOISE] </s>"), "");
  EXPECT_EQ(formatted(""), "");
}

TEST(TranscriptText, UtterancesJoinWithSingleSpacesAndThePronounIsCapitalised) {
  std::string words;
  appendWords(words, "i think");
  appendWords(words, "<sil>");
  appendWords(words, "so i'm told it's in italy");
  EXPECT_EQ(presentable(words), "I think so I'm told it's in italy");
  EXPECT_EQ(presentable("well i'll see"), "Well I'll see");
  EXPECT_EQ(presentable("'cause a.m. ad-hoc"), "'Cause a.m. ad-hoc");
}

TEST(Locale, LanguageOfALocaleName) {
  EXPECT_EQ(localeLanguage("en_US.UTF-8"), "en");
  EXPECT_EQ(localeLanguage("en_GB"), "en");
  EXPECT_EQ(localeLanguage("EN"), "en");
  EXPECT_EQ(localeLanguage("de_DE.UTF-8"), "de");
  EXPECT_EQ(localeLanguage("fr_FR@euro"), "fr");
  EXPECT_EQ(localeLanguage("C"), "en");
  EXPECT_EQ(localeLanguage("C.UTF-8"), "en");
  EXPECT_EQ(localeLanguage("POSIX"), "en");
  EXPECT_EQ(localeLanguage(""), "en");
}

TEST(Locale, LcAllThenLcMessagesThenLang) {
  std::map<std::string, std::string> environment;
  auto lookup = [&](const char* name) -> const char* {
    auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  };
  EXPECT_EQ(messagesLocale(lookup), "");
  environment["LANG"] = "fr_FR.UTF-8";
  EXPECT_EQ(messagesLocale(lookup), "fr_FR.UTF-8");
  environment["LC_MESSAGES"] = "de_DE.UTF-8";
  EXPECT_EQ(messagesLocale(lookup), "de_DE.UTF-8");
  environment["LC_ALL"] = "";  // set but empty: does not count
  EXPECT_EQ(messagesLocale(lookup), "de_DE.UTF-8");
  environment["LC_ALL"] = "en_GB.UTF-8";
  EXPECT_EQ(messagesLocale(lookup), "en_GB.UTF-8");
}

std::vector<float> tone(double frequency, double rate, double seconds) {
  std::vector<float> samples(static_cast<size_t>(rate * seconds));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
  }
  return samples;
}

// Upward zero crossings per second over the middle of the signal.
double frequencyOf(const std::vector<int16_t>& samples, double rate) {
  const size_t from = samples.size() / 4;
  const size_t to = samples.size() * 3 / 4;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings * rate / static_cast<double>(to - from);
}

TEST(Resampler, StreamsBufferByBufferToSixteenKilohertz) {
  for (double rate : {48000.0, 44100.0, 16000.0}) {
    const std::vector<float> input = tone(440, rate, 2.0);
    Resampler resampler(16000);
    std::vector<int16_t> out;
    for (size_t at = 0; at < input.size(); at += 2048) {
      ASSERT_FALSE(resampler.process(input.data() + at, std::min<size_t>(2048, input.size() - at), rate, out));
      // Empty buffers (an empty vector's data is null) must not end the stream early.
      ASSERT_FALSE(resampler.process(nullptr, 0, rate, out)) << rate;
    }
    ASSERT_FALSE(resampler.flush(out));
    EXPECT_NEAR(static_cast<double>(out.size()), 32000, 2) << rate;
    EXPECT_NEAR(frequencyOf(out, 16000), 440, 3) << rate;
    int16_t peak = 0;
    for (size_t i = out.size() / 4; i < out.size() * 3 / 4; ++i) peak = std::max<int16_t>(peak, out[i]);
    EXPECT_NEAR(peak, 0.5 * 32767, 200) << rate;
  }
}

TEST(Resampler, AnyBufferSizeKeepsStreamingForMinutes) {
  // Whatever the sizes, sooner or later a call fills the output exactly; the look for
  // more that follows finds nothing, and that must not end the stream.
  for (double rate : {48000.0, 44100.0}) {
    Resampler resampler(16000);
    std::vector<int16_t> out;
    const std::vector<float> input = tone(440, rate, 1.0);
    uint32_t seed = 12345;
    size_t fed = 0;
    for (int call = 0; call < 60000; ++call) {
      seed = seed * 1664525u + 1013904223u;
      const size_t frames = 1 + (seed >> 8) % 4096;
      ASSERT_FALSE(resampler.process(input.data(), std::min(frames, input.size()), rate, out)) << rate << " call " << call;
      fed += std::min(frames, input.size());
      out.clear();
    }
    EXPECT_GT(fed, 0u);
  }
}

TEST(Resampler, AChangeOfRateKeepsBothParts) {
  Resampler resampler(16000);
  std::vector<int16_t> out;
  const std::vector<float> first = tone(440, 48000, 1.0);
  const std::vector<float> second = tone(440, 44100, 1.0);
  ASSERT_FALSE(resampler.process(first.data(), first.size(), 48000, out));
  ASSERT_FALSE(resampler.process(second.data(), second.size(), 44100, out));
  ASSERT_FALSE(resampler.flush(out));
  EXPECT_NEAR(static_cast<double>(out.size()), 32000, 2);
  EXPECT_TRUE(resampler.process(first.data(), first.size(), 0, out));
}

}  // namespace
}  // namespace talvora::platform::pocketsphinx
