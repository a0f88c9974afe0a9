#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/speech.h"

namespace talvora::platform {

struct PocketsphinxOptions {
  // The installed US English models (Debian's pocketsphinx-en-us).
  std::string acousticModel = "/usr/share/pocketsphinx/model/en-us/en-us";
  std::string languageModel = "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin";
  std::string dictionary = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
  // The user's locale name; read from the environment when the service is made if empty.
  std::string locale;
  // How much audio, in seconds, may wait for the decoder before the task gives up with an
  // error rather than queue without bound.
  double maximumLagSeconds = 5;
  // Called on a task's worker thread before every block of 2048 samples (at 16 kHz) it
  // decodes. Lets tests stand for a machine too slow to keep up, and the benchmark follow
  // the decoder's progress.
  std::function<void()> beforeDecode;
};

// On-device recognition with pocketsphinx and its installed acoustic and language
// models, for the language of the process's locale (US English only). Made on the main
// thread; the service's threads are those of makeWorkerSpeechService.
std::shared_ptr<SpeechService> makePocketsphinxSpeechService(PocketsphinxOptions options = {});

}  // namespace talvora::platform
