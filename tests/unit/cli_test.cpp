#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/stop_listener.h"
#include "protocol/operands.h"

namespace talvora::cli {
namespace {

TEST(DurationOperand, AcceptsTheCLocaleGrammarAndRejectsEverythingElse) {
  for (auto [text, value] : std::vector<std::pair<const char*, double>>{
           {"1800", 1800}, {"0.5", 0.5}, {"1e3", 1000}, {"0x1p4", 16}, {"+2", 2}}) {
    auto parsed = protocol::parseDurationText(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, value) << text;
    EXPECT_TRUE(protocol::isValidDuration(*parsed)) << text;
  }
  for (const char* text : {"", "abc", "5s", " 5", "5 ", "\t5", "5\n", "1,5", "0x"}) {
    EXPECT_FALSE(protocol::parseDurationText(text)) << '"' << text << '"';
  }
  for (const char* text : {"0", "-3", "1800.5", "inf", "nan", "-0", "1e999"}) {
    auto parsed = protocol::parseDurationText(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_FALSE(protocol::isValidDuration(*parsed)) << text;
  }
}

std::vector<std::string> linesOf(const std::vector<std::string>& chunks, size_t limit = 16) {
  LineReader reader(limit);
  std::vector<std::string> lines;
  auto onLine = [&](const std::string& line) {
    lines.push_back(line);
    return true;
  };
  for (const auto& chunk : chunks) reader.feed(chunk.data(), chunk.size(), onLine);
  reader.finish(onLine);
  return lines;
}

TEST(LineReader, SplitsAcrossChunksAndStripsOneTerminator) {
  EXPECT_EQ(linesOf({"st", "op\r", "\nStop\n stop\nstop now\n\nst", "op"}),
            (std::vector<std::string>{"stop", "Stop", " stop", "stop now", "", "stop"}));
  EXPECT_EQ(linesOf({"a\r\r\n"}), (std::vector<std::string>{"a\r"}));
}

TEST(LineReader, DropsOverlongLinesWithoutHoldingThem) {
  std::string flood(1 << 20, 'x');
  auto lines = linesOf({flood, flood, "tail\nstop\n", std::string(40, 'y')}, 16);
  EXPECT_EQ(lines, (std::vector<std::string>{"stop"}));
  // A line exactly at the limit is kept.
  EXPECT_EQ(linesOf({std::string(16, 'z') + "\n"}, 16), (std::vector<std::string>{std::string(16, 'z')}));
}

TEST(LineReader, StopsFeedingWhenTheCallbackSaysSo) {
  LineReader reader;
  int calls = 0;
  std::string input = "a\nstop\nb\n";
  bool more = reader.feed(input.data(), input.size(), [&](const std::string& line) {
    ++calls;
    return !isStopLine(line);
  });
  EXPECT_FALSE(more);
  EXPECT_EQ(calls, 2);
}

// A stop signal for the test's own use, blocked in this thread (and so in the threads
// the triggers start) for the length of one test.
class BlockedSignal {
 public:
  BlockedSignal() {
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~BlockedSignal() {
    // Take a signal still pending so that unblocking does not deliver it.
    timespec now{};
    while (sigtimedwait(&set, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  sigset_t set;

 private:
  sigset_t previous_;
};

bool waitFor(const std::atomic<int>& count, int wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (count.load() < wanted && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return count.load() >= wanted;
}

// The stop line and the stop signals each call the stop once per trigger; ending the
// triggers joins both threads whether or not either fired, and calls nothing more.
TEST(StopTriggers, LineAndSignalEachStopAndTheThreadsEndWhenAskedTo) {
  BlockedSignal signal;
  {
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    std::atomic<int> stops{0};
    {
      StopTriggers triggers(input[0], signal.set, [&] { ++stops; });
      ASSERT_EQ(::write(input[1], "Stop\nstop\n", 10), 10);
      EXPECT_TRUE(waitFor(stops, 1));
      ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
      EXPECT_TRUE(waitFor(stops, 2));
    }
    EXPECT_EQ(stops.load(), 2);
    ::close(input[0]);
    ::close(input[1]);
  }
  {
    // Neither fires: the input stays open and silent.
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    std::atomic<int> stops{0};
    const auto begin = std::chrono::steady_clock::now();
    { StopTriggers triggers(input[0], signal.set, [&] { ++stops; }); }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(stops.load(), 0);
    ::close(input[0]);
    ::close(input[1]);
  }
}

}  // namespace
}  // namespace talvora::cli
