#include "record/display.h"

#include <algorithm>
#include <cmath>

namespace talvora::record {

namespace {

constexpr const char* kClearLine = "\r\033[K";
constexpr const char* kReset = "\033[0m";

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// The maximum as a clock, with tenths only when it has a fraction of a second.
std::string limitText(double seconds) { return clockText(seconds, std::floor(seconds) != seconds); }

}  // namespace

std::string clockText(double seconds, bool tenths) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  // Rounded first, so that 59.96 shows as 01:00.0 and never as 00:60.0.
  long units = std::lround(seconds * (tenths ? 10 : 1));
  long whole = tenths ? units / 10 : units;
  char text[32];
  if (tenths) {
    std::snprintf(text, sizeof text, "%02ld:%02ld.%ld", whole / 60, whole % 60, units % 10);
  } else {
    std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::string meterLine(const client::Level& level, double maxSeconds, int columns, bool colour) {
  const std::string label = "REC";
  const std::string elapsed = "  " + clockText(level.elapsedSeconds, true);
  std::string limit = " / " + limitText(maxSeconds);
  std::string silence = level.silenceSeconds >= 0.05 ? format("  silence %.1f s", level.silenceSeconds) : "";
  // The last column stays empty: writing into it makes some terminals wrap. On a narrow
  // terminal the silence goes first, then the maximum, then the bar.
  const int room = columns - 1;
  constexpr int kShortestBar = 8;
  auto text = [&] { return static_cast<int>(label.size() + elapsed.size() + limit.size() + silence.size()); };
  if (text() + 3 + kShortestBar > room) silence.clear();
  if (text() + 3 + kShortestBar > room) limit.clear();
  if (text() > room) return clockText(level.elapsedSeconds, true).substr(0, static_cast<size_t>(std::max(room, 0)));
  const int width = std::min(room - text() - 3, 40);

  std::string line = colour ? std::string("\033[1;31m") + label + kReset : label;
  if (width >= 4) {
    float clamped = std::clamp(std::isfinite(level.level) ? level.level : 0.0f, 0.0f, 1.0f);
    int filled = static_cast<int>(std::lround(clamped * static_cast<float>(width)));
    line += " [";
    const char* current = "";  // the colour in effect, "" for none
    for (int cell = 0; cell < width; ++cell) {
      bool on = cell < filled;
      // Green, then yellow from 70 %, red from 90 %: where speech turns into clipping.
      const char* wanted = !colour || !on             ? ""
                           : cell >= width * 9 / 10 ? "\033[31m"
                           : cell >= width * 7 / 10 ? "\033[33m"
                                                    : "\033[32m";
      if (wanted != current) {
        line += *wanted ? wanted : kReset;
        current = wanted;
      }
      line += on ? '#' : '.';
    }
    if (*current) line += kReset;
    line += ']';
  }
  return line + elapsed + limit + silence;
}

std::string plainLine(const client::Level& level) {
  return format("%6.1f s", level.elapsedSeconds) + format("  level %.2f", level.level) +
         format("  silence %.1f s", level.silenceSeconds);
}

Display::Display(std::FILE* out, DisplayStyle style, double maxSeconds)
    : out_(out), style_(style), maxSeconds_(maxSeconds) {}

void Display::ready(const std::string& file) {
  std::fprintf(out_, "Recording to %s (at most %s). Press Enter or Ctrl-C to stop.\n", file.c_str(),
               limitText(maxSeconds_).c_str());
  std::fflush(out_);
}

void Display::level(const client::Level& level) {
  // Once stopping, the meter has said its last; a late level would only redraw it.
  if (stopped_) return;
  last_ = level;
  if (style_.terminal) {
    std::fprintf(out_, "%s%s", kClearLine, meterLine(level, maxSeconds_, style_.columns, style_.colour).c_str());
    meterShown_ = true;
    std::fflush(out_);
    return;
  }
  long second = static_cast<long>(std::floor(level.elapsedSeconds));
  if (second > lastPlainSecond_) {
    lastPlainSecond_ = second;
    std::fprintf(out_, "%s\n", plainLine(level).c_str());
    std::fflush(out_);
  }
}

void Display::interrupt() {
  if (style_.terminal && meterShown_) {
    std::fputs(kClearLine, out_);
    meterShown_ = false;
  }
}

void Display::warning(const std::string& message) {
  interrupt();
  std::fprintf(out_, "warning: %s\n", message.c_str());
  // Put the meter back at once rather than at the next level, which may never come.
  if (style_.terminal && last_.elapsedSeconds > 0) level(last_);
  std::fflush(out_);
}

void Display::end() {
  if (style_.terminal && meterShown_) {
    std::fputs("\n", out_);
    meterShown_ = false;
    std::fflush(out_);
  }
}

void Display::stopping(bool transcribing) {
  end();
  stopped_ = true;
  std::fprintf(out_, "%s\n", transcribing ? "Stopping; finishing the transcript..." : "Stopping...");
  std::fflush(out_);
}

}  // namespace talvora::record
