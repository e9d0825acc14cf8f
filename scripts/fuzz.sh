#!/usr/bin/env bash
# Fuzzes every target of tests/fuzz for a bounded time:
#
#   scripts/fuzz.sh [seconds-per-target]      (default 60)
#
# Builds the targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, runs each on a copy of its seed
# corpus (tests/fuzz/corpus/<target>), prints per target the inputs it ran and
# the coverage it reached, and fails when any target crashes; the input that
# did it is kept in build-fuzz/fuzz-runs/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2
  exit 2
fi

scripts/install-deps.sh

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_FUZZ=ON -DKESTRIX_SANITIZE=address,undefined > /dev/null

targets=()
for corpus in tests/fuzz/corpus/*/; do
  targets+=("$(basename "$corpus")")
done
cmake --build "$build" -j2 --target "${targets[@]}"

runs=$build/fuzz-runs
rm -rf "$runs"
mkdir -p "$runs/crashes"
failed=()
for target in "${targets[@]}"; do
  # libFuzzer adds what it finds to the corpus it is given: a copy keeps the committed seeds as they are.
  cp -r "tests/fuzz/corpus/$target" "$runs/$target"
  log=$runs/$target.log
  started=$(date +%s)
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/bin/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$runs/crashes/$target-" "$runs/$target" > "$log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$log"
  fi
  # The last status line, e.g. "#1048576 DONE cov: 291 ft: 1102 corp: 64/5230b ...".
  status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf '%-28s %12s executions in %4d s   cov: %-6s ft: %-6s corpus: %s\n' "$target" "${executions:-?}" \
    $(($(date +%s) - started)) "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<< "$status")" \
    "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<< "$status")" "$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<< "$status")"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "crashed: ${failed[*]} (inputs in $runs/crashes, logs in $runs)" >&2
  exit 1
fi
