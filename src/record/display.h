#pragma once

#include <cstdio>
#include <string>

#include "client/events.h"

namespace talvora::record {

// How the recording is shown. On a terminal: one meter line redrawn in place ten times a
// second, colour unless NO_COLOR is set or TERM is "dumb". Anywhere else (a file, a
// pipe): plain lines, one per second of audio, nothing redrawn.
struct DisplayStyle {
  bool terminal = false;
  bool colour = false;
  int columns = 80;
};

class Display {
 public:
  Display(std::FILE* out, DisplayStyle style, double maxSeconds);

  void ready(const std::string& file);
  void level(const client::Level& level);
  void warning(const std::string& message);
  // Clears the meter line so that another message can be written on its own line.
  void interrupt();
  void stopping(bool transcribing);
  // The recording is over: leaves the meter line as it stands.
  void end();

 private:
  std::FILE* out_;
  DisplayStyle style_;
  double maxSeconds_;
  bool meterShown_ = false;
  bool stopped_ = false;
  long lastPlainSecond_ = 0;
  client::Level last_{};
};

// "03:07.4": minutes and seconds, tenths with `tenths`.
std::string clockText(double seconds, bool tenths);

// The terminal meter line (no carriage return), at most `columns` characters wide not
// counting colour sequences.
std::string meterLine(const client::Level& level, double maxSeconds, int columns, bool colour);

// The line written once per second when not on a terminal.
std::string plainLine(const client::Level& level);

}  // namespace talvora::record
