#!/usr/bin/env bash
# Prints the folder that holds the libraries built from source for the Linux
# builds (Mbed TLS; its prefix/ is what CMake searches). Like the Windows
# ones (scripts/windows-deps-dir.sh) they are built once per machine in a
# folder named after the recipes that build them, so a changed recipe builds
# them again and every clone of the project shares them. Q2_LINUX_DEPS_DIR
# chooses another folder; without root the default is the build folder's own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -n "${Q2_LINUX_DEPS_DIR:-}" ]; then
  echo "$Q2_LINUX_DEPS_DIR"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "$root/build-linux-deps"
  exit 0
fi
recipes="$(cd "$root" && cat deps/base.d/*.sh deps/source-package.sh deps/mbedtls/* | sha256sum | cut -c1-16)"
echo "/var/cache/quorvel2-build/linux-deps-$recipes"
