// Event lines carry text from outside: transcripts, device and library error texts. Any
// string, as key or value, and any number must give exactly one line of JSON that a
// standard parser reads back to the same values; a number JSON cannot carry must fail
// the serialization instead of writing a broken line.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "protocol/event_line.h"

namespace {

using talvora::protocol::Event;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length;
    uint32_t point;
    if (lead < 0x80) { ++i; continue; }
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, point = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, point = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, point = lead & 0x07;
    else return false;
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      point = (point << 6) | (byte(i + k) & 0x3F);
    }
    if ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000)) return false;
    if (point >= 0xD800 && point <= 0xDFFF) return false;
    if (point > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

bool isFinite(const Event::Value& value) {
  if (const auto* f = std::get_if<float>(&value)) return std::isfinite(*f);
  if (const auto* d = std::get_if<double>(&value)) return std::isfinite(*d);
  return true;
}

void checkValue(const nlohmann::json& got, const Event::Value& want) {
  if (const auto* text = std::get_if<std::string>(&want)) {
    FUZZ_CHECK(got.is_string());
    if (isValidUtf8(*text)) {
      FUZZ_CHECK(got.get<std::string>() == *text);
    } else {
      // Bad bytes show as U+FFFD, not silently dropped.
      FUZZ_CHECK(got.get<std::string>().find("\xEF\xBF\xBD") != std::string::npos);
    }
    return;
  }
  FUZZ_CHECK(got.is_number());
  double number = got.get<double>();
  if (const auto* f = std::get_if<float>(&want)) {
    // A float is written with its own shortest digits; those read back as the float.
    FUZZ_CHECK(static_cast<float>(number) == *f);
    FUZZ_CHECK(std::signbit(number) == std::signbit(*f));
  } else {
    double d = std::get<double>(want);
    FUZZ_CHECK(number == d);
    FUZZ_CHECK(std::signbit(number) == std::signbit(d));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Event event(input.ConsumeRandomLengthString(64));
  while (input.remaining_bytes() > 0 && event.fields.size() < 12) {
    std::string key = input.ConsumeRandomLengthString(32);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
        event.with(std::move(key), input.ConsumeRandomLengthString(512));
        break;
      case 1:  // every bit pattern: subnormals, negative zero, infinities, NaNs
        event.with(std::move(key), std::bit_cast<float>(input.ConsumeIntegral<uint32_t>()));
        break;
      default:
        event.with(std::move(key), std::bit_cast<double>(input.ConsumeIntegral<uint64_t>()));
        break;
    }
  }

  bool allFinite = true;
  bool keysUtf8 = true;
  std::map<std::string, Event::Value> latest;  // a repeated key keeps its last value
  for (const auto& [key, value] : event.fields) {
    allFinite = allFinite && isFinite(value);
    keysUtf8 = keysUtf8 && isValidUtf8(key);
    latest.insert_or_assign(key, value);
  }

  std::string failure;
  std::optional<std::string> line = talvora::protocol::serialize(event, &failure);
  if (!allFinite) {
    FUZZ_CHECK(!line);
    FUZZ_CHECK(!failure.empty());
    return 0;
  }
  FUZZ_CHECK(line);

  // One line: a single line feed, at the end.
  FUZZ_CHECK(!line->empty() && line->back() == '\n');
  FUZZ_CHECK(line->find('\n') == line->size() - 1);
  // Invalid input bytes were replaced, so the line itself is always valid UTF-8.
  FUZZ_CHECK(isValidUtf8(*line));

  nlohmann::json parsed = nlohmann::json::parse(*line, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(!parsed.is_discarded());
  FUZZ_CHECK(parsed.is_object());
  // Two different bad keys may read back as the same text: only good keys compare.
  if (!keysUtf8) return 0;

  FUZZ_CHECK(parsed.size() == latest.size());
  for (const auto& [key, value] : latest) {
    auto found = parsed.find(key);
    FUZZ_CHECK(found != parsed.end());
    checkValue(*found, value);
  }
  return 0;
}
