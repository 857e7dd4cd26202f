#!/usr/bin/env bash
# Everything `make bench` runs: builds with the benchmarks, then runs each
# bench/*/run.sh, which prints its rows of the comparison table.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQ2_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)"
for runner in bench/*/run.sh; do
  [ -f "$runner" ] || continue
  bash "$runner" build-bench
done
