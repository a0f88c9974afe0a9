#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "record/display.h"

namespace talvora::record {
namespace {

TEST(Meter, FitsTheTerminalWhateverItsWidthSoRedrawingNeverWraps) {
  const client::Level level{0.5f, 1799.96, 12.34};
  for (int columns = 10; columns <= 200; ++columns) {
    for (bool colour : {false, true}) {
      std::string shown = visibleText(meterLine(level, 1800, columns, colour));
      EXPECT_LT(static_cast<int>(shown.size()), columns) << columns << ": " << shown;
    }
  }
  EXPECT_EQ(meterLine(level, 1800, 80, false),
            "REC [###################.............]  -24 dB  30:00.0 / 30:00  silence 12.3 s");
  EXPECT_EQ(visibleText(meterLine(level, 1800, 80, true)), meterLine(level, 1800, 80, false));
}

// The level is RMS x 8 capped at 1: the bar spans -60..0 dBFS of the RMS, so the cap
// (-18 dBFS) fills 70 % of it and is marked, never drawn as full scale.
TEST(Meter, BarShowsDecibelsAndMarksTheLevelCap) {
  auto bar = [](float value) {
    std::string line = meterLine({value, 0, 0}, 30, 60, false);
    return line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
  };
  const size_t width = bar(0).size();
  EXPECT_EQ(bar(0), std::string(width, '.'));
  EXPECT_EQ(bar(-1), bar(0));
  EXPECT_EQ(bar(8 * 1e-3f), bar(0));  // -60 dBFS
  const float minus30 = static_cast<float>(8 * std::pow(10.0, -30 / 20.0));
  EXPECT_EQ(bar(minus30), std::string(width / 2, '#') + std::string(width - width / 2, '.'));
  const size_t cap = static_cast<size_t>(std::lround(0.7 * static_cast<double>(width)));
  EXPECT_EQ(bar(1), std::string(cap, '#') + "!" + std::string(width - cap - 1, '.'));
  EXPECT_EQ(bar(7.5f), bar(1));
  EXPECT_EQ(bar(0.95f).find('!'), std::string::npos);

  EXPECT_EQ(levelReading(0.5f), "-24 dB");
  EXPECT_EQ(levelReading(0.95f), "-19 dB");
  EXPECT_EQ(levelReading(1), ">-18 dB");
  EXPECT_EQ(levelReading(0), "<-60 dB");
  EXPECT_EQ(levelReading(NAN), "<-60 dB");
  EXPECT_EQ(plainLine({0.25f, 3.04, 0}), "   3.0 s  level -30 dB  silence 0.0 s");
  EXPECT_EQ(plainLine({1, 3.04, 0}), "   3.0 s  level >-18 dB!  silence 0.0 s");

  EXPECT_EQ(meterLine({0.5f, 0, 0}, 30, 80, false).find('\033'), std::string::npos);
  // The mark is red and the colour is reset before the text.
  std::string loud = meterLine({1, 0, 0}, 30, 80, true);
  EXPECT_NE(loud.find("\033[1;31m!"), std::string::npos) << loud;
  EXPECT_LT(loud.rfind("\033[0m"), loud.find(']'));
}

TEST(Clock, RoundsBeforeSplittingMinutesAndShowsTenthsOfAFractionalMaximum) {
  EXPECT_EQ(clockText(59.96, true), "01:00.0");
  EXPECT_EQ(clockText(59.4, false), "00:59");
  EXPECT_EQ(clockText(1800, false), "30:00");
  EXPECT_EQ(clockText(-1, true), "00:00.0");
  EXPECT_NE(meterLine({0, 0.2, 0}, 0.5, 80, false).find("00:00.2 / 00:00.5"), std::string::npos);
}

TEST(Transcript, WrapsBetweenWordsBelowTheWidthUnderItsLabel) {
  EXPECT_EQ(wrapText("one two three four", 80, 12), "one two three four");
  EXPECT_EQ(wrapText("one two three four", 20, 4), "one two three\n    four");
  EXPECT_EQ(wrapText("aa  bb", 8, 0), "aa bb");
  // A word longer than a line has one of its own; none starts a line empty.
  EXPECT_EQ(wrapText("a extraordinarily b", 10, 2), "a\n  extraordinarily\n  b");
  // Width in characters, not bytes.
  EXPECT_EQ(wrapText("\xc3\xa9t\xc3\xa9 \xc3\xa9t\xc3\xa9", 10, 0), "\xc3\xa9t\xc3\xa9 \xc3\xa9t\xc3\xa9");
}

// A terminal that reflows its lines when resized (as tmux and most emulators do): it
// keeps logical lines and shows each over as many rows as the width needs. It knows the
// controls the display writes: CR, LF, ESC[nA, and ESC[K and ESC[J, both of which erase
// to the end of the screen here, since the display writes only on its last line.
class ReflowingTerminal {
 public:
  explicit ReflowingTerminal(size_t width) : columns(width) {}
  size_t columns;

