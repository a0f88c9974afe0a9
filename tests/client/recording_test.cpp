#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "child_scripts.h"
#include "client/child_process.h"
#include "client/recording.h"

namespace talvora::client {
namespace {

using testing::readFile;
using testing::ScratchFolder;
using testing::waitForFile;

// Every event the callback saw, in order, with the thread it ran on.
struct Collected {
  std::mutex mutex;
  std::vector<Event> events;
  std::vector<std::thread::id> threads;

  std::function<void(const Event&)> callback() {
    return [this](const Event& event) {
      std::lock_guard lock(mutex);
      events.push_back(event);
      threads.push_back(std::this_thread::get_id());
    };
  }
  std::string kinds() {
    std::lock_guard lock(mutex);
    std::string text;
    for (const auto& event : events) text += std::string(text.empty() ? "" : " ") + kindName(event);
    return text;
  }
};

// True once `pid` is neither running nor a zombie waiting for us.
bool reaped(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD && ::kill(pid, 0) < 0; }

class RecordingTest : public ::testing::Test {
 protected:
  RecordingOptions optionsFor(const std::string& body) {
    RecordingOptions options;
    options.executable = folder.script("recorder", body);
    options.output = folder.file("note.wav");
    options.onEvent = collected.callback();
    return options;
  }

