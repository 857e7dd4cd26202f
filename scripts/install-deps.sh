#!/usr/bin/env bash
# Installs what the named groups need (deps/apt-GROUP.txt, then the scripts
# in deps/GROUP.d/), only what is missing. Usage: install-deps.sh GROUP...
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for group in "$@"; do
  list="deps/apt-$group.txt"
  [ -f "$list" ] || continue
  while read -r package; do
    package="${package%%#*}"
    package="$(echo "$package" | xargs)"
    [ -n "$package" ] || continue
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done < "$list"
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing packages (run as root to install them): ${missing[*]}" >&2
    exit 1
  fi
fi

for group in "$@"; do
  if [ -d "deps/$group.d" ]; then
    for hook in "deps/$group.d"/*.sh; do
      [ -f "$hook" ] || continue
      bash "$hook"
    done
  fi
done
