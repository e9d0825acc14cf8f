#!/usr/bin/env bash
# Installs what is missing, builds Kestrix and starts it. Without an NDI
# runtime on the machine, a few loopback demo sources start beside it, so a
# first look shows something; they stop when Kestrix does.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja > /dev/null
cmake --build build -j2

have_ndi_runtime() {
  [ -n "${KESTRIX_NDI_RUNTIME:-}" ] || [ -n "${NDI_RUNTIME_DIR_V6:-}" ] || [ -n "${NDI_RUNTIME_DIR_V5:-}" ] ||
    ldconfig -p 2>/dev/null | grep -q -E 'libndi(_advanced)?\.so\.[56]'
}

demo=""
if ! have_ndi_runtime; then
  build/bin/kestrix-testsrc --source "Demo Tones:4" --source "Demo Stereo 44k:2:44100" \
    --source "Demo Camera:2" --video 640x360@30000/1001 > /dev/null &
  demo=$!
  trap '[ -n "$demo" ] && kill "$demo" 2>/dev/null || true' EXIT
fi

# No display: render off screen. As root the web engine's sandbox cannot run.
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
build/bin/kestrix
