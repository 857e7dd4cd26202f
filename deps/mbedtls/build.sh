#!/usr/bin/env bash
# Mbed TLS 3.6 (LTS) for the Linux and the Windows builds, from Debian 13's
# own source package: Debian 12 packages only the 2.28 series, which is past
# its end of life. The source is fetched through a private APT setup (its own
# sources list with trixie's source index on the mirror the machine already
# uses, its own state and cache), leaving the machine's APT configuration
# alone; it is pinned by version and by the checksums of its files. The
# library is built with CMake and the stock configuration plus
# deps/mbedtls/config-tweaks.h (appended to the installed configuration
# header, so programs need no settings of their own), and with one patch of
# ours: X25519 through the formally verified Curve25519 code the source
# package carries (Debian's build leaves that folder out).
# Usage: build.sh linux|windows DEPS_DIR
# Result: DEPS_DIR/prefix/{include/mbedtls,lib/libmbed*.a,lib/cmake/MbedTLS}.
set -euo pipefail
cd "$(dirname "$0")/../.."
. deps/source-package.sh
target="$1" deps_dir="$2"

version=3.6.6-0.1~deb13u1
dsc_sha256=eb9ed1adbbddcb0d00276fac6fcee0056c64ce01481c2522a16dca75792eb5eb
orig_sha256=8fb65fae8dcae5840f793c0a334860a411f884cc537ea290ce1c52bb64ca007a
debian_sha256=210466c522eeebc85cf2f76bd5aef935b4ebac465559cc0a84f9e73a8ed6601c

mkdir -p "$deps_dir"
# Clones building at the same time build the shared folder once.
exec 9>"$deps_dir/.lock"
flock 9
prefix="$deps_dir/prefix"
if [ -f "$prefix/lib/libmbedtls.a" ] && [ -f "$prefix/lib/cmake/MbedTLS/MbedTLSConfig.cmake" ]; then
  exit 0
fi

apt_dir="$deps_dir/apt-trixie"
private_apt_setup "$apt_dir" trixie "Mbed TLS"
dsc="$apt_dir/src/mbedtls_${version}.dsc"
orig="$apt_dir/src/mbedtls_${version%%-*}.orig.tar.bz2"
debian="$apt_dir/src/mbedtls_${version}.debian.tar.xz"
checksums_match() {
  [ -f "$dsc" ] && [ -f "$orig" ] && [ -f "$debian" ] &&
    printf '%s  %s\n%s  %s\n%s  %s\n' "$dsc_sha256" "$dsc" "$orig_sha256" "$orig" "$debian_sha256" "$debian" |
      sha256sum --check --status
}
if ! checksums_match; then
  rm -f "$apt_dir"/src/mbedtls_*
  apt-get -qq "${apt_private[@]}" update
  (cd "$apt_dir/src" && apt-get -qq "${apt_private[@]}" source --download-only "mbedtls=$version")
  if ! checksums_match; then
    echo "Mbed TLS: the source package mbedtls $version does not have the expected checksums" >&2
    exit 1
  fi
fi

source_dir="$deps_dir/mbedtls-source"
build_dir="$deps_dir/mbedtls-build"
rm -rf "$source_dir" "$build_dir"
# Debian's patches apply (a fix for GCC 14, the bundled third-party code left out).
dpkg-source --no-check -x "$dsc" "$source_dir" >/dev/null
# X25519 through the bundled HACL* Curve25519 code (see the patch).
patch -s -d "$source_dir" -p1 <deps/mbedtls/x25519-hacl.patch
cat deps/mbedtls/config-tweaks.h >> "$source_dir/include/mbedtls/mbedtls_config.h"
cmake_target=()
if [ "$target" = windows ]; then
  cp deps/mbedtls/threading_alt.h "$source_dir/include/threading_alt.h"
  cmake_target=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQ2_WIN_PREFIX="$prefix")
fi
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${cmake_target[@]}" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
  -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DMBEDTLS_FATAL_WARNINGS=OFF >/dev/null
cmake --build "$build_dir" -j 2 >/dev/null
cmake --install "$build_dir" >/dev/null
if [ "$target" = windows ]; then
  cp deps/mbedtls/threading_alt.h "$prefix/include/threading_alt.h"
fi
echo "Mbed TLS ${version%%-*} for $target built in $prefix"
