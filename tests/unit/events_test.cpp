#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "events/emit.h"
#include "protocol/event_line.h"

namespace talvora::protocol {
namespace {

nlohmann::json parseLine(const Event& event) {
  std::string failure;
  auto line = serialize(event, &failure);
  EXPECT_TRUE(line.has_value()) << failure;
  if (!line) return {};
  EXPECT_EQ(line->back(), '\n');
  EXPECT_EQ(line->find('\n'), line->size() - 1) << "one record, one line";
  return nlohmann::json::parse(*line);
}

TEST(EventLine, ReadyIsAnObjectWithTheEventKeyOnly) {
  auto json = parseLine(readyEvent());
  EXPECT_EQ(json, nlohmann::json({{"event", "ready"}}));
}

TEST(EventLine, FloatsUseTheirOwnShortestDigits) {
  std::string failure;
  auto line = *serialize(levelEvent(0.05f * 8, 1.25, 0.1), &failure);
  EXPECT_NE(line.find("\"level\":0.4"), std::string::npos) << line;
  EXPECT_EQ(line.find("0.4000000"), std::string::npos) << line;
  auto json = nlohmann::json::parse(line);
  EXPECT_EQ(json["level"].get<float>(), 0.4f);
  EXPECT_EQ(json["elapsedSeconds"].get<double>(), 1.25);
  // Doubles keep full precision.
  auto precise = parseLine(finishedEvent(0.1 + 0.2, ""));
  EXPECT_EQ(precise["durationSeconds"].get<double>(), 0.1 + 0.2);
}

TEST(EventLine, AwkwardTextRoundTripsAndInvalidUtf8IsReplaced) {
  std::string awkward = "quote \" backslash \\ newline \n tab \t bell \a nul";
  awkward.push_back('\0');
  awkward += " é 🎙";
  EXPECT_EQ(parseLine(errorEvent(awkward))["message"].get<std::string>(), awkward);
  auto replaced = parseLine(warningEvent(std::string("bad \xff\xfe byte")))["message"].get<std::string>();
  EXPECT_EQ(replaced, "bad \xEF\xBF\xBD\xEF\xBF\xBD byte");
}

TEST(EventLine, NonFiniteNumbersFailSerialization) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    std::string failure;
    EXPECT_FALSE(serialize(finishedEvent(bad, ""), &failure).has_value());
    EXPECT_FALSE(failure.empty());
  }
  std::string failure;
  EXPECT_FALSE(serialize(levelEvent(std::nanf(""), 0, 0), &failure).has_value());
}

TEST(EventLineDeathTest, SerializationFailureEndsTheProcessWithOneStderrLine) {
  EXPECT_EXIT(events::emit(finishedEvent(std::nan(""), "")), ::testing::ExitedWithCode(1),
              "^Audio event serialization failed: .+\n$");
}

}  // namespace
}  // namespace talvora::protocol
