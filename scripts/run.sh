#!/usr/bin/env bash
# Starts quorvel2 for `make run`. Without a device the jobs go into a file,
# so a new user can watch them arrive.
set -euo pipefail
binary="$1"
port="$2"
device="$3"
if [ -z "$device" ]; then
  device="$(pwd)/printer-output.bin"
  touch "$device"
  echo "No DEVICE given: print jobs are appended to $device"
  echo "(watch them arrive with: tail -f $device | xxd)"
fi
# The certificate authority and certificates stay beside the jobs too.
exec "$binary" --port "$port" --device "$device" --state-dir "$(pwd)/quorvel2-state"
