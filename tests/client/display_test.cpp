#include <gtest/gtest.h>

#include "record/display.h"

namespace talvora::record {
namespace {

// What a terminal shows of a line: everything but the colour sequences.
std::string visible(const std::string& line) {
  std::string shown;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\033') {
      i = line.find('m', i);
      continue;
    }
    shown += line[i];
  }
  return shown;
}

TEST(Meter, FitsTheTerminalWhateverItsWidthSoRedrawingNeverWraps) {
  const client::Level level{0.5f, 1799.96, 12.34};
  for (int columns = 10; columns <= 200; ++columns) {
    for (bool colour : {false, true}) {
      std::string shown = visible(meterLine(level, 1800, columns, colour));
      EXPECT_LT(static_cast<int>(shown.size()), columns) << columns << ": " << shown;
    }
  }
  EXPECT_EQ(meterLine(level, 1800, 80, false), "REC [####################....................]  30:00.0 / 30:00  silence 12.3 s");
  EXPECT_EQ(visible(meterLine(level, 1800, 80, true)), meterLine(level, 1800, 80, false));
}

TEST(Meter, BarFollowsTheLevelAndColourOnlyWhenAsked) {
  auto bar = [](float value) {
    std::string line = meterLine({value, 0, 0}, 30, 60, false);
    return line.substr(line.find('['), line.find(']') - line.find('[') + 1);
  };
  EXPECT_EQ(bar(0), "[" + std::string(bar(0).size() - 2, '.') + "]");
  EXPECT_EQ(bar(1), "[" + std::string(bar(1).size() - 2, '#') + "]");
  EXPECT_EQ(bar(7.5f), bar(1));  // clamped, as is a level below 0
  EXPECT_EQ(bar(-1), bar(0));
  EXPECT_EQ(meterLine({0.5f, 0, 0}, 30, 80, false).find('\033'), std::string::npos);
  // Full scale reaches the red end, and the colour is reset before the text.
  std::string loud = meterLine({1, 0, 0}, 30, 80, true);
  EXPECT_NE(loud.find("\033[31m#"), std::string::npos) << loud;
  EXPECT_LT(loud.rfind("\033[0m"), loud.find(']'));
}

TEST(Clock, RoundsBeforeSplittingMinutesAndShowsTenthsOfAFractionalMaximum) {
  EXPECT_EQ(clockText(59.96, true), "01:00.0");
  EXPECT_EQ(clockText(59.4, false), "00:59");
  EXPECT_EQ(clockText(1800, false), "30:00");
  EXPECT_EQ(clockText(-1, true), "00:00.0");
  EXPECT_NE(meterLine({0, 0.2, 0}, 0.5, 80, false).find("00:00.2 / 00:00.5"), std::string::npos);
  EXPECT_EQ(plainLine({0.25f, 3.04, 0}), "   3.0 s  level 0.25  silence 0.0 s");
}

}  // namespace
}  // namespace talvora::record
