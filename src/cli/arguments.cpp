#include "cli/arguments.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace talvora::cli {

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
  errno = 0;
  double value = strtod_l(copy.c_str(), &end, cLocale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

bool isValidDuration(double seconds) {
  return std::isfinite(seconds) && seconds > 0 && seconds <= kLongestRecording;
}

}  // namespace talvora::cli
