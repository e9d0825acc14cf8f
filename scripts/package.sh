#!/usr/bin/env bash
# Builds the Debian package kestrix_<version>_amd64.deb with CPack from the
# optimised build in build/ (what is already built there is used as it is),
# installing what is missing and building what is out of date first.
#
#   scripts/package.sh [--build-dir DIR] [OUTPUT-FOLDER]
#
# The package lands in OUTPUT-FOLDER (default: the current folder); its path is
# the last line printed. Install it with: sudo apt install ./kestrix_<version>_amd64.deb
set -euo pipefail
output=$PWD
cd "$(dirname "$0")/.."
build=build
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) output=$1; shift ;;
  esac
done
mkdir -p "$output"
output=$(cd "$output" && pwd)

scripts/install-deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja > /dev/null
if grep -q '^KESTRIX_SANITIZE:STRING=.' "$build/CMakeCache.txt"; then
  echo "package.sh: $build is built with sanitizers; package an optimised build (the default build/)" >&2
  exit 1
fi
cmake --build "$build" -j2
# Files made with a narrower umask than 022 would be unreadable to the service and the desktop.
umask 022
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
(cd "$build" && cpack -B "$staging" > "$staging/cpack.log") || { cat "$staging/cpack.log" >&2; exit 1; }
package=$(find "$staging" -maxdepth 1 -name 'kestrix_*.deb')
mv "$package" "$output/"
echo "$output/$(basename "$package")"
