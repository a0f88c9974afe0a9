// Records a voice note with the client library: prints the meter, stops after SECONDS
// (or when the recorder stops by itself), then prints the transcript.
//
//     record OUTPUT SECONDS
//
// The recorder is the talvora-audio installed next to this program or on PATH, or the
// program TALVORA_AUDIO names. Link with talvora_client.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "client/recording.h"
using namespace talvora::client;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT SECONDS\n", argv[0]);
    return 2;
  }
  RecordingOptions options;
  options.output = argv[1];
  options.transcribe = true;
  if (const char* recorder = std::getenv("TALVORA_AUDIO")) options.executable = recorder;
  options.onEvent = [](const Event& event) {  // runs on the client's reader thread
    if (auto* level = std::get_if<Level>(&event)) std::printf("%5.1f s  level %.2f\n", level->elapsedSeconds, level->level);
    if (auto* warning = std::get_if<Warning>(&event)) std::fprintf(stderr, "warning: %s\n", warning->message.c_str());
    if (auto* error = std::get_if<Error>(&event)) std::fprintf(stderr, "error: %s\n", error->message.c_str());
  };
  std::unique_ptr<Recording> recording;
  try {
    recording = std::make_unique<Recording>(options);
  } catch (const std::system_error& failure) {  // talvora-audio cannot be started
    std::fprintf(stderr, "%s (install it, or set TALVORA_AUDIO)\n", failure.what());
    return 1;
  }

  auto seconds = std::chrono::duration<double>(std::atof(argv[2]));
  auto result = recording->waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(seconds));
  if (!result) {
    recording->requestStop();  // the recorder closes the file at once; "finished" follows a second later
    result = recording->wait();
  }
  if (!result->succeeded()) {
    std::fprintf(stderr, "talvora-audio failed (exit status %d)\n", result->exitStatus);
    return 1;
  }
  std::printf("Recorded %.1f s to %s\nTranscript: %s\n", result->durationSeconds, argv[1], result->transcript.c_str());
}
