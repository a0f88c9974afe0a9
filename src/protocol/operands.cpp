#include "protocol/operands.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace talvora::protocol {

namespace {

// The extension after the last dot of the last path component, in lower case; empty
// when there is none.
std::string lowerExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

}  // namespace

std::optional<double> parseDurationText(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
      return std::nullopt;
    default:
      break;
  }
  // strtod needs a terminated string; an operand with an embedded NUL cannot come from
  // argv, but the copy keeps this safe for any caller.
  std::string copy(text);
  if (copy.size() != std::char_traits<char>::length(copy.c_str())) return std::nullopt;
  // The "C" locale, whatever the process's: a decimal comma must not sneak in.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char* end = nullptr;
  double value = strtod_l(copy.c_str(), &end, cLocale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

bool isValidDuration(double seconds) {
  return std::isfinite(seconds) && seconds > 0 && seconds <= kLongestRecording;
}

std::string durationOperand(double seconds) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, seconds);
  if (error != std::errc()) return "nan";
  return std::string(text, end);
}

std::optional<Container> containerForPath(const std::string& path) {
  const std::string extension = lowerExtension(path);
  for (const auto& entry : kContainerExtensions) {
    if (entry.extension == extension) return entry.container;
  }
  return std::nullopt;
}

const std::string& supportedExtensionsText() {
  static const std::string text = [] {
    std::string list;
    const size_t count = std::size(kContainerExtensions);
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) list += i + 1 == count ? " or " : ", ";
      list += ".";
      list += kContainerExtensions[i].extension;
    }
    return list;
  }();
  return text;
}

std::string unsupportedFileType(const std::string& path) {
  const std::string extension = lowerExtension(path);
  return "Unsupported audio file type" +
         (extension.empty() ? std::string(" (no extension)") : " \"." + extension + "\"") + ": use " +
         supportedExtensionsText();
}

}  // namespace talvora::protocol
