#!/usr/bin/env bash
# argtable for the Windows build: Debian ships it only for Linux, so build
# the few files the program uses from Debian's own source package with the
# mingw-w64 compiler. The source is fetched through a private APT setup
# (its own sources list with the source index, its own state and cache
# under the deps folder), leaving the machine's APT configuration alone.
# Result: <deps>/prefix/{include/argtable2.h,lib/libargtable2.a}, <deps> as
# scripts/windows-deps-dir.sh names it.
set -euo pipefail
cd "$(dirname "$0")/../.."
. deps/source-package.sh

deps_dir="$(scripts/windows-deps-dir.sh)"
# Clones building at the same time build the shared folder once.
mkdir -p "$deps_dir"
exec 9>"$deps_dir/.lock"
flock 9
prefix="$deps_dir/prefix"
if [ -f "$prefix/lib/libargtable2.a" ] && [ -f "$prefix/include/argtable2.h" ]; then
  exit 0
fi

apt_dir="$deps_dir/apt"
private_apt_setup "$apt_dir" bookworm "argtable for Windows"
apt-get -qq "${apt_private[@]}" update
# apt checks every file it keeps against the signed index. The mirror may
# lack the small Debian packaging tarball; the upstream tarball holds all of
# the library's sources, so it is enough on its own.
(cd "$apt_dir/src" && apt-get -qq "${apt_private[@]}" source --download-only argtable2) ||
  echo "argtable for Windows: not every file of the source package could be fetched; using the upstream tarball" >&2

source_dir="$deps_dir/argtable2-source"
rm -rf "$source_dir"
dsc="$(ls "$apt_dir"/src/argtable2_*.dsc 2>/dev/null | head -n1 || true)"
orig="$(ls "$apt_dir"/src/argtable2_*.orig.tar.* 2>/dev/null | head -n1 || true)"
if [ -n "$dsc" ] && ls "$apt_dir"/src/argtable2_*.debian.tar.* >/dev/null 2>&1; then
  dpkg-source --no-check -x "$dsc" "$source_dir" >/dev/null
elif [ -n "$orig" ]; then
  mkdir -p "$source_dir"
  tar -xf "$orig" -C "$source_dir" --strip-components=1
else
  echo "argtable for Windows: the source package could not be fetched" >&2
  exit 1
fi

# Only what the command line uses: literals, integers, strings, the end
# marker, the table functions, and the bundled getopt_long (so that the
# parsing is the same as upstream's own Windows build).
build_dir="$deps_dir/argtable2-build"
rm -rf "$build_dir"
mkdir -p "$build_dir" "$prefix/include" "$prefix/lib"
cp "$source_dir"/src/{argtable2.h,argtable2.c,arg_end.c,arg_int.c,arg_lit.c,arg_str.c,getopt.h,getopt.c,getopt1.c} "$build_dir"/
# On mingw the C library defines EOVERFLOW as a macro, which breaks the
# enumerator of the same name in arg_int.c.
sed -i 's/\bEOVERFLOW\b/ARG_INT_EOVERFLOW/g' "$build_dir/arg_int.c"

cc=x86_64-w64-mingw32-gcc
objects=()
for source in argtable2.c arg_end.c arg_int.c arg_lit.c arg_str.c getopt.c getopt1.c; do
  object="$build_dir/${source%.c}.o"
  "$cc" -O2 -w -DSTDC_HEADERS=1 -DHAVE_STDLIB_H=1 -DHAVE_STRING_H=1 -DHAVE_STRINGS_H=1 \
    -I "$build_dir" -c "$build_dir/$source" -o "$object"
  objects+=("$object")
done
rm -f "$prefix/lib/libargtable2.a"
x86_64-w64-mingw32-ar rcs "$prefix/lib/libargtable2.a" "${objects[@]}"
cp "$build_dir/argtable2.h" "$prefix/include/argtable2.h"
echo "argtable for Windows built in $prefix"
