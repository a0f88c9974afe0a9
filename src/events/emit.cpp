#include "events/emit.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/process.h"

namespace talvora::events {
namespace {

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

}  // namespace

std::optional<std::string> serialize(const Event& event, std::string* failure) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : event.fields) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      object[key] = *text;
      continue;
    }
    double number = std::holds_alternative<float>(value) ? shortestDouble(std::get<float>(value))
                                                         : std::get<double>(value);
    if (!std::isfinite(number)) {
      if (failure) *failure = "Invalid number value (" + std::string(std::isnan(number) ? "NaN" : "infinity") +
                              ") for key \"" + key + "\" in JSON write";
      return std::nullopt;
    }
    object[key] = number;
  }
  std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line.push_back('\n');
  return line;
}

bool writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

void emit(const Event& event) {
  std::string failure;
  auto line = serialize(event, &failure);
  if (!line) {
    writeAll(STDERR_FILENO, "Audio event serialization failed: " + failure + "\n");
    cli::exitProcess(1);
  }
  // A parent that closed its end makes this fail with EPIPE (SIGPIPE is ignored): the
  // recording goes on regardless, so the file is still closed properly.
  writeAll(STDOUT_FILENO, *line);
}

}  // namespace talvora::events
