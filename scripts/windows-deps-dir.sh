#!/usr/bin/env bash
# Prints the folder that holds the libraries cross-built for Windows
# (argtable, GoogleTest, Mbed TLS; its prefix/ is what the Windows builds search).
# They are built once per machine, like an installed package, in a folder
# named after the recipes that build them, so a changed recipe builds them
# again and every clone of the project shares them. Q2_WIN_DEPS_DIR chooses
# another folder; without root the default is the build folder's own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -n "${Q2_WIN_DEPS_DIR:-}" ]; then
  echo "$Q2_WIN_DEPS_DIR"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "$root/build-win/deps"
  exit 0
fi
recipes="$(cd "$root" && cat deps/apt-windows.txt deps/windows.d/*.sh deps/source-package.sh deps/mbedtls/* cmake/mingw-w64.cmake | sha256sum | cut -c1-16)"
echo "/var/cache/quorvel2-build/windows-deps-$recipes"
