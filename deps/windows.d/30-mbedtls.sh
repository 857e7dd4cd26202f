#!/usr/bin/env bash
# Mbed TLS for the Windows build, cross-built with the mingw-w64 compiler
# into the folder scripts/windows-deps-dir.sh names (see deps/mbedtls/build.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
exec bash deps/mbedtls/build.sh windows "$(scripts/windows-deps-dir.sh)"
