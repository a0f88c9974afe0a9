#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Idempotent: when everything is already present it does nothing and touches no network.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config make git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  libpulse-dev pulseaudio pulseaudio-utils
  pipewire pipewire-pulse pipewire-bin wireplumber dbus-daemon
  libwebrtc-audio-processing-dev
  libsndfile1-dev sndfile-programs
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  libsoxr-dev
  sox libsox-fmt-pulse libsox-fmt-mp3 opus-tools flite
  util-linux procps psmisc time faketime
  dpkg-dev groff-base
  python3 nodejs
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
