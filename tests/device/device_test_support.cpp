#include "device_test_support.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <thread>

namespace talvora::testing {

TemporaryDirectory::TemporaryDirectory(unsigned mode) : path_(makeTemporaryDirectory("talvora-device", mode)) {}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool warnedAboutVoiceProcessing(const RecorderProcess& recorder) {
  for (const auto& event : recorder.eventsOfKind("warning")) {
    if (!event.contains("message") || !event["message"].is_string()) continue;
    std::string message = event["message"];
    std::transform(message.begin(), message.end(), message.begin(), [](unsigned char c) { return std::tolower(c); });
    if (message.find("voice processing") != std::string::npos) return true;
  }
  return false;
}

void stopAndExpectCleanFinish(RecorderProcess& recorder) {
  using namespace std::chrono_literals;
  recorder.sendStop();
  const auto finished = recorder.waitForEvent("finished", 15s);
  EXPECT_TRUE(finished.contains("durationSeconds") && finished["durationSeconds"].is_number()) << finished.dump();
  EXPECT_EQ(recorder.waitForExit(15s), 0);
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
}

}  // namespace talvora::testing
