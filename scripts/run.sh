#!/usr/bin/env bash
# Installs what is missing, builds Kestrix and starts it. Without an NDI
# runtime on the machine, a few loopback demo sources start beside it, so a
# first look shows something; they stop when Kestrix does.
#
#   scripts/run.sh                      the window
#   scripts/run.sh --server [options]   kestrix-server, without a window; the
#                                       options go to it (see its --help)
set -euo pipefail
cd "$(dirname "$0")/.."

server=false
if [ "${1:-}" = "--server" ]; then
  server=true
  shift
fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja > /dev/null
if $server; then
  cmake --build build -j2 --target kestrix-server kestrix-testsrc
else
  cmake --build build -j2
fi

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

if $server; then
  build/bin/kestrix-server "$@"
  exit
fi

# No display: render off screen. As root the web engine's sandbox cannot run.
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
build/bin/kestrix
