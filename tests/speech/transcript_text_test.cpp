// The pure parts of the pocketsphinx backend: text formatting and locale resolution.

#include <gtest/gtest.h>

#include <map>

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

}  // namespace
}  // namespace talvora::platform::pocketsphinx
