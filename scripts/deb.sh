#!/usr/bin/env bash
# Builds the Debian package (what `make deb` runs) from a copy of this tree
# in build-deb, so the package tools' scratch files stay out of the sources,
# and copies quorvel2_<version>_<arch>.deb into OUT_DIR (default: here).
# Usage: deb.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out_dir="$(realpath "${1:-.}")"

version="$(sed -n 's/^project(quorvel2 VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)"
changelog_version="$(dpkg-parsechangelog -S Version)"
if [ "$version" != "$changelog_version" ]; then
  echo "CMakeLists.txt says version $version but debian/changelog says $changelog_version;" \
    "add a debian/changelog entry for $version" >&2
  exit 1
fi

# The copy builds against the Mbed TLS this tree built.
export Q2_LINUX_DEPS_DIR="$(scripts/linux-deps-dir.sh)"

work=build-deb
tree="$work/quorvel2-$version"
rm -rf "$work"
mkdir -p "$tree"
# The files git knows of (committed or not, but not ignored), as they are now.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [ -e "$file" ]; then printf '%s\0' "$file"; fi # deleted but not yet committed
    done | tar --null -T - -cf - | tar -xf - -C "$tree"
else
  tar --exclude='./build' --exclude='./build-*' --exclude='./node_modules' -cf - . | tar -xf - -C "$tree"
fi

(cd "$tree" && dpkg-buildpackage --build=binary --no-sign -J2 >../build.log 2>&1) || {
  tail -n 40 "$work/build.log"
  echo "The package build failed; the whole log is in $work/build.log" >&2
  exit 1
}
arch="$(dpkg-architecture -qDEB_HOST_ARCH)"
deb="quorvel2_${version}_${arch}.deb"
cp "$work/$deb" "$out_dir/"
echo "Built $out_dir/$deb"
