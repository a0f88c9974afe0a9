// The duration operand comes straight from the parent's argv. Whatever the bytes, the
// parse must not crash, only in-range finite values may pass, and the value must be the
// one a C-locale strtod gives. The cross-check uses std::from_chars, an implementation
// of its own, on the texts it understands the same way (no leading '+', hexadecimal
// without its "0x").
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"
#include "protocol/operands.h"

namespace {

using talvora::protocol::isValidDuration;
using talvora::protocol::kLongestRecording;
using talvora::protocol::parseDurationText;

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isPlainSymbol(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '+' ||
         c == '-' || c == '(' || c == ')' || c == '_';
}

bool sameValue(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

// What from_chars makes of `digits` (the text after an optional sign), or nothing when
// it does not take the text whole. `outOfRange` tells an overflow or underflow apart.
std::optional<double> independentParse(std::string_view digits, bool* outOfRange) {
  *outOfRange = false;
  std::chars_format format = std::chars_format::general;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    // strtod reads "0xinf" as 0 followed by junk; from_chars in hexadecimal would take
    // the "inf". Only texts that start like a hexadecimal number compare.
    if (digits.empty() || !(isHexDigit(digits[0]) || digits[0] == '.')) return std::nullopt;
    format = std::chars_format::hex;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, format);
  if (end != digits.data() + digits.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    *outOfRange = true;
    return std::nullopt;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A locale with a decimal comma, where the machine has one, so a parse that follows
  // the process's locale instead of "C" shows up as a mismatch below.
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_ALL, name)) break;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<double> parsed = parseDurationText(text);

  if (parsed) {
    // Exactly the finite values in (0, 1800] are recording lengths.
    bool inRange = std::isfinite(*parsed) && *parsed > 0 && *parsed <= kLongestRecording;
    FUZZ_CHECK(isValidDuration(*parsed) == inRange);
  }
  if (text.empty() || isCSpace(text.front()) || text.find('\0') != std::string_view::npos) {
    FUZZ_CHECK(!parsed);
    return 0;
  }
  if (parsed) {
    // Numbers, exponents, "inf", "infinity" and "nan(chars)" use no other characters.
    for (char c : text) FUZZ_CHECK(isPlainSymbol(c));
  }

  // A sign stands at the start or right after the exponent letter, never twice in a row.
  // (libstdc++ 12's hexadecimal from_chars wrongly takes "1p+-5", so these never reach it.)
  for (size_t i = 1; i < text.size(); ++i) {
    bool sign = text[i] == '+' || text[i] == '-';
    bool signBefore = text[i - 1] == '+' || text[i - 1] == '-';
    if (sign && signBefore) {
      FUZZ_CHECK(!parsed);
      return 0;
    }
  }

  std::string_view digits = text;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
    // A sign alone is no number, nor is a sign before white space.
    if (digits.empty() || isCSpace(digits.front())) {
      FUZZ_CHECK(!parsed);
      return 0;
    }
  }

  bool outOfRange = false;
  std::optional<double> expected = independentParse(digits, &outOfRange);
  if (expected) {
    FUZZ_CHECK(parsed);
    FUZZ_CHECK(sameValue(*parsed, negative ? -*expected : *expected));
  }
  if (outOfRange) {
    // Too large or too small for a double: whatever strtod returns then (infinity, zero,
    // a subnormal) is no recording length.
    FUZZ_CHECK(!parsed || !isValidDuration(*parsed));
  }
  return 0;
}
