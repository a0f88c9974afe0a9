// talvora-record as a user runs it, with a scripted recorder in place of the real one
// (TALVORA_AUDIO), so that every outcome can be provoked.

#include <gtest/gtest.h>

#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <vector>

#include "child_scripts.h"
#include "client/child_process.h"

namespace talvora::client {
namespace {

using testing::ScratchFolder;

const std::string kReady = R"(echo '{"event":"ready"}')";

std::string finishedLine(const std::string& transcript) {
  return R"(printf '{"event":"finished","durationSeconds":1.5,"localTranscript":"%s"}\n' )" + transcript + "\n";
}

// Stands for the file the scripted recorder pretends to have written.
void writeSoundFile(const std::string& path, int container) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = container | SF_FORMAT_FLOAT;
  SNDFILE* sound = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
  std::vector<float> samples(24000, 0.25f);
  sf_write_float(sound, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(sound);
}

class RecordCommand : public ::testing::Test {
 protected:
  testing::Run record(const std::vector<std::string>& arguments, const std::string& recorderBody,
                      const std::string& input = "") {
    std::vector<std::string> argv = {TALVORA_RECORD_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::runProgram(argv, {"TALVORA_AUDIO=" + folder.script("recorder", recorderBody), "NO_COLOR="},
                               input);
  }

  ScratchFolder folder;
};

TEST_F(RecordCommand, HelpVersionAndWrongCommandLines) {
  const std::string recorder = "touch " + folder.file("started") + "\n";
  auto help = record({"--help"}, recorder);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: talvora-record FILE [--max SECONDS] [--transcribe]\n", 0), 0u) << help.out;
  auto version = record({"x.wav", "-V"}, recorder);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "talvora-record " TALVORA_VERSION "\n");

  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {},
           {"a.wav", "b.wav"},
           {"a.m4a"},
           {"noextension"},
           {"a.wav", "--max"},
           {"a.wav", "--max", "0"},
           {"--max", "1800.5", "a.wav"},
           {"a.wav", "--max", " 5"},
           {"a.wav", "--max=5s"},
           {"a.wav", "--max", "nan"},
           {"a.wav", "--transcribe=yes"},
           {"a.wav", "-x"},
       }) {
    std::string shown;
    for (const auto& argument : arguments) shown += "[" + argument + "] ";
    auto run = record(arguments, recorder);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_NE(run.err.find("Try 'talvora-record --help'."), std::string::npos) << shown << run.err;
  }
  EXPECT_FALSE(testing::fileExists(folder.file("started"))) << "a wrong command line started the recorder";

  // After "--" a name with a leading dash is the file; the bounds of --max are accepted
  // in the recorder's own grammar, the last --max counting; every compressed extension,
  // in any case, is one the recorder takes.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--", "-x.wav"}, {"--max=1800", "a.WAV", "--max", "0x1p-4"}, {"--", "a.FLAC"}, {"--", "a.Opus"},
           {"--", "a.ogg"}, {"--", "a.mp3"}}) {
    ::unlink(folder.file("started").c_str());
    EXPECT_NE(record(arguments, recorder).status, 2) << arguments[1];
    EXPECT_TRUE(testing::fileExists(folder.file("started"))) << arguments[1];
  }
}

TEST_F(RecordCommand, AwayFromATerminalPrintsALineASecondThenTranscriptAndFile) {
  // What the recorder would have written: 1.5 s at 16 kHz in a CAF file.
  std::string file = folder.file("note.caf");
  writeSoundFile(file, SF_FORMAT_CAF);

  std::string recorder = kReady + "\nprintf '%s ' \"$@\" > " + folder.file("operands") +
                         "\nfor t in 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0 1.1 1.2 1.3 1.4 1.5; do\n"
                         R"(  printf '{"event":"level","level":0.5,"elapsedSeconds":%s,"silenceSeconds":0}\n' $t)"
                         "\ndone\n"
                         R"(echo '{"event":"warning","message":"Microphone input stopped: test"}')"
                         "\n" +
                         finishedLine("'hello world'");
  // Standard input at its end from the start: no stop, the recorder finishes by itself.
  auto run = record({file, "--transcribe", "--max", "90"}, recorder);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::readFile(folder.file("operands")), file + " 90 true ");
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_EQ(run.out.find('\033'), std::string::npos);
  for (const char* expected : {"   1.0 s  level 0.50  silence 0.0 s\n", "warning: Microphone input stopped: test\n",
                               "Transcript: hello world\n", "Container: CAF (Apple Core Audio File)\n",
                               "Encoding:  32 bit float\n", "Rate:      16000 Hz\n", "Channels:  1 (mono)\n",
                               "Frames:    24000\n", "Duration:  1.500 s\n"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " not in:\n" << run.out;
  }
  // One line per second of audio, not one per level event.
  EXPECT_EQ(run.out.find("0.1 s  level"), std::string::npos) << run.out;
}

TEST_F(RecordCommand, EnterAndInterruptAreForwardedAsStopRequests) {
  const std::string recorder = kReady + "\ntouch " + folder.file("ready") + "\nread line\n" +
                               finishedLine("\"$line\"");
  writeSoundFile(folder.file("a.wav"), SF_FORMAT_WAV);
  auto entered = record({folder.file("a.wav"), "--transcribe"}, recorder, "\n");
  EXPECT_EQ(entered.status, 0) << entered.err;
  EXPECT_NE(entered.out.find("Transcript: stop\n"), std::string::npos) << entered.out;
  ::unlink(folder.file("ready").c_str());

  // Ctrl-C: talvora-record must ask the recorder to stop, and wait for it to finish.
  std::string target = folder.file("b.wav");
  writeSoundFile(target, SF_FORMAT_WAV);
  testing::Run interrupted = testing::runProgram({TALVORA_RECORD_BINARY, "--transcribe", target},
                                                 {"TALVORA_AUDIO=" + folder.script("recorder", recorder)}, "",
                                                 [&](ChildProcess& child) {
                                                   ASSERT_TRUE(testing::waitForFile(folder.file("ready")));
                                                   child.kill(SIGINT);
                                                 });
  EXPECT_EQ(interrupted.status, 0) << "ended by signal " << interrupted.signal << "; " << interrupted.err;
  const std::string& text = interrupted.out;
  EXPECT_NE(text.find("Stopping; finishing the transcript...\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Transcript: stop\n"), std::string::npos) << text;
}

TEST_F(RecordCommand, RecorderFailuresExitWithOne) {
  auto refused = record({folder.file("a.wav")},
                        R"(echo '{"event":"error","message":"Microphone permission denied."}'; exit 1)");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("talvora-record: Microphone permission denied.\n"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("File:"), std::string::npos);

  // Stopped early by a write failure: the recorder finishes, but the recording is short.
  auto broken = record({folder.file("a.wav")}, kReady + "\n" +
                                                   R"(echo '{"event":"error","message":"No space left on device"}')" +
                                                   "\n" + finishedLine("''"));
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("No space left on device"), std::string::npos) << broken.err;

  auto crashed = record({folder.file("a.wav")}, kReady + "\nkill -9 $$\n");
  EXPECT_EQ(crashed.status, 1);
  EXPECT_NE(crashed.err.find("signal 9"), std::string::npos) << crashed.err;
}

}  // namespace
}  // namespace talvora::client
