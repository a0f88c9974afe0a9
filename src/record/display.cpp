#include "record/display.h"

#include <algorithm>
#include <cmath>

namespace talvora::record {

namespace {

constexpr const char* kClearLine = "\r\033[K";
constexpr const char* kReset = "\033[0m";

// The meter's scale, in dBFS of the RMS.
constexpr double kQuietest = -60;
constexpr double kYellowFrom = -30;  // loud speech

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// The maximum as a clock, with tenths only when it has a fraction of a second.
std::string limitText(double seconds) { return clockText(seconds, std::floor(seconds) != seconds); }

double levelDecibels(float level) {
  if (!std::isfinite(level) || level <= 0) return -INFINITY;
  return 20 * std::log10(std::min(level, 1.0f) / 8.0);
}

// Columns a terminal gives UTF-8 text: one per character, continuation bytes none.
int columnsOf(const std::string& text) {
  return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

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

// The recorder writes the cap as exactly 1; a hair below still reads as -18 dB.
bool atLevelCap(float level) { return std::isfinite(level) && level >= 0.999f; }

std::string levelReading(float level) {
  if (atLevelCap(level)) return ">-18 dB";
  double decibels = levelDecibels(level);
  if (!(decibels > kQuietest)) return "<-60 dB";
  return format("%.0f dB", decibels);
}

std::string meterLine(const client::Level& level, double maxSeconds, int columns, bool colour) {
  const std::string label = "REC";
  std::string reading = levelReading(level.level);
  reading.insert(0, 8 - std::min<size_t>(reading.size(), 7), ' ');  // right-aligned, so the line does not jitter
  const std::string elapsed = "  " + clockText(level.elapsedSeconds, true);
  std::string limit = " / " + limitText(maxSeconds);
  std::string silence = level.silenceSeconds >= 0.05 ? format("  silence %.1f s", level.silenceSeconds) : "";
  // The last column stays empty: writing into it makes some terminals wrap. On a narrow
  // terminal the silence goes first, then the maximum, then the reading, then the bar.
  const int room = columns - 1;
  constexpr int kShortestBar = 8;
  auto text = [&] {
    return static_cast<int>(label.size() + reading.size() + elapsed.size() + limit.size() + silence.size());
  };
  for (std::string* optional : {&silence, &limit, &reading}) {
    if (text() + 3 + kShortestBar > room) optional->clear();
  }
  if (text() > room) return clockText(level.elapsedSeconds, true).substr(0, static_cast<size_t>(std::max(room, 0)));
  const int width = std::min(room - text() - 3, 40);

  std::string line = colour ? std::string("\033[1;31m") + label + kReset : label;
  if (width >= 4) {
    const double decibels = levelDecibels(level.level);
    const auto cellOf = [width](double dB) {
      return static_cast<int>(std::lround((std::max(dB, kQuietest) - kQuietest) / -kQuietest * width));
    };
    const int filled = std::clamp(cellOf(decibels), 0, width);
    const int mark = atLevelCap(level.level) ? filled : -1;
    const int yellow = cellOf(kYellowFrom);
    line += " [";
    const char* current = "";  // the colour in effect, "" for none
    for (int cell = 0; cell < width; ++cell) {
      const bool on = cell < filled;
      const char* wanted = !colour                 ? ""
                           : cell == mark          ? "\033[1;31m"
                           : !on                   ? ""
                           : cell >= yellow        ? "\033[33m"
                                                   : "\033[32m";
      if (wanted != current) {
        line += *wanted ? wanted : kReset;
        current = wanted;
      }
      line += cell == mark ? '!' : on ? '#' : '.';
    }
    if (*current) line += kReset;
    line += ']';
  }
  return line + reading + elapsed + limit + silence;
}

std::string plainLine(const client::Level& level) {
  return format("%6.1f s", level.elapsedSeconds) + "  level " + levelReading(level.level) +
         (atLevelCap(level.level) ? "!" : "") + format("  silence %.1f s", level.silenceSeconds);
}

std::string visibleText(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\033') {
      // A control sequence: ESC [ parameters, ended by a letter.
      while (++i < text.size() && !std::isalpha(static_cast<unsigned char>(text[i]))) {
      }
      continue;
    }
    shown += text[i];
  }
  return shown;
}

std::string wrapText(const std::string& text, int columns, int indent) {
  const int room = columns - 1;  // the last column stays empty, as for the meter
  std::string wrapped;
  int used = indent;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    const int width = columnsOf(word);
    if (used > indent && used + 1 + width > room) {
      wrapped += "\n" + std::string(static_cast<size_t>(std::max(indent, 0)), ' ');
      used = indent;
    }
    if (used > indent) {
      wrapped += ' ';
      ++used;
    }
    wrapped += word;
    used += width;
  }
  return wrapped;
}

