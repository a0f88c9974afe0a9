#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace talvora::platform::pocketsphinx {

// Appends the words of a decoder hypothesis to `text` as people read them: silence,
// sentence-boundary and noise tokens (<s>, <sil>, [NOISE], ++BREATH++, +NSN+) are dropped,
// pronunciation variants lose their marker ("read(2)" → "read"), words are separated by
// single spaces. No capitalisation: the text may still grow.
void appendWords(std::string& text, std::string_view hypothesis);

// The finished form of a transcript built by appendWords: the first letter and the
// pronoun "I" (with its contractions) upper-case.
std::string presentable(std::string_view words);

// The language of a POSIX locale name, lower-case ("en_US.UTF-8" → "en", "de" → "de").
// "C", "POSIX" and an empty name mean the system default, which is US English.
std::string localeLanguage(std::string_view locale);

// The locale that governs messages, as the C library resolves it from the environment:
// LC_ALL, then LC_MESSAGES, then LANG, the first that is set and not empty.
std::string messagesLocale(const std::function<const char*(const char*)>& getenv);

}  // namespace talvora::platform::pocketsphinx
