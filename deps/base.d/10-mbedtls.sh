#!/usr/bin/env bash
# Mbed TLS for the Linux build, once per machine in the folder
# scripts/linux-deps-dir.sh names (see deps/mbedtls/build.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
exec bash deps/mbedtls/build.sh linux "$(scripts/linux-deps-dir.sh)"
