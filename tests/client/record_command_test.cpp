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

std::string finishedLine(const std::string& transcript, const std::string& seconds = "1.5") {
  return R"(printf '{"event":"finished","durationSeconds":)" + seconds + R"(,"localTranscript":"%s"}\n' )" +
         transcript + "\n";
}

std::string levelLine(const std::string& elapsed, const std::string& silence = "0") {
  return R"(echo '{"event":"level","level":0.5,"elapsedSeconds":)" + elapsed + R"(,"silenceSeconds":)" + silence +
         "}'\n";
}

// Stands for the file the scripted recorder pretends to have written: `frames` at 16 kHz.
void writeSoundFile(const std::string& path, int container, size_t frames = 24000) {
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = container | SF_FORMAT_FLOAT;
  SNDFILE* sound = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
  std::vector<float> samples(frames, 0.25f);
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
  EXPECT_EQ(help.out.rfind("Usage: talvora-record FILE [--max SECONDS] [--transcribe] [--device NAME]\n", 0), 0u)
      << help.out;
  EXPECT_NE(help.out.find("pactl list short sources"), std::string::npos) << help.out;
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
           {"a.wav", "--max=0.09"},  // less than a meter tick: an empty file
           {"a.wav", "--stop-after-silence"},
           {"a.wav", "--stop-after-silence", "0"},
           {"a.wav", "--device"},
           {"a.wav", "--device="},
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
  // A folder as FILE, with or without an extension, is named as such.
  ::mkdir(folder.file("folder.wav").c_str(), 0755);
  for (const std::string& path : {folder.path(), folder.file("folder.wav")}) {
    auto run = record({path}, recorder);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot record into \"" + path + "\": it is a folder\n"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(testing::fileExists(folder.file("started"))) << "a wrong command line started the recorder";

  // After "--" a name with a leading dash is the file; the bounds of --max are accepted
  // in the recorder's own grammar, the last --max counting; every compressed extension,
  // in any case, is one the recorder takes.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--", "-x.wav"}, {"--max=1800", "a.WAV", "--max", "0.1", "--stop-after-silence=1800"}, {"--", "a.FLAC"},
           {"--", "a.Opus"}, {"--", "a.ogg"}, {"--", "a.mp3"}}) {
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
  auto run = record({file, "--transcribe", "--max", "1.5"}, recorder);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::readFile(folder.file("operands")), file + " 1.5 true ");
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_EQ(run.out.find('\033'), std::string::npos);
  for (const char* expected : {"   1.0 s  level -24 dB  silence 0.0 s\n", "Reached the maximum of 00:01.5. Stopping;",
                               "warning: Microphone input stopped: test\n", "Recorded 1.5 s.\nTranscript: hello world\n", "Container: CAF (Apple Core Audio File)\n",
                               "Encoding:  32 bit float\n", "Rate:      16000 Hz\n", "Channels:  1 (mono)\n",
                               "Frames:    24000\n", "Duration:  1.500 s\n"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " not in:\n" << run.out;
  }
  // One line per second of audio, not one per level event; the file holds what was
  // recorded, so nothing is said about it.
  EXPECT_EQ(run.out.find("0.1 s  level"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("The file holds"), std::string::npos) << run.out;
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

  // Enter before the recorder is ready: it finishes without having recorded, and no file
  // is looked for.
  auto early = record({folder.file("never.wav")}, "read line\n" + finishedLine("''", "0.0001"), "\n");
  EXPECT_EQ(early.status, 3) << early.err;
  EXPECT_EQ(early.out, "Stopping...\nStopped before the recording began: nothing was recorded.\n");
  EXPECT_EQ(early.err, "");
}

TEST_F(RecordCommand, MicrophoneChoiceAndStopAfterSilence) {
  // --device reaches the recorder as the sound system's own PULSE_SOURCE; without it the
  // recorder's environment is ours.
  const std::string reportSource = "printf %s \"$PULSE_SOURCE\" > " + folder.file("source") + "\nexit 1\n";
  for (const auto& [arguments, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"a.wav", "--device", "alsa_input.usb-mic"}, "alsa_input.usb-mic"},
           {{"--device=other.monitor", "a.wav"}, "other.monitor"},
           {{"a.wav"}, "from-the-environment"}}) {
    std::vector<std::string> argv = {TALVORA_RECORD_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    testing::runProgram(argv,
                        {"TALVORA_AUDIO=" + folder.script("recorder", reportSource), "PULSE_SOURCE=from-the-environment"});
    EXPECT_EQ(testing::readFile(folder.file("source")), expected);
  }

  // The input falls quiet: the stop comes from talvora-record itself once the silence
  // reaches the limit, with standard input at its end from the start (no Enter).
  writeSoundFile(folder.file("a.wav"), SF_FORMAT_WAV);
  auto quiet = record({folder.file("a.wav"), "--stop-after-silence", "1.5", "--transcribe"},
                      kReady + "\n" + levelLine("0.1") + levelLine("0.6", "0.5") + levelLine("1.6", "1.5") +
                          levelLine("1.7", "1.6") + "read line\n" + finishedLine("\"$line\""));
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_NE(quiet.out.find("Quiet for 1.5 s (--stop-after-silence). Stopping; finishing the transcript...\n"),
            std::string::npos)
      << quiet.out;
  EXPECT_NE(quiet.out.find("Transcript: stop\n"), std::string::npos) << quiet.out;
}

