#include "protocol/event_line.h"

#include <charconv>
#include <cmath>
#include <optional>

#include <nlohmann/json.hpp>

namespace talvora::protocol {

namespace {

using nlohmann::json;

// A float widened to double prints with the double's digits (0.4f becomes
// 0.4000000059604645). Going through the float's own shortest round-trip text gives
// the double nearest to what the float means, which prints as the reader expects.
double shortestDouble(float value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return value;
  double widened = value;
  std::from_chars(text, end, widened);
  return widened;
}

std::optional<double> number(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::optional<std::string> text(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<ParsedEvent> decode(const json& object) {
  if (!object.is_object()) return std::nullopt;
  auto name = text(object, key::event);
  if (!name) return std::nullopt;
  if (*name == kind::ready) return Ready{};
  if (*name == kind::level) {
    auto level = number(object, key::level);
    auto elapsed = number(object, key::elapsedSeconds);
    auto silence = number(object, key::silenceSeconds);
    if (!level || !elapsed || !silence) return std::nullopt;
    return Level{static_cast<float>(*level), *elapsed, *silence};
  }
  if (*name == kind::warning || *name == kind::error) {
    auto message = text(object, key::message);
    if (!message) return std::nullopt;
    if (*name == kind::warning) return Warning{std::move(*message)};
    return Error{std::move(*message)};
  }
  if (*name == kind::finished) {
    auto duration = number(object, key::durationSeconds);
    auto transcript = text(object, key::localTranscript);
    if (!duration || !transcript) return std::nullopt;
    return Finished{*duration, std::move(*transcript)};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> serialize(const Event& event, std::string* failure) {
  json object = json::object();
  for (const auto& [name, value] : event.fields) {
    if (const auto* string = std::get_if<std::string>(&value)) {
      object[name] = *string;
      continue;
    }
    double number = std::holds_alternative<float>(value) ? shortestDouble(std::get<float>(value))
                                                         : std::get<double>(value);
    if (!std::isfinite(number)) {
      if (failure) *failure = "Invalid number value (" + std::string(std::isnan(number) ? "NaN" : "infinity") +
                              ") for key \"" + name + "\" in JSON write";
      return std::nullopt;
    }
    object[name] = number;
  }
  std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
  line.push_back('\n');
  return line;
}

ParsedEvent parseEventLine(std::string_view line) {
  std::string_view body = line;
  if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
  // No exceptions: a malformed line is an ordinary outcome here, not an error.
  json object = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!object.is_discarded()) {
    if (auto event = decode(object)) return std::move(*event);
  }
  return Unparsed{std::string(line)};
}

const char* kindName(const ParsedEvent& event) {
  struct Names {
    const char* operator()(const Ready&) const { return kind::ready; }
    const char* operator()(const Level&) const { return kind::level; }
    const char* operator()(const Warning&) const { return kind::warning; }
    const char* operator()(const Error&) const { return kind::error; }
    const char* operator()(const Finished&) const { return kind::finished; }
    const char* operator()(const Unparsed&) const { return "unparsed"; }
  };
  return std::visit(Names{}, event);
}

}  // namespace talvora::protocol
