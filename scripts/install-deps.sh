#!/usr/bin/env bash
# Installs what the README's two commands need on Debian 12: building and
# starting Kestrix (scripts/run.sh) and building and running every test
# (scripts/test.sh, with the fuzz run and the page tests). Packages already
# present are left alone.
#
#   scripts/install-deps.sh             install what is missing
#   scripts/install-deps.sh --dry-run   print what it would install; change nothing
set -euo pipefail

packages=(
  # the build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-declarative-dev qt6-webengine-dev qt6-webchannel-dev qt6-httpserver-dev qt6-websockets-dev
  juce-modules-source libasound2-dev nlohmann-json3-dev libsamplerate0-dev libfftw3-dev
  # Debian's GoogleTest package configuration names the gmock libraries too
  libgtest-dev libgmock-dev
  # the window's QML at run time
  qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qtwebengine qml6-module-qtwebchannel
  # the page tests' browser
  chromium
  # the Debian package (scripts/package.sh: CPack's libraries from dpkg-shlibdeps, which needs file) and
  # its test; the metrics test's Prometheus text-format parser
  dpkg-dev file lintian desktop-file-utils systemd python3-prometheus-client
  # the window's test on a real X display that goes away
  xvfb
  # the HTTPS test: a certificate of its own, and a client that trusts it
  openssl curl
  # the fuzz run: clang, its sanitizer and libFuzzer runtimes (only recommended
  # by clang, so named here), and llvm-symbolizer for readable crash reports
  clang libclang-rt-14-dev libfuzzer-14-dev llvm-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The page tests run on Node.js and npm. A Node.js installed from elsewhere
# brings its own npm, which Debian's npm would fight: each command is only
# installed from Debian when it is missing.
command -v node > /dev/null || missing+=(nodejs)
command -v npm > /dev/null || missing+=(npm)

if [ "${1:-}" = "--dry-run" ]; then
  echo "${missing[*]}"
  exit 0
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
