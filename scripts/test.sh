#!/usr/bin/env bash
# Everything `make test` runs, in order. Each stage prints what it does; the
# first failing stage ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

stage() { printf '\n==== %s ====\n' "$*"; }

configure_and_build() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DQ2_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

stage "Build and test (RelWithDebInfo)"
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$jobs"

stage "Build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DQ2_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'no-sanitizer'

stage "Threaded tests under ThreadSanitizer"
configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DQ2_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded

for extra in scripts/test.d/*.sh; do
  [ -f "$extra" ] || continue
  stage "$(sed -n 's/^# stage: //p' "$extra" | head -n1)"
  bash "$extra"
done
