#include <gtest/gtest.h>

#include "client/events.h"

namespace talvora::client {
namespace {

TEST(EventLine, ReadsEveryKindWhateverTheKeyOrderAndNumberForm) {
  EXPECT_TRUE(std::holds_alternative<Ready>(parseEventLine(R"({"event":"ready"})")));

  auto level = std::get<Level>(
      parseEventLine(R"({"silenceSeconds":1.25,"level":0.5,"elapsedSeconds":3,"event":"level","extra":[1]})"));
  EXPECT_FLOAT_EQ(level.level, 0.5f);
  EXPECT_DOUBLE_EQ(level.elapsedSeconds, 3);
  EXPECT_DOUBLE_EQ(level.silenceSeconds, 1.25);

  EXPECT_EQ(std::get<Warning>(parseEventLine(R"({"message":"Microphone input stopped: gone","event":"warning"})"))
                .message,
            "Microphone input stopped: gone");
  EXPECT_EQ(std::get<Error>(parseEventLine("{\"event\":\"error\",\"message\":\"caf\\u00e9 \\\"x\\\"\"}\r")).message,
            "caf\xc3\xa9 \"x\"");

  auto finished =
      std::get<Finished>(parseEventLine(R"({"localTranscript":"hello world","event":"finished","durationSeconds":2.5e0})"));
  EXPECT_DOUBLE_EQ(finished.durationSeconds, 2.5);
  EXPECT_EQ(finished.localTranscript, "hello world");
  EXPECT_STREQ(kindName(Event{finished}), "finished");
}

TEST(EventLine, AnythingElseIsUnparsedAndKeptVerbatim) {
  for (const char* line : {
           "",
           "Audio event serialization failed: x",
           R"({"event":"ready")",                                     // cut short
           R"(["event","ready"])",                                    // not an object
           R"({"kind":"ready"})",                                     // no event key
           R"({"event":7})",                                          // event not a string
           R"({"event":"paused"})",                                   // a kind we do not know
           R"({"event":"level","level":"0.5","elapsedSeconds":1,"silenceSeconds":0})",  // string number
           R"({"event":"level","level":0.5,"silenceSeconds":0})",    // key missing
           R"({"event":"warning","message":null})",
           R"({"event":"finished","durationSeconds":1})",            // no transcript
           R"({"event":"finished","durationSeconds":"1","localTranscript":""})",
       }) {
    Event event = parseEventLine(line);
    ASSERT_TRUE(std::holds_alternative<Unparsed>(event)) << line << " parsed as " << kindName(event);
    EXPECT_EQ(std::get<Unparsed>(event).line, line);
  }
}

}  // namespace
}  // namespace talvora::client
