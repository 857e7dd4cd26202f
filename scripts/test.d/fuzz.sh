# stage: Fuzz the request parser and URL decoder
# Builds the libFuzzer entry points with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, then runs each one for a bounded
# time from a scratch copy of its committed seed corpus. Any crash, leak or
# sanitizer report fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${Q2_FUZZ_SECONDS:-30}"
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQ2_FUZZ=ON -DQ2_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j 2 --target request_fuzzer urldecode_fuzzer

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The two fuzzers run side by side, one per core.
run_fuzzer() {
  local fuzzer="$1" corpus="$work/$1-corpus" max_len=4096
  # Header pool overflow needs heads beyond 8 KiB.
  [ "$fuzzer" = request ] && max_len=16384
  mkdir -p "$corpus" "$work/$fuzzer-artifacts"
  cp tests/fuzz/corpus/"$fuzzer"/* "$corpus"/
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/${fuzzer}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$work/$fuzzer-artifacts/" "$corpus" \
    >"$work/$fuzzer.log" 2>&1
}

fuzzers="request urldecode"
echo "Fuzzing $fuzzers for ${seconds}s each, side by side"
pids=()
for fuzzer in $fuzzers; do
  run_fuzzer "$fuzzer" &
  pids+=($!)
done

status=0
index=0
for fuzzer in $fuzzers; do
  failed=0
  wait "${pids[$index]}" || failed=1
  index=$((index + 1))
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant broken' "$work/$fuzzer.log"; then
    failed=1
  fi
  if [ "$failed" -ne 0 ]; then
    status=1
    echo "The ${fuzzer} fuzzer found a fault:"
    tail -n 60 "$work/$fuzzer.log"
    for artifact in "$work/$fuzzer-artifacts"/*; do
      [ -f "$artifact" ] || continue
      echo "Reproducer ($artifact), as hex:"
      od -An -tx1 "$artifact" | head -n 40
    done
    continue
  fi
  echo "${fuzzer}:"
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$work/$fuzzer.log" || true
done
exit "$status"
