#!/usr/bin/env bash
# The Debian package as scripts/package.sh makes it from an existing build:
# its name and control fields, every file it holds, the desktop entry, the
# systemd unit, lintian's verdict, and the installed layout at work (the tools
# find the loopback runtime in the package's own library folder).
#
#   tests/scripts/package-check.sh BUILD-DIR VERSION
set -euo pipefail
build=$1 version=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
expect_equal() { # expect_equal WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected
$2
got
$3"
}

package=$("$repo/scripts/package.sh" --build-dir "$build" "$work" | tail -n 1)
expect_equal "package file" "$work/kestrix_${version}_amd64.deb" "$package"
[ -f "$package" ] || { echo "no package made" >&2; exit 1; }

field() { dpkg-deb -f "$package" "$1"; }
expect_equal "Package" kestrix "$(field Package)"
expect_equal "Version" "$version" "$(field Version)"
expect_equal "Architecture" amd64 "$(field Architecture)"
# Computed from the binaries: Qt, JUCE's sound output, the resampler of the loopback runtime, the C++ library;
# named: what makes the service's user and what the window loads at run time.
depends=$(field Depends)
for wanted in 'libqt6core6 (>= ' 'libqt6webenginequick6 (>= ' 'libqt6httpserver6 (>= ' 'libasound2 (>= ' \
  'libsamplerate0 (>= ' 'libfftw3-single3 (>= ' 'libstdc++6 (>= ' 'adduser' 'qml6-module-qtwebengine'; do
  [[ ", $depends" == *", $wanted"* ]] || fail "Depends lacks '$wanted': $depends"
done
# Whole listings first: under pipefail, a grep -q that stops reading fails the pipe that feeds it.
control=$(dpkg-deb --ctrl-tarfile "$package" | tar -tv)
for script in postinst prerm postrm; do
  grep -q -- "-rwxr-xr-x root/root .* \./$script$" <<< "$control" || fail "no executable maintainer script $script"
done

expect_equal "contents" "/usr/bin/kestrix
/usr/bin/kestrix-probe
/usr/bin/kestrix-server
/usr/bin/kestrix-testsrc
/usr/lib/kestrix/libkestrix-ndi-loopback.so
/usr/lib/systemd/system/kestrix-server.service
/usr/share/applications/kestrix.desktop
/usr/share/doc/kestrix/README.md
/usr/share/doc/kestrix/changelog.gz
/usr/share/doc/kestrix/copyright
/usr/share/icons/hicolor/256x256/apps/kestrix.png" \
  "$(dpkg-deb -c "$package" | grep -v '^d' | awk '{print $6}' | sed 's|^\.||' | sort)"
owners=$(dpkg-deb -c "$package" | awk '{print $2}' | sort -u)
expect_equal "owners" "root/root" "$owners"

root=$work/root
dpkg-deb -x "$package" "$root"
for program in kestrix kestrix-server kestrix-testsrc kestrix-probe; do
  [[ $(file "$root/usr/bin/$program") == *", stripped"* ]] || fail "$program is not stripped"
done
out=$(desktop-file-validate "$root/usr/share/applications/kestrix.desktop" 2>&1) || fail "desktop-file-validate: $out"
expect_equal "desktop-file-validate output" "" "$out"
# The unit against the package's own files, beside the system's units it names.
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/"
out=$(systemd-analyze verify --root="$root" kestrix-server.service 2>&1) || fail "systemd-analyze verify: $out"
expect_equal "systemd-analyze verify output" "" "$out"

lintian=$(lintian --allow-root "$package" 2>&1) || true
echo "$lintian"
if grep -q '^E:' <<< "$lintian"; then fail "lintian reports errors"; fi

# Installed, a tool finds the loopback runtime in the package's library folder, without being told.
mkdir -m 0700 "$work/loopback"
log=$(env -u KESTRIX_NDI_RUNTIME -u NDI_RUNTIME_DIR_V6 -u NDI_RUNTIME_DIR_V5 KESTRIX_LOOPBACK_DIR="$work/loopback" \
  "$root/usr/bin/kestrix-probe" --list --wait 0 2>&1) || true
grep -q "NDI runtime loaded: $root/usr/lib/kestrix/libkestrix-ndi-loopback.so" <<< "$log" ||
  fail "the installed probe did not load the packaged loopback runtime: $log"

[ $failures -eq 0 ] && echo "package $(basename "$package"): name, fields, contents, desktop entry, unit, lintian and layout as expected"
exit $failures
