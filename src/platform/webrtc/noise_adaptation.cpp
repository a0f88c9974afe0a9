#include "platform/webrtc/noise_adaptation.h"

#include <algorithm>
#include <cmath>

namespace talvora::platform {
namespace {

// Below any microphone's own noise: keeps the logarithms finite on digital silence.
constexpr double kPowerFloor = 1e-12;
// The block power is smoothed over about three blocks before the minimum is taken, so a
// single quiet block between two words does not pass for the noise.
constexpr double kPowerSmoothing = 0.35;
// The speech level follows the speech blocks over about three seconds of speech.
constexpr double kSpeechBlocksRemembered = 300;

double decibels(double power) { return 10 * std::log10(std::max(power, kPowerFloor)); }

}  // namespace

NoiseAdaptation::NoiseAdaptation(const NoiseAdaptationSettings& settings, double blocksPerSecond)
    : settings_(settings),
      blockSeconds_(1 / blocksPerSecond),
      blocksPerSubWindow_(std::max<uint32_t>(
          1, static_cast<uint32_t>(std::lround(settings.noiseWindowSeconds * blocksPerSecond / kSubWindows)))),
      fadeStep_(static_cast<float>(settings.fadeSeconds > 0 ? blockSeconds_ / settings.fadeSeconds : 1)) {}

float NoiseAdaptation::update(const float* samples, uint32_t frames) {
  double sum = 0;
  for (uint32_t i = 0; i < frames; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  const double power = frames ? sum / frames : 0;
  smoothedPower_ = smoothedPower_ < 0 ? power : smoothedPower_ + kPowerSmoothing * (power - smoothedPower_);

  // The floor: the minimum over the finished sub-windows and the current one.
  currentMinimum_ = blocksInSubWindow_ == 0 ? smoothedPower_ : std::min(currentMinimum_, smoothedPower_);
  double floor = currentMinimum_;
  for (int i = 0; i < finishedSubWindows_; ++i) floor = std::min(floor, subWindowMinimum_[i]);
  floorPower_ = floor;
  if (++blocksInSubWindow_ == blocksPerSubWindow_) {
    subWindowMinimum_[nextSubWindow_] = currentMinimum_;
    nextSubWindow_ = (nextSubWindow_ + 1) % kSubWindows;
    finishedSubWindows_ = std::min(finishedSubWindows_ + 1, kSubWindows);
    blocksInSubWindow_ = 0;
  }

  const double blockDb = decibels(power);
  const double floorDb = decibels(floorPower_);
  if (blockDb > floorDb + settings_.speechAboveFloorDb) {
    ++speechBlocks_;
    const double weight = std::max(1.0 / static_cast<double>(speechBlocks_), 1.0 / kSpeechBlocksRemembered);
    speechDb_ = speechBlocks_ == 1 ? blockDb : speechDb_ + weight * (blockDb - speechDb_);
  }

  // A stretch of the noise alone: a steady level, at the floor.
  const double smoothedDb = decibels(smoothedPower_);
  stretchLowDb_ = std::min(stretchLowDb_, smoothedDb);
  stretchHighDb_ = std::max(stretchHighDb_, smoothedDb);
  if (stretchHighDb_ - stretchLowDb_ > settings_.noiseAloneWithinDb) {
    stretchLowDb_ = stretchHighDb_ = smoothedDb;
    aloneFor_ = 0;
  }
  aloneFor_ += blockSeconds_;
  if (aloneFor_ >= settings_.noiseAloneSeconds && smoothedDb <= floorDb + settings_.noiseAloneWithinDb) {
    noiseHeardAlone_ = true;
  }

  seconds_ += blockSeconds_;
  if (seconds_ >= settings_.settleSeconds) {
    const double margin = speechDbfs() - floorDb;
    const bool towardsOther =
        engaged_ ? margin > settings_.releaseAboveDb : noiseHeardAlone_ && margin < settings_.engageBelowDb;
    conditionHeld_ = towardsOther ? conditionHeld_ + blockSeconds_ : 0;
    const double hold = engaged_ ? settings_.releaseAfterSeconds : settings_.engageAfterSeconds;
    if (towardsOther && conditionHeld_ >= hold) {
      engaged_ = !engaged_;
      conditionHeld_ = 0;
    }
  }

  mix_ = engaged_ ? std::min(1.0f, mix_ + fadeStep_) : std::max(0.0f, mix_ - fadeStep_);
  return mix_;
}

double NoiseAdaptation::noiseFloorDbfs() const { return decibels(floorPower_); }

double NoiseAdaptation::speechDbfs() const { return speechBlocks_ ? speechDb_ : settings_.assumedSpeechDbfs; }

}  // namespace talvora::platform