  ScratchFolder folder;
  Collected collected;
};

TEST_F(RecordingTest, PassesOperandsAndEnvironmentAndDeliversEventsInOrder) {
  RecordingOptions options = optionsFor(R"(
printf '%s|' "$@" > "$SCRATCH/operands"
echo '{"event":"ready"}'
echo '{"event":"level","level":0.25,"elapsedSeconds":0.1,"silenceSeconds":0}'
echo '{"event":"warning","message":"no voice processing"}'
echo '{"event":"level","level":0,"elapsedSeconds":0.2,"silenceSeconds":0.1}'
echo '{"event":"finished","durationSeconds":0.2,"localTranscript":"hi"}'
)");
  options.maxSeconds = 2.5;
  options.transcribe = true;
  options.environment = {{"SCRATCH", folder.path()}, {"HOME", "/nonexistent"}};
  Recording recording(options);
  RecordingResult result = recording.wait();

  EXPECT_EQ(readFile(folder.file("operands")), folder.file("note.wav") + "|2.5|true|");
  EXPECT_EQ(collected.kinds(), "ready level warning level finished");
  EXPECT_FLOAT_EQ(std::get<Level>(collected.events[1]).level, 0.25f);
  EXPECT_NE(collected.threads[0], std::this_thread::get_id());
  EXPECT_TRUE(result.succeeded());
  EXPECT_TRUE(result.ready);
  EXPECT_DOUBLE_EQ(result.durationSeconds, 0.2);
  EXPECT_DOUBLE_EQ(result.lastElapsedSeconds, 0.2);
  EXPECT_EQ(result.transcript, "hi");
  EXPECT_EQ(result.warnings, std::vector<std::string>{"no voice processing"});
  EXPECT_TRUE(result.errors.empty());
  // A later wait gives the same result.
  EXPECT_EQ(recording.wait().transcript, "hi");
}

TEST_F(RecordingTest, DefaultOperandsAreTheLongestRecordingWithoutTranscription) {
  Recording recording(optionsFor("printf '%s|' \"$2\" \"$3\" > " + folder.file("operands") + "\n"));
  recording.wait();
  EXPECT_EQ(readFile(folder.file("operands")), "1800|false|");
  EXPECT_EQ(durationOperand(0.1), "0.1");
  EXPECT_EQ(durationOperand(1e-3), "0.001");
}

TEST_F(RecordingTest, StopIsALineOnInputAndMayBeRequestedFromTheCallback) {
  RecordingOptions options = optionsFor(R"(
echo '{"event":"ready"}'
read line
printf '{"event":"finished","durationSeconds":1,"localTranscript":"%s"}\n' "$line"
)");
  // The first events may come before the constructor has returned: the callback waits
  // for the object it is going to use.
  std::promise<Recording*> constructed;
  std::shared_future<Recording*> self = constructed.get_future().share();
  options.onEvent = [&, inner = collected.callback()](const Event& event) {
    inner(event);
    if (std::holds_alternative<Ready>(event)) self.get()->requestStop();
  };
  Recording recording(options);
  constructed.set_value(&recording);
  RecordingResult result = recording.wait();
  EXPECT_TRUE(result.finished);
  EXPECT_EQ(result.transcript, "stop");
  recording.requestStop();  // again, once the child is gone: nothing happens
}

TEST_F(RecordingTest, EndOfInputStopsAChildThatNeverSeesTheLine) {
  // This child only notices end of input: the fallback must be there.
  Recording recording(optionsFor(R"(
echo '{"event":"ready"}'
cat > /dev/null
echo '{"event":"finished","durationSeconds":0,"localTranscript":""}'
)"));
  EXPECT_FALSE(recording.waitFor(std::chrono::milliseconds(50)));
  recording.requestStop();
  EXPECT_TRUE(recording.wait().finished);
}

TEST_F(RecordingTest, RefusalBeforeReadyIsAnErrorWithItsExitStatusAndStandardError) {
  Recording recording(optionsFor(R"(
echo '{"event":"error","message":"Invalid recording duration"}'
echo 'Audio event serialization failed: test' >&2
exit 1
)"));
  RecordingResult result = recording.wait();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(result.ready);
  EXPECT_FALSE(result.finished);
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.errors, std::vector<std::string>{"Invalid recording duration"});
  EXPECT_EQ(result.standardError, "Audio event serialization failed: test\n");
}

TEST_F(RecordingTest, ErrorDuringRecordingIsNoSuccessEvenThoughItFinishes) {
  Recording recording(optionsFor(R"(
echo '{"event":"ready"}'
echo '{"event":"error","message":"No space left on device"}'
echo '{"event":"finished","durationSeconds":3,"localTranscript":""}'
)"));
  RecordingResult result = recording.wait();
  EXPECT_TRUE(result.finished);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_FALSE(result.succeeded());
}

TEST_F(RecordingTest, StrayLinesAreReportedAndALastLineNeedsNoLineFeed) {
  // A transcript of a megabyte travels in one line; garbage around it changes nothing.
  Recording recording(optionsFor(R"(
echo 'hello from a library'
echo '{"event":"ready"'
printf '\r\n'
words=$(head -c 1048576 /dev/zero | tr '\0' 'a')
printf '{"event":"finished","durationSeconds":9,"localTranscript":"%s"}' "$words"
)"));
  RecordingResult result = recording.wait();
  EXPECT_EQ(collected.kinds(), "unparsed unparsed unparsed finished");
  EXPECT_EQ(result.unparsed, (std::vector<std::string>{"hello from a library", R"({"event":"ready")", "\r"}));
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.transcript.size(), 1048576u);
}

TEST_F(RecordingTest, ADeathBySignalIsReportedAsSuch) {
  Recording recording(optionsFor("echo '{\"event\":\"ready\"}'\nkill -9 $$\n"));
  RecordingResult result = recording.wait();
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_TRUE(result.ready);
}

TEST_F(RecordingTest, StoppingAChildThatIsGoneRaisesNoSigpipe) {
  // The test process keeps SIGPIPE's default action: a stray one would end it here.
  struct sigaction current {};
  ::sigaction(SIGPIPE, nullptr, &current);
  ASSERT_EQ(current.sa_handler, SIG_DFL);
  Recording recording(optionsFor("exec 0<&-\nexit 0\n"));
  recording.wait();
  recording.requestStop();
  sigset_t pending, mask;
  sigpending(&pending);
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

TEST_F(RecordingTest, ProgramThatCannotStartThrowsWithTheReason) {
  // The error number and text `start` throws; none when it started.
  auto failureOf = [](const std::function<void()>& start) -> std::optional<std::pair<int, std::string>> {
    try {
      start();
    } catch (const std::system_error& failure) {
      return std::make_pair(failure.code().value(), std::string(failure.what()));
    }
    return std::nullopt;
  };
  RecordingOptions options = optionsFor("");
  options.executable = folder.file("missing");
  auto missing = failureOf([&] { Recording recording(options); });
  ASSERT_TRUE(missing) << "started a program that does not exist";
  EXPECT_EQ(missing->first, ENOENT);

  std::string notExecutable = folder.script("plain", "");
  ::chmod(notExecutable.c_str(), 0644);
  options.executable = notExecutable;
  EXPECT_TRUE(failureOf([&] { Recording recording(options); }));

  // A step of the child's own before the program runs fails the same way, and says which.
  ChildOptions elsewhere;
  elsewhere.argv = {"true"};
  elsewhere.workingDirectory = folder.file("missing");
  auto nowhere = failureOf([&] { ChildProcess child(elsewhere); });
  ASSERT_TRUE(nowhere) << "started in a folder that does not exist";
  EXPECT_EQ(nowhere->first, ENOENT);
  EXPECT_NE(nowhere->second.find("(chdir)"), std::string::npos) << nowhere->second;
}

TEST_F(RecordingTest, TheChildStartsWithDefaultStopSignalsAndNoneBlocked) {
  // This process ignores SIGTERM and this thread blocks SIGHUP: the recorder, which
  // counts on both to stop, must get neither. (A shell would hide the mask: it clears
  // its own, so the program reading its status is started directly.)
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGTERM, &ignore, &previous);
  sigset_t hangup, mask;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hangup, &mask);
  ChildOptions options;
  options.argv = {"grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"};
  const int out = ::open(folder.file("signals").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  options.output = ChildStream::descriptor(out);
  ChildProcess(options).wait();
  ::close(out);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  ::sigaction(SIGTERM, &previous, nullptr);

  std::istringstream lines(readFile(folder.file("signals")));
  std::map<std::string, unsigned long long> sets;
  std::string name, bits;
  while (lines >> name >> bits) sets[name] = std::stoull(bits, nullptr, 16);
  ASSERT_EQ(sets.size(), 2u) << readFile(folder.file("signals"));
  EXPECT_EQ((sets["SigIgn:"] >> (SIGTERM - 1)) & 1, 0u) << "SIGTERM is still ignored";
  EXPECT_EQ(sets["SigBlk:"], 0u);
}

TEST_F(RecordingTest, DestroyingARunningRecordingStopsAndReapsTheChild) {
  pid_t polite;
  {
    Recording recording(optionsFor("echo '{\"event\":\"ready\"}'\nread line\ntouch " + folder.file("stopped") + "\n"));
    polite = recording.pid();
  }
  EXPECT_TRUE(testing::fileExists(folder.file("stopped")));
  EXPECT_TRUE(reaped(polite));

  // Deaf to "stop", end of input and SIGTERM: only SIGKILL ends it.
  pid_t stubborn;
  {
    RecordingOptions options = optionsFor("trap '' TERM INT HUP\ntouch " + folder.file("deaf") +
                                          "\nwhile :; do sleep 0.05; done\n");
    options.stopGrace = std::chrono::milliseconds(100);
    Recording recording(options);
    stubborn = recording.pid();
    ASSERT_TRUE(waitForFile(folder.file("deaf")));
  }
  EXPECT_TRUE(reaped(stubborn));
}

TEST_F(RecordingTest, WhatTheChildLeavesBehindDoesNotHoldTheResult) {
  // A grandchild that inherited the output pipes outlives the child.
  Recording recording(optionsFor("sleep 600 &\necho $! > " + folder.file("grandchild") +
                                 "\necho '{\"event\":\"finished\",\"durationSeconds\":1,\"localTranscript\":\"\"}'\n"));
  RecordingResult result = recording.wait();
  ::kill(std::stoi(readFile(folder.file("grandchild"))), SIGKILL);
  EXPECT_TRUE(result.finished);
  EXPECT_EQ(result.exitStatus, 0);
}

// A Recording destroyed from its first callback: the child's pid, and the thread that
// released what the callback had captured, once one has.
struct Abandoned {
  struct Release {
    std::mutex mutex;
    std::optional<std::thread::id> on;
  };
  struct Captured {
    std::shared_ptr<Release> release;
    ~Captured() {
      std::lock_guard lock(release->mutex);
      release->on = std::this_thread::get_id();
    }
  };

  pid_t pid = -1;
  std::shared_ptr<Release> release = std::make_shared<Release>();

  std::optional<std::thread::id> releasedOn() {
    std::lock_guard lock(release->mutex);
    return release->on;
  }
};

TEST_F(RecordingTest, ARecordingMayBeDestroyedFromItsOwnCallback) {
  auto destroyFromCallback = [&](const std::string& body, std::chrono::milliseconds grace) {
    struct Shared {
      std::mutex ownership;  // the callback waits until the pointer has been stored
      std::unique_ptr<Recording> recording;
      std::promise<pid_t> destroyed;
    };
    auto shared = std::make_shared<Shared>();
    Abandoned abandoned;
    auto captured = std::make_shared<Abandoned::Captured>();
    captured->release = abandoned.release;
    RecordingOptions options = optionsFor(body);
    options.stopGrace = grace;
    options.onEvent = [shared, captured](const Event&) {
      std::unique_lock lock(shared->ownership);
      pid_t pid = shared->recording->pid();
      shared->recording.reset();
      lock.unlock();
      shared->destroyed.set_value(pid);
    };
    std::future<pid_t> destroyed = shared->destroyed.get_future();
    {
      std::lock_guard lock(shared->ownership);
      shared->recording = std::make_unique<Recording>(std::move(options));
    }
    captured.reset();
    abandoned.pid = destroyed.get();
    return abandoned;
  };
  // Gone for good: reaped by the abandoned reader (a zombie would still take the signal).
  auto gone = [](pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
      if (::kill(pid, 0) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };

  Abandoned polite = destroyFromCallback("echo '{\"event\":\"ready\"}'\nread line\ntouch " + folder.file("stopped") +
                                             "\necho '{\"event\":\"warning\",\"message\":\"late\"}'\n",
                                         std::chrono::milliseconds(10000));
  // It was asked to stop on the way out, and its reader reaped it.
  EXPECT_TRUE(waitForFile(folder.file("stopped")));
  EXPECT_TRUE(gone(polite.pid));
  // The next Recording to start joins that reader and lets go of the callback there,
  // not on the reader, which has ended by then.
  for (int i = 0; i < 500 && !polite.releasedOn(); ++i) Recording(optionsFor("")).wait();
  EXPECT_EQ(polite.releasedOn(), std::this_thread::get_id());

  // Deaf to "stop", end of input and SIGTERM: the reader ends it by itself, as the
  // destructor would have.
  Abandoned deaf = destroyFromCallback("trap '' TERM INT HUP\necho '{\"event\":\"ready\"}'\nwhile :; do sleep 0.05; done\n",
                                       std::chrono::milliseconds(100));
  EXPECT_TRUE(gone(deaf.pid));
}

}  // namespace
}  // namespace talvora::client
