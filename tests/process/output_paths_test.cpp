// Output paths a parent may pass that are not a plain new file in a writable folder:
// the ones the system refuses end in one "error" in the system's own words, status 1
// and nothing created; the unusual but valid ones record like any other.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "process/process_support.h"

namespace talvora::testing {
namespace {

constexpr uid_t kNobody = 65534;

// The names in `directory`, as raw bytes.
std::vector<std::string> entriesOf(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// A user other than root, whose permissions the kernel does check. It reaches the
// (anonymous) server through its socket like any client; its home is `home`.
RecorderOptions asNobody(const PulseServer& server, const std::string& output, const std::string& home) {
  RecorderOptions options = recorderOn(server, output);
  options.environment["HOME"] = home;
  options.environment.erase("XDG_RUNTIME_DIR");
  options.environment["XDG_CONFIG_HOME"] = home + "/.config";
  options.uid = kNobody;
  options.gid = kNobody;
  options.workingDirectory = home;
  return options;
}

TEST(OutputPath, RefusedPathsAreOneErrorInTheSystemsWordsAndCreateNothing) {
  PulseServer server({.rate = kRate, .channels = kChannels});
  ScratchDirectory out;
  ScratchDirectory open(0777);  // the other user's home and writable folder

  // A directory that has a sound file's name.
  const std::string directory = out / "take.wav";
  std::filesystem::create_directory(directory);
  // A folder root owns and only root may write: the other user cannot create the file.
  const std::string rootsOwn = out / "roots-own";
  std::filesystem::create_directory(rootsOwn);
  ::chmod(rootsOwn.c_str(), 0755);
  // A folder mounted read-only: no one, root included, can create the file.
  const std::string readOnly = out / "read-only";
  std::filesystem::create_directory(readOnly);
  auto bind = ScratchMount::readOnly(readOnly);
  // One byte over the longest name a directory entry can hold.
  const std::string overlong = out / (std::string(256 - 4, 'n') + ".wav");
  // An extension that is not one and not UTF-8 either: the message quotes it.
  const std::string badExtension = out / "take.w\xff\xfe";

  struct Case {
    std::string name;
    std::string path;
    std::string message;  // empty: checked below
    bool nobody = false;
  };
  const std::vector<Case> cases = {
      {"directory", directory, "Is a directory"},
      {"permission", rootsOwn + "/take.wav", "Permission denied", true},
      {"read-only", readOnly + "/take.wav", "Read-only file system"},
      {"overlong name", overlong, "File name too long"},
      {"non-UTF-8 extension", badExtension, ""},
  };
  std::vector<std::unique_ptr<RecorderProcess>> recorders;
  for (const auto& c : cases) {
    recorders.push_back(std::make_unique<RecorderProcess>(c.nobody ? asNobody(server, c.path, open.path())
                                                                   : recorderOn(server, c.path)));
  }
  // The same other user in a folder it may write to does record: its refusal above is
  // the folder's doing, not a server it cannot reach.
  const std::string allowed = open / "allowed.wav";
  RecorderProcess control(asNobody(server, allowed, open.path()));

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    RecorderProcess& recorder = *recorders[i];
    // Every line must parse as JSON (the helper throws on one that does not), the
    // non-UTF-8 message included.
    recorder.readToEnd(15s);
    EXPECT_EQ(recorder.waitForExit(15s), 1);
    EXPECT_EQ(recorder.standardError(), "");
    const auto errors = recorder.eventsOfKind("error");
    ASSERT_EQ(errors.size(), 1u) << recorder.describeEvents();
    const std::string message = textOf(errors[0], "message");
    if (!cases[i].message.empty()) {
      EXPECT_EQ(message, cases[i].message);
    } else {
      EXPECT_EQ(message.rfind("Unsupported audio file type", 0), 0u) << message;
      // Each invalid byte became U+FFFD.
      EXPECT_NE(message.find("\".w\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos) << message;
    }
    EXPECT_TRUE(recorder.eventsOfKind("ready").empty()) << recorder.describeEvents();
    EXPECT_TRUE(recorder.eventsOfKind("finished").empty()) << recorder.describeEvents();
  }
  // Nothing new anywhere: only the three folders made above.
  auto names = entriesOf(out.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"read-only", "roots-own", "take.wav"}));
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  EXPECT_TRUE(entriesOf(directory).empty());
  EXPECT_TRUE(entriesOf(rootsOwn).empty());
  EXPECT_TRUE(entriesOf(readOnly).empty());

  control.waitForEvent("ready", 15s);
  stopUnlessGone(control);
  expectCleanFinish(control);
  expectPlayable(allowed, kRate);
}

TEST(OutputPath, UnusualButValidPathsRecord) {
  PulseServer server({.rate = kRate, .channels = kChannels});
  ScratchDirectory out;
  // Bytes that are not UTF-8: a file name is bytes, and these are kept as they are.
  const std::string rawName = "take-\xff\xfe\x80.wav";
  // The longest name a directory entry can hold.
  const std::string longestName = std::string(255 - 4, 'l') + ".wav";
  // An older, larger file in the way: replaced, nothing of it left.
  const std::string existing = out / "existing.wav";
  const std::string oldContent(1 << 20, 'Z');
  writeFile(existing, oldContent, 0644);

  const std::vector<std::string> paths = {out / rawName, out / longestName, existing};
  std::vector<std::unique_ptr<RecorderProcess>> recorders;
  for (const auto& path : paths) recorders.push_back(std::make_unique<RecorderProcess>(recorderOn(server, path)));
  for (auto& r : recorders) r->waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(kRate, kChannels, 0.5);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(15s));
  for (const auto& path : paths) EXPECT_TRUE(waitForFileFrames(path, static_cast<int64_t>(fed.frames()), 15s));
  for (auto& r : recorders) stopUnlessGone(*r);

  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(i);
    expectCleanFinish(*recorders[i]);
    const auto info = expectPlayable(paths[i], kRate);
    EXPECT_EQ(framesIn(info), static_cast<int64_t>(fed.frames()));
    expectRecordingFollows(paths[i], fed, voiceProcessingWasOff(recorders[i]->events()));
  }
  const auto names = entriesOf(out.path());
  EXPECT_NE(std::find(names.begin(), names.end(), rawName), names.end()) << "the raw bytes were not kept";
  EXPECT_NE(std::find(names.begin(), names.end(), longestName), names.end());

  // The old file's bytes are gone: the new one is only as long as its own header and
  // samples, and no run of the old filler survives in it.
  std::ifstream in(existing, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_LT(bytes.str().size(), fed.frames() * 4 + 512);
  EXPECT_EQ(bytes.str().find("ZZZZZZZZ"), std::string::npos);
}

}  // namespace
}  // namespace talvora::testing
