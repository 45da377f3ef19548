#!/usr/bin/env bash
# The test command: set-up, the Release build (the configuration
# docs/measurements.md measures) and the whole suite on it, then the suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer, then every fuzz target for a bounded time.
# TALO_SANITIZERS="address thread" (default) selects the sanitizer runs; "" skips them.
# TALO_FUZZ_SECONDS (default 120) is the fuzz targets' time in all; 0 skips fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -G Ninja -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build-release
ctest --test-dir build-release --output-on-failure -j"$jobs" --timeout 600

for san in ${TALO_SANITIZERS-address thread}; do
  dir="build-$san"
  cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DTALO_SANITIZE="$san" -DTALO_BUILD_BENCH=OFF >/dev/null
  ninja -C "$dir"
  # The activation cycle test runs fewer cycles here: its time is the 200 ms
  # deactivation wait, not the code under the sanitizer.
  # The servers the recorder tests stop stay away 5 s, not half a minute:
  # these runs look for memory and thread faults, not at the outage's length.
  TALO_CYCLES=30 TALO_STRESS_ROUNDS=150 TALO_OUTAGE_SECONDS=5 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900
done

# libFuzzer with ASan+UBSan, clang only; a finding fails the command.
fuzz_seconds=${TALO_FUZZ_SECONDS-120}
if [ "$fuzz_seconds" != 0 ]; then
  CC=clang CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALO_SANITIZE=address -DTALO_FUZZ=ON -DTALO_BUILD_BENCH=OFF >/dev/null
  ninja -C build-fuzz talo_fuzzers
  tests/fuzz/run.sh build-fuzz "$fuzz_seconds"
fi
echo "all test runs passed"