  void write(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\033') {
        size_t end = bytes.find_first_of("AJK", i);
        if (bytes[end] != 'A') {
          lines_[line_].resize(std::min(lines_[line_].size(), offset_));
          lines_.resize(line_ + 1);
        }
        for (int up = std::max(1, std::atoi(&bytes[i + 2])); bytes[end] == 'A' && up > 0; --up) {
          if (offset_ >= columns) {
            offset_ -= columns;
          } else if (line_ > 0) {
            offset_ += (rowsOf(lines_[--line_]) - 1) * columns;
          }
        }
        i = end;
      } else if (bytes[i] == '\r') {
        offset_ -= offset_ % columns;
      } else if (bytes[i] == '\n') {
        if (++line_ == lines_.size()) lines_.emplace_back();
        offset_ = 0;
      } else {
        lines_[line_].resize(std::max(lines_[line_].size(), offset_ + 1), ' ');
        lines_[line_][offset_++] = bytes[i];
      }
    }
  }

  // What is on screen, one element per row.
  std::vector<std::string> rows() const {
    std::vector<std::string> shown;
    for (const std::string& text : lines_) {
      for (size_t row = 0; row < rowsOf(text); ++row) shown.push_back(text.substr(row * columns, columns));
    }
    return shown;
  }

 private:
  size_t rowsOf(const std::string& text) const { return std::max<size_t>(1, (text.size() + columns - 1) / columns); }

  std::vector<std::string> lines_{1};
  size_t line_ = 0;
  size_t offset_ = 0;
};

std::string takeWritten(std::FILE* file, long& read) {
  std::fflush(file);
  long end = std::ftell(file);
  std::string bytes(static_cast<size_t>(end - read), '\0');
  std::fseek(file, read, SEEK_SET);
  EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
  read = end;
  return bytes;
}

TEST(Meter, AResizedTerminalKeepsOneMeterRowAtTheNewWidth) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  long read = 0;
  ReflowingTerminal terminal(80);
  Display display(file, {true, false, 80}, 1800);
  display.ready("note.wav");
  for (double t : {0.1, 0.2}) display.level({0.5f, t, t});
  terminal.write(takeWritten(file, read));
  const std::string header = "Recording to note.wav (at most 30:00). Press Enter or Ctrl-C to stop.";
  ASSERT_EQ(terminal.rows(), (std::vector<std::string>{header, meterLine({0.5f, 0.2, 0.2}, 1800, 80, false)}));

  // Narrower, then wider again: after each size and every redraw that follows, the
  // header's rows and one meter row that fits.
  for (int columns : {25, 12, 50, 200}) {
    terminal.columns = static_cast<size_t>(columns);
    display.resize(columns);
    for (double t : {0.3, 0.4, 0.5}) display.level({0.5f, t, 0});
    terminal.write(takeWritten(file, read));
    std::vector<std::string> rows = terminal.rows();
    const size_t headerRows = (header.size() + columns - 1) / columns;
    ASSERT_EQ(rows.size(), headerRows + 1) << columns << " columns";
    EXPECT_EQ(rows.back(), meterLine({0.5f, 0.5, 0}, 1800, columns, false)) << columns << " columns";
    EXPECT_EQ(rows.front(), header.substr(0, columns));
  }
  std::fclose(file);
}

}  // namespace
}  // namespace talvora::record