// "Recorded" is what the file holds; when that is less than the time recorded, a line
// says how much and why.
TEST_F(RecordCommand, SummarySaysWhatTheFileHoldsAndWhyLess) {
  const std::string file = folder.file("note.wav");
  const std::string held = folder.file("held.wav");     // 1.5 s
  const std::string empty = folder.file("empty.wav");   // no frames
  writeSoundFile(held, SF_FORMAT_WAV);
  writeSoundFile(empty, SF_FORMAT_WAV, 0);
  const std::string lost = R"(echo '{"event":"warning","message":"Microphone input stopped: Connection terminated. Audio captured so far remains on disk."}')"
                           "\n";
  struct Case {
    const char* name;
    std::string recorder;
    std::string expected;
    const char* frames;
  };
  for (const Case& c : std::vector<Case>{
           {"all of it", "cp " + held + " " + file + "\n" + kReady + "\n" + levelLine("0.1") + finishedLine("''", "1.6"),
            "Recorded 1.5 s.\nFile:", "24000"},
           // The file stays empty for the first ticks, then holds audio that began 2 s
           // late. Events only in the end, and a pause, so the empty file is seen first.
           {"late start",
            "cp " + empty + " " + file + "\n" + kReady + "\n" + levelLine("0.1") + levelLine("1.0") + "sleep 1\ncp " +
                held + " " + file + "\n" + levelLine("3.5") + finishedLine("''", "3.5"),
            "Recorded 1.5 s.\nThe file holds 2.0 s less than the 3.5 s recorded: the microphone delivered nothing "
            "for the first 2.0 s.\n", "24000"},
           {"input lost", "cp " + held + " " + file + "\n" + kReady + "\n" + levelLine("0.1") + lost +
                              finishedLine("''", "11.1"),
            "Recorded 1.5 s.\nThe file holds 9.6 s less than the 11.1 s recorded: the microphone stopped delivering "
            "(see the warning above).\n", "24000"},
           {"nothing", "cp " + empty + " " + file + "\n" + kReady + "\n" + levelLine("0.1") + finishedLine("''", "1.0"),
            "Recorded 0.0 s.\nThe file holds no audio: the microphone delivered nothing in the 1.0 s recorded.\n", "0"},
           {"slow", "cp " + held + " " + file + "\n" + kReady + "\n" + finishedLine("''", "2.5"),
            "Recorded 1.5 s.\nThe file holds 1.0 s less than the 2.5 s recorded: the microphone delivered less "
            "audio than the time that passed.\n", "24000"},
       }) {
    auto run = record({file}, c.recorder);
    EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_NE(run.out.find(c.expected), std::string::npos) << c.name << ":\n" << run.out;
    EXPECT_NE(run.out.find("Frames:    " + std::string(c.frames) + "\n"),
              std::string::npos)
        << c.name << ":\n" << run.out;
  }
}

TEST_F(RecordCommand, RecorderFailuresExitWithOne) {
  auto refused = record({folder.file("a.wav")},
                        R"(echo '{"event":"error","message":"Microphone permission denied."}'; exit 1)");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("talvora-record: Microphone permission denied.\n"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("File:"), std::string::npos);
  // The system's words for a file that cannot be created get the file's name.
  auto uncreatable = record({"/no/such/folder/a.wav"},
                            R"(echo '{"event":"error","message":"No such file or directory"}'; exit 1)");
  EXPECT_EQ(uncreatable.status, 1);
  EXPECT_EQ(uncreatable.err, "talvora-record: cannot create /no/such/folder/a.wav: No such file or directory\n");

  // Stopped early by a write failure: the recorder finishes, but the recording is short.
  auto broken = record({folder.file("a.wav")}, kReady + "\n" +
                                                   R"(echo '{"event":"error","message":"No space left on device"}')" +
                                                   "\n" + finishedLine("''"));
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("talvora-record: cannot write " + folder.file("a.wav") + ": No space left on device\n"),
            std::string::npos)
      << broken.err;

  // Killed while recording: the file keeps what was captured, and is described.
  writeSoundFile(folder.file("a.wav"), SF_FORMAT_WAV);
  auto crashed = record({folder.file("a.wav")}, kReady + "\n" + levelLine("1.5") + "kill -9 $$\n");
  EXPECT_EQ(crashed.status, 1);
  EXPECT_NE(crashed.err.find("signal 9 (Killed); " + folder.file("a.wav") + " holds the audio captured until then"),
            std::string::npos)
      << crashed.err;
  EXPECT_NE(crashed.out.find("Recorded 1.5 s.\n"), std::string::npos) << crashed.out;
  EXPECT_NE(crashed.out.find("Frames:    24000\n"), std::string::npos) << crashed.out;
  // Killed before it was ready: there is no recording to speak of.
  auto early = record({folder.file("b.wav")}, "kill -9 $$\n");
  EXPECT_EQ(early.status, 1);
  EXPECT_NE(early.err.find("signal 9 (Killed) before recording began"), std::string::npos) << early.err;
  EXPECT_EQ(early.out, "");
}

}  // namespace
}  // namespace talvora::client
