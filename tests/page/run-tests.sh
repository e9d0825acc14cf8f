#!/usr/bin/env bash
# The routing page in a real browser, and the Ember+ provider with an Ember+
# consumer: installs playwright-core and emberplus-connection from the lock
# file when one is missing, then runs every *.test.mjs here with Node's runner.
set -euo pipefail
cd "$(dirname "$0")"

if [ ! -f node_modules/playwright-core/package.json ] || [ ! -f node_modules/emberplus-connection/package.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
exec node --test "$@"