Display::Display(std::FILE* out, DisplayStyle style, double maxSeconds)
    : out_(out), style_(style), maxSeconds_(maxSeconds) {}

void Display::ready(const std::string& file) {
  std::fprintf(out_, "Recording to %s (at most %s). Press Enter or Ctrl-C to stop.\n", file.c_str(),
               limitText(maxSeconds_).c_str());
  std::fflush(out_);
}

void Display::draw() {
  const std::string line = meterLine(last_, maxSeconds_, style_.columns, style_.colour);
  std::fprintf(out_, "%s%s", kClearLine, line.c_str());
  meterShown_ = true;
  meterWidth_ = columnsOf(visibleText(line));
  std::fflush(out_);
}

void Display::level(const client::Level& level) {
  // Once stopping, the meter has said its last; a late level would only redraw it.
  if (stopped_) return;
  last_ = level;
  if (style_.terminal) {
    draw();
    return;
  }
  long second = static_cast<long>(std::floor(level.elapsedSeconds));
  if (second > lastPlainSecond_) {
    lastPlainSecond_ = second;
    std::fprintf(out_, "%s\n", plainLine(level).c_str());
    std::fflush(out_);
  }
}

void Display::resize(int columns) {
  if (columns <= 0 || columns == style_.columns) return;
  style_.columns = columns;
  if (!style_.terminal || !meterShown_) return;
  // A terminal that reflows its lines has wrapped the meter, drawn for the old width,
  // over several rows of the new one, with the cursor after its last character: go up
  // to its first row and erase from there, or every redraw would leave the rows above
  // behind.
  const int up = meterWidth_ / columns;
  std::fputc('\r', out_);
  if (up > 0) std::fprintf(out_, "\033[%dA", up);
  std::fputs("\033[J", out_);
  meterShown_ = false;
  if (stopped_) {
    std::fflush(out_);
    return;
  }
  draw();
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
  if (style_.terminal && last_.elapsedSeconds > 0 && !stopped_) draw();
  std::fflush(out_);
}

void Display::end() {
  if (style_.terminal && meterShown_) {
    std::fputs("\n", out_);
    meterShown_ = false;
    std::fflush(out_);
  }
}

void Display::stopping(bool transcribing, const std::string& reason) {
  end();
  stopped_ = true;
  std::fprintf(out_, "%s%s\n", reason.empty() ? "" : (reason + ". ").c_str(),
               transcribing ? "Stopping; finishing the transcript..." : "Stopping...");
  std::fflush(out_);
}

void Display::maximumReached(bool transcribing) {
  stopping(transcribing, "Reached the maximum of " + limitText(maxSeconds_));
}

void Display::paragraph(const std::string& label, const std::string& text) {
  const std::string head = label + ": ";
  const std::string body = style_.terminal ? wrapText(text, style_.columns, columnsOf(head)) : text;
  std::fprintf(out_, "%s%s\n", head.c_str(), body.c_str());
  std::fflush(out_);
}

}  // namespace talvora::record
