#pragma once

#include <memory>

#include "platform/voice_processing.h"
#include "platform/webrtc/noise_adaptation.h"

namespace talvora::platform {

// What the processor does to the microphone, in one place. The defaults are what the
// recorder uses; the benchmark (bench/voice_bench.cpp) sets the others to compare them.
struct WebRtcVoiceSettings {
  // `own`: a second-order high-pass at 90 Hz, ahead of every other stage, so that the
  // echo canceller, the noise measurement and both sides of the suppression crossfade get
  // the same filtered signal. It removes a DC offset, rumble and handling noise, which only
  // cost the recognizer words (nothing of speech is that low). `library`: the library's
  // own filter, inside its suppression stage; only with fixed suppression (it is what the
  // recorder used before, kept so the benchmark compares against exactly that).
  enum class HighPass { off, own, library };
  HighPass highPass = HighPass::own;

  enum class Suppression { off, low, moderate, high, veryHigh, adaptive };
  // The library's noise suppression. `adaptive`: at `adaptiveLevel`, engaged and released
  // by the noise measured (see NoiseAdaptation), crossfading between the suppressed and
  // the unsuppressed signal. The fixed levels are there to compare against.
  Suppression suppression = Suppression::adaptive;
  Suppression adaptiveLevel = Suppression::high;
  NoiseAdaptationSettings adaptation;

  // The library's adaptive digital gain after suppression. Off: it costs the recognizer
  // words in every condition measured (its compression reshapes speech and lifts the
  // noise in pauses), and it lifts an echo as much as the voice. It rides on the
  // suppressed signal, so it cannot be combined with adaptive suppression.
  bool gainControl = false;
};

// Voice processing on WebRTC's audio processing library, in 10 ms blocks of mono audio:
// the high-pass filter, echo cancellation against a far-end reference when asked for, and
// noise suppression as the settings say. The rate must be a whole number of frames per
// 10 ms block between 8 and 192 kHz. The output lags the input by one block less one
// frame, plus the library's own delay (a few milliseconds for each of its stages).
Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(double sampleRate, uint32_t maxFrames,
                                                                 bool echoCancellation,
                                                                 const WebRtcVoiceSettings& settings = {});

}  // namespace talvora::platform
