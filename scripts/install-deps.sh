#!/usr/bin/env bash
# Installs everything Kestrix needs to build, run and test on Debian 12.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-webengine-dev qt6-webchannel-dev qt6-declarative-dev
  qt6-httpserver-dev qt6-websockets-dev
  qml6-module-qtwebengine qml6-module-qtwebchannel qml6-module-qtquick
  qml6-module-qtquick-window qml6-module-qtqml-workerscript
  juce-modules-source libasound2-dev
  nlohmann-json3-dev libsamplerate0-dev libfftw3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth imagemagick fonts-lato chromium
  # scripts/fuzz.sh: clang, its sanitizer and libFuzzer runtimes (only recommended
  # by clang, so named here), and llvm-symbolizer for readable crash reports
  clang libclang-rt-14-dev libfuzzer-14-dev llvm-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
