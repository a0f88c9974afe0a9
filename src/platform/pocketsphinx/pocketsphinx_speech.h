#pragma once

#include <memory>

#include "platform/speech.h"

namespace talvora::platform {

// On-device recognition with pocketsphinx and its installed acoustic and language
// models, for the language of the process's locale.
std::shared_ptr<SpeechService> makePocketsphinxSpeechService();

}  // namespace talvora::platform
