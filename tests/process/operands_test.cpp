// The operands as the real binary takes them: what it refuses before touching the
// microphone (one "error" event, status 1, nothing on standard error, no file), and what
// it accepts (it records).

#include <filesystem>
#include <memory>

#include "process/process_support.h"

namespace talvora::testing {
namespace {

constexpr const char* kInvalidArguments = "Invalid capture arguments";
constexpr const char* kInvalidDuration = "Invalid recording duration";

struct Refusal {
  const char* name;
  std::vector<std::string> operandsAfterOutput;  // the output path is always first
  const char* message;
};

void PrintTo(const Refusal& r, std::ostream* out) {
  *out << "[";
  for (const auto& o : r.operandsAfterOutput) *out << "\"" << o << "\" ";
  *out << "] -> " << r.message;
}

class RefusedOperands : public ::testing::TestWithParam<Refusal> {};

// No server is reachable: a binary that tried to record anyway would say "no usable
// format" instead of the expected message.
TEST_P(RefusedOperands, OneErrorEventStatusOneAndNoFile) {
  const Refusal refusal = GetParam();
  ScratchDirectory out;
  const std::string path = out / "note.wav";
  RecorderOptions options;
  options.operands = {path};
  options.operands.insert(options.operands.end(), refusal.operandsAfterOutput.begin(),
                          refusal.operandsAfterOutput.end());
  options.environment = serverlessEnvironment(out.path());
  options.workingDirectory = out.path();
  RecorderProcess recorder(options);
  recorder.readToEnd(15s);
  EXPECT_EQ(recorder.waitForExit(15s), 1);
  ASSERT_EQ(recorder.events().size(), 1u) << recorder.describeEvents();
  const Json& only = recorder.events()[0];
  EXPECT_EQ(only["event"], "error");
  EXPECT_EQ(textOf(only, "message"), refusal.message);
  EXPECT_EQ(only.size(), 2u) << only.dump();
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_FALSE(std::filesystem::exists(path));
}

std::string nameOf(const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Durations, RefusedOperands,
                         ::testing::Values(Refusal{"zero", {"0", "false"}, kInvalidDuration},
                                           Refusal{"negative", {"-3", "false"}, kInvalidDuration},
                                           Refusal{"overMaximum", {"1800.5", "false"}, kInvalidDuration},
                                           Refusal{"infinity", {"inf", "false"}, kInvalidDuration},
                                           Refusal{"notANumber", {"nan", "false"}, kInvalidDuration},
                                           Refusal{"empty", {"", "false"}, kInvalidArguments},
                                           Refusal{"word", {"abc", "false"}, kInvalidArguments},
                                           Refusal{"unit", {"5s", "false"}, kInvalidArguments},
                                           Refusal{"leadingSpace", {" 5", "false"}, kInvalidArguments},
                                           Refusal{"trailingSpace", {"5 ", "false"}, kInvalidArguments}),
                         nameOf);

INSTANTIATE_TEST_SUITE_P(OperandCounts, RefusedOperands,
                         ::testing::Values(Refusal{"two", {"60"}, kInvalidArguments},
                                           Refusal{"four", {"60", "false", "extra"}, kInvalidArguments}),
                         nameOf);

// Every accepted form records, side by side on one server, all hearing the same spoken
// sentence. Only the exact word "true" turns transcription on: the one recorder given it
// is the control that shows the sentence can be transcribed at all, so the empty
// transcripts of the others mean "not transcribing", not "nothing understood".
TEST(AcceptedOperands, EachDurationFormRecordsAndOnlyTrueTranscribes) {
  struct Case {
    std::string maximum;
    std::string transcribe;
  };
  const std::vector<Case> cases = {{"1800", "false"}, {"0.5", "false"}, {"1e3", "false"}, {"0x1p4", "false"},
                                   {"60", "TRUE"},    {"60", "1"},      {"60", "yes"},    {"60", "true"}};
  const Audio sentence = librivoxExcerpt("sense_and_sensibility_01_austen_64kb-0880");
  PulseServer server({.rate = sentence.rate, .channels = 1});
  ScratchDirectory out;
  std::vector<std::unique_ptr<RecorderProcess>> recorders;
  for (size_t i = 0; i < cases.size(); ++i) {
    recorders.push_back(std::make_unique<RecorderProcess>(
        recorderOn(server, out / ("note-" + std::to_string(i) + ".wav"), cases[i].maximum, cases[i].transcribe)));
  }
  for (auto& r : recorders) r->waitForEvent("ready", 30s);

  // Speech, then a second of silence so the recognizer sees the utterance end.
  FifoFeeder feeder(server);
  const Audio fed = concatenate(sentence, silence(sentence.rate, 1, 1.0));
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(30s));

  // Stop them all first: each finishes a second after its stop, and they may as well
  // take that second together.
  auto pathOf = [&](size_t i) { return out / ("note-" + std::to_string(i) + ".wav"); };
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].maximum == "0.5") continue;  // it stops by itself
    EXPECT_TRUE(waitForFileFrames(pathOf(i), static_cast<int64_t>(fed.frames()), 15s)) << i;
    stopUnlessGone(*recorders[i]);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("maximum \"" + cases[i].maximum + "\", transcribe \"" + cases[i].transcribe + "\"");
    RecorderProcess& recorder = *recorders[i];
    const Json finished = recorder.waitForEvent("finished", 30s);
    EXPECT_EQ(recorder.waitForExit(15s), 0);
    EXPECT_EQ(recorder.standardError(), "");
    EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
    for (const auto& warning : recorder.eventsOfKind("warning")) {
      EXPECT_EQ(textOf(warning, "message").find("transcription"), std::string::npos) << warning.dump();
    }
    auto info = expectPlayable(pathOf(i), sentence.rate);
    if (cases[i].maximum == "0.5") {
      // Stopped by its own maximum: the duration is the maximum itself.
      EXPECT_EQ(numberOf(finished, "durationSeconds"), 0.5);
    } else if (info) {
      EXPECT_EQ(info->frames, static_cast<int64_t>(fed.frames()));
    }
    const std::string transcript = textOf(finished, "localTranscript");
    if (cases[i].transcribe == "true") {
      RecordProperty("controlTranscript", transcript);
      EXPECT_NE(transcript, "") << "the control recorder transcribed nothing";
    } else {
      EXPECT_EQ(transcript, "");
    }
  }
}

}  // namespace
}  // namespace talvora::testing
