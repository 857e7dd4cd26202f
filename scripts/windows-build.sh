#!/usr/bin/env bash
# Cross-builds quorvel2.exe for 64-bit Windows (what `make windows` runs):
# build-win/src/quorvel2.exe, statically linked, and beside it the setup
# program quorvel2-<version>-setup.exe (made by makensis). The mingw-w64
# compilers, makensis and the cross-built argtable and Mbed TLS come from
# `scripts/install-deps.sh windows`.
# Usage: windows-build.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-win}"
prefix="$(scripts/windows-deps-dir.sh)/prefix"

if [ ! -f "$prefix/lib/libargtable2.a" ]; then
  bash deps/windows.d/10-argtable2.sh
fi
bash deps/windows.d/30-mbedtls.sh

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQ2_WIN_PREFIX="$prefix" \
  -DQ2_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target quorvel2 setup
echo "Built $build_dir/src/quorvel2.exe and $(cd "$build_dir/src" && ls quorvel2-*-setup.exe)"
