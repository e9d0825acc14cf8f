#!/usr/bin/env bash
# Installs what is missing, builds Kestrix and runs every test: once in an
# optimised build, then again under AddressSanitizer + UndefinedBehaviorSanitizer,
# the concurrency tests under ThreadSanitizer, and each fuzz target for a while.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" > /dev/null
  cmake --build "$dir" -j2
}

configure_and_build build
ctest --test-dir build --output-on-failure

# The benchmarks are built and run in the first build only.
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=address,undefined -DKESTRIX_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure

# The concurrency tests once more under ThreadSanitizer.
concurrency_tests=(LoopbackRuntimeTest NoAllocationTest AudioControllerStressTest VirtualAudioDeviceTest MonitorOutputTest DelayLineTest
  RoutingPersistenceTest CaptureDeadlineTest)
cmake -S . -B build-tsan -G Ninja -DKESTRIX_SANITIZE=thread > /dev/null
cmake --build build-tsan -j2 --target "${concurrency_tests[@]}"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -R "^($(IFS='|'; echo "${concurrency_tests[*]%Test}"))\."

# Each parser of outside input under libFuzzer for a bounded time.
scripts/fuzz.sh 20
