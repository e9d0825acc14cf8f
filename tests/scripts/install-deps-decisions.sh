#!/usr/bin/env bash
# What scripts/install-deps.sh would install when commands or packages are
# missing, from its --dry-run, on a PATH of stand-ins: this machine is not touched.
set -euo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for tool in bash grep id; do ln -s "$(command -v $tool)" "$bin/$tool"; done
# dpkg-query reports every package installed but those named in $ABSENT.
cat > "$bin/dpkg-query" <<'STUB'
#!/bin/bash
for name in $ABSENT; do [ "$name" = "${!#}" ] && exit 1; done
printf 'install ok installed'
STUB
chmod +x "$bin/dpkg-query"
stub() { printf '#!/bin/sh\n' > "$bin/$1" && chmod +x "$bin/$1"; }

failures=0
expect() { # expect "<what it should install>" <absent packages> <commands present>...
  local want=$1 absent=$2; shift 2
  rm -f "$bin/node" "$bin/npm"
  for command in "$@"; do stub "$command"; done
  local got
  got=$(ABSENT=$absent PATH=$bin "$bin/bash" "$script" --dry-run)
  if [ "$got" != "$want" ]; then
    echo "absent packages '$absent', commands '$*': would install '$got', expected '$want'" >&2
    failures=$((failures + 1))
  fi
}

expect "" "" node npm
expect "nodejs npm" ""
expect "npm" "" node # a Node.js without npm gets Debian's npm
expect "" "nodejs npm" node npm # a Node.js from elsewhere, with its own npm, is left alone
expect "qt6-websockets-dev chromium" "chromium qt6-websockets-dev" node npm
expect "qml6-module-qtwebengine nodejs npm" "qml6-module-qtwebengine"
[ $failures -eq 0 ] && echo "install-deps decisions: 6 cases as expected"
exit $failures
