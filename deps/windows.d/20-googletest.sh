#!/usr/bin/env bash
# GoogleTest for the Windows tests, cross-built from Debian's googletest
# sources with the mingw-w64 toolchain into <deps>/prefix (the folder
# scripts/windows-deps-dir.sh names). The win32
# threading variant of the compiler has no std::mutex, so GoogleTest is built
# (and the tests are compiled) without its own thread safety
# (GTEST_IS_THREADSAFE=0, here and in the test build) and without death
# tests, which need it on Windows: a copy of the sources is built, with
# MinGW taken off the list of systems that have death tests.
set -euo pipefail
cd "$(dirname "$0")/../.."

deps_dir="$(scripts/windows-deps-dir.sh)"
# Clones building at the same time build the shared folder once.
mkdir -p "$deps_dir"
exec 9>"$deps_dir/.lock"
flock 9
prefix="$deps_dir/prefix"
if [ -f "$prefix/lib/libgtest.a" ] && [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  exit 0
fi
source_dir="$deps_dir/googletest-source"
build_dir="$deps_dir/googletest-build"
rm -rf "$source_dir" "$build_dir"
cp -r /usr/src/googletest "$source_dir"
port_header="$source_dir/googletest/include/gtest/internal/gtest-port.h"
sed -i 's/(GTEST_OS_WINDOWS_DESKTOP \&\& _MSC_VER) || GTEST_OS_WINDOWS_MINGW ||/(GTEST_OS_WINDOWS_DESKTOP \&\& _MSC_VER) ||/' "$port_header"
if grep -q "GTEST_OS_WINDOWS_MINGW ||  " "$port_header"; then
  echo "GoogleTest for Windows: could not switch off death tests" >&2
  exit 1
fi
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQ2_WIN_PREFIX="$prefix" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_CXX_FLAGS=-DGTEST_IS_THREADSAFE=0 -Dgtest_disable_pthreads=ON -DBUILD_GMOCK=ON >/dev/null
cmake --build "$build_dir" -j 2 >/dev/null
cmake --install "$build_dir" >/dev/null
echo "GoogleTest for Windows built in $prefix"
