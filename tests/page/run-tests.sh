#!/usr/bin/env bash
# The routing page in a real browser: installs playwright-core from the lock
# file when it is missing, then runs every *.test.mjs here with Node's runner.
set -euo pipefail
cd "$(dirname "$0")"

if [ ! -f node_modules/playwright-core/package.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
exec node --test "$@"
