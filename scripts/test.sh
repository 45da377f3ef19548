#!/usr/bin/env bash
# The test command: set-up, build, the whole suite, then the suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer and ThreadSanitizer.
# TALO_SANITIZERS="address thread" (default) selects the sanitizer runs; "" skips them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

for san in ${TALO_SANITIZERS-address thread}; do
  dir="build-$san"
  cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DTALO_SANITIZE="$san" -DTALO_BUILD_BENCH=OFF >/dev/null
  ninja -C "$dir"
  # The activation cycle test runs fewer cycles here: its time is the 200 ms
  # deactivation wait, not the code under the sanitizer.
  TALO_CYCLES=30 TALO_STRESS_ROUNDS=150 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900
done
echo "all test runs passed"
