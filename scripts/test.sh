#!/usr/bin/env bash
# Everything `make test` runs, in order. Each stage prints what it does and
# how long it took; the first failing stage ends the run with a non-zero
# status. A summary of the stage times closes the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_started=$(date +%s)
times=()

# stage NAME COMMAND...: runs one stage and records its wall time.
stage() {
  local name="$1"; shift
  printf '\n==== %s ====\n' "$name"
  local started=$(date +%s)
  "$@"
  local took=$(( $(date +%s) - started ))
  printf '==== %s: %d s\n' "$name" "$took"
  times+=("$(printf '%5d s  %s' "$took" "$name")")
}

configure() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DQ2_BUILD_TESTS=ON "$@" >/dev/null
}

format_check() {
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
}

# The stress runs (40 s, and 20 s with every client on one address) happen
# once, under the sanitizers (below): their checks of answers and device
# output are the same in both builds, and only there do they also catch
# memory and undefined-behaviour faults under load.
plain() {
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs" -LE stress
}

sanitized() {
  configure build-asan -DCMAKE_BUILD_TYPE=Debug -DQ2_SANITIZE=address,undefined
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'no-sanitizer'
}

# Only the programs behind the `threaded` label are built here.
threaded() {
  configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DQ2_SANITIZE=thread
  cmake --build build-tsan -j "$jobs" --target threaded_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded
}

stage "Format check (clang-format)" format_check
stage "Build and test (RelWithDebInfo)" plain
stage "Build and test under AddressSanitizer and UndefinedBehaviorSanitizer, with the stress run" sanitized
stage "Threaded tests under ThreadSanitizer" threaded

for extra in scripts/test.d/*.sh; do
  [ -f "$extra" ] || continue
  stage "$(sed -n 's/^# stage: //p' "$extra" | head -n1)" bash "$extra"
done

printf '\n==== Stage times\n'
printf '%s\n' "${times[@]}"
printf '%5d s  total\n' "$(( $(date +%s) - run_started ))"
