#!/usr/bin/env bash
# Sourced by the recipes that build a library from Debian's own source
# package: a private APT setup for one suite's source index on the mirror the
# machine already uses (its own sources list, state and cache under the given
# folder), leaving the machine's APT configuration alone.
# private_apt_setup APT_DIR SUITE WHAT: makes the folders and the sources
# list, and sets apt_private to the options that make apt-get use them; WHAT
# names the library in the error message.
private_apt_setup() {
  local apt_dir="$1" suite="$2" what="$3" mirror="" file
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$apt_dir/src"
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    mirror="$(awk '/^URIs:/ && !/security/ {print $2; exit}' "$file")"
    [ -n "$mirror" ] && break
  done
  if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror="$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) {print $i; exit}}' /etc/apt/sources.list)"
  fi
  if [ -z "$mirror" ]; then
    echo "$what: no Debian mirror found in the APT sources" >&2
    exit 1
  fi
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" > "$apt_dir/sources.list"
  apt_private=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "APT::Sandbox::User=root"
  )
}
