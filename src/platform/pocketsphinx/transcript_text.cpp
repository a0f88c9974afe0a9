#include "platform/pocketsphinx/transcript_text.h"

#include <cctype>

namespace talvora::platform::pocketsphinx {
namespace {

bool enclosed(std::string_view token, std::string_view open, std::string_view close) {
  return token.size() >= open.size() + close.size() && token.starts_with(open) && token.ends_with(close);
}

// Fillers and markers the decoder may emit that are not words anyone said.
bool isWord(std::string_view token) {
  return !(enclosed(token, "<", ">") || enclosed(token, "[", "]") || enclosed(token, "+", "+"));
}

// "word(2)" → "word": the dictionary numbers alternative pronunciations this way.
std::string_view withoutVariant(std::string_view token) {
  if (!token.ends_with(')')) return token;
  const size_t open = token.rfind('(');
  if (open == std::string_view::npos || open == 0 || open + 2 >= token.size()) return token;
  for (size_t i = open + 1; i + 1 < token.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(token[i]))) return token;
  }
  return token.substr(0, open);
}

bool isPronounI(std::string_view word) {
  return word == "i" || word == "i'm" || word == "i'd" || word == "i'll" || word == "i've";
}

}  // namespace

void appendWords(std::string& text, std::string_view hypothesis) {
  size_t at = 0;
  while (at < hypothesis.size()) {
    const size_t start = hypothesis.find_first_not_of(" \t\n\r", at);
    if (start == std::string_view::npos) break;
    size_t end = hypothesis.find_first_of(" \t\n\r", start);
    if (end == std::string_view::npos) end = hypothesis.size();
    at = end;
    const std::string_view token = hypothesis.substr(start, end - start);
    if (!isWord(token)) continue;
    const std::string_view word = withoutVariant(token);
    if (!text.empty()) text += ' ';
    text += word;
  }
}

std::string presentable(std::string_view words) {
  std::string text(words);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (isPronounI(std::string_view(text).substr(at, end - at))) text[at] = 'I';
    at = end + 1;
  }
  // The first letter, past a leading apostrophe ("'cause").
  for (char& c : text) {
    if (c == ' ') break;
    if (std::isalpha(static_cast<unsigned char>(c))) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      break;
    }
  }
  return text;
}

std::string localeLanguage(std::string_view locale) {
  // language[_territory][.codeset][@modifier]
  const size_t end = locale.find_first_of("_.@");
  std::string language(locale.substr(0, end));
  if (language.empty() || language == "C" || language == "POSIX") return "en";
  for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return language;
}

std::string messagesLocale(const std::function<const char*(const char*)>& getenv) {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value && *value) return value;
  }
  return "";
}

}  // namespace talvora::platform::pocketsphinx
