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
  // The terminal has a new width: the meter line is erased and drawn again to fit.
  void resize(int columns);
  // Clears the meter line so that another message can be written on its own line.
  void interrupt();
  // The recording is stopping; `reason` (may be empty) says why when we did not ask.
  void stopping(bool transcribing, const std::string& reason = {});
  // The recorder stops by itself at its maximum.
  void maximumReached(bool transcribing);
  // The recording is over: leaves the meter line as it stands.
  void end();
  // "Label: text", wrapped between words at the terminal's width with the label's width
  // as indent; one line when not on a terminal.
  void paragraph(const std::string& label, const std::string& text);

 private:
  void draw();

  std::FILE* out_;
  DisplayStyle style_;
  double maxSeconds_;
  bool meterShown_ = false;
  int meterWidth_ = 0;  // the columns the meter line on screen takes
  bool stopped_ = false;
  long lastPlainSecond_ = 0;
  client::Level last_{};
};

// "03:07.4": minutes and seconds, tenths with `tenths`.
std::string clockText(double seconds, bool tenths);

// The level event's "level" is the RMS of a buffer times 8, capped at 1, so it tells the
// RMS in dBFS up to -18 and no further: a reading at the cap is "-18 dBFS or louder".
bool atLevelCap(float level);
// "-24 dB", "<-60 dB" for anything quieter, ">-18 dB" at the cap.
std::string levelReading(float level);

// The terminal meter line (no carriage return), at most `columns` - 1 characters wide
// not counting colour sequences. The bar spans -60 to 0 dBFS; a reading at the cap is
// marked with '!' where the bar ends.
std::string meterLine(const client::Level& level, double maxSeconds, int columns, bool colour);

// The line written once per second when not on a terminal.
std::string plainLine(const client::Level& level);

// What a terminal shows of `text`: without its escape sequences.
std::string visibleText(const std::string& text);

// `text` broken between words into lines of fewer than `columns` characters, every line
// after the first indented by `indent` spaces and the first counted as starting there
// too. A word longer than a line stands on a line of its own.
std::string wrapText(const std::string& text, int columns, int indent);

}  // namespace talvora::record
