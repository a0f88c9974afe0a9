#include "client/events.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace talvora::client {

namespace {

using nlohmann::json;

std::optional<double> number(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::optional<std::string> text(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<Event> decode(const json& object) {
  if (!object.is_object()) return std::nullopt;
  auto kind = text(object, "event");
  if (!kind) return std::nullopt;
  if (*kind == "ready") return Ready{};
  if (*kind == "level") {
    auto level = number(object, "level");
    auto elapsed = number(object, "elapsedSeconds");
    auto silence = number(object, "silenceSeconds");
    if (!level || !elapsed || !silence) return std::nullopt;
    return Level{static_cast<float>(*level), *elapsed, *silence};
  }
  if (*kind == "warning" || *kind == "error") {
    auto message = text(object, "message");
    if (!message) return std::nullopt;
    if (*kind == "warning") return Warning{std::move(*message)};
    return Error{std::move(*message)};
  }
  if (*kind == "finished") {
    auto duration = number(object, "durationSeconds");
    auto transcript = text(object, "localTranscript");
    if (!duration || !transcript) return std::nullopt;
    return Finished{*duration, std::move(*transcript)};
  }
  return std::nullopt;
}

}  // namespace

Event parseEventLine(std::string_view line) {
  std::string_view body = line;
  if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
  // No exceptions: a malformed line is an ordinary outcome here, not an error.
  json object = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!object.is_discarded()) {
    if (auto event = decode(object)) return std::move(*event);
  }
  return Unparsed{std::string(line)};
}

const char* kindName(const Event& event) {
  struct Names {
    const char* operator()(const Ready&) const { return "ready"; }
    const char* operator()(const Level&) const { return "level"; }
    const char* operator()(const Warning&) const { return "warning"; }
    const char* operator()(const Error&) const { return "error"; }
    const char* operator()(const Finished&) const { return "finished"; }
    const char* operator()(const Unparsed&) const { return "unparsed"; }
  };
  return std::visit(Names{}, event);
}

}  // namespace talvora::client
