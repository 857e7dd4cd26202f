#!/usr/bin/env bash
# Builds examples/fileserver as a project of its own (it sees only the
# module's public header and library target), starts it on a loopback port
# with a scratch folder and fetches a file and a missing one from it.
# Usage: example_fileserver_test.sh SOURCE_DIR BUILD_DIR CXX_COMPILER
set -euo pipefail
source_dir="$1" build_dir="$2" compiler="$3"

cmake -S "$source_dir/examples/fileserver" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$build_dir"

work="$(mktemp -d)"
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/root"
printf 'served whole\n' >"$work/root/page.txt"

# A port someone else holds makes the program end at once; take the next.
port=
for try in $(seq 1 20); do
  candidate=$(( 20000 + (RANDOM % 40000) ))
  "$build_dir/fileserver" "$work/root" "$candidate" >"$work/out" 2>&1 &
  pid=$!
  for wait in $(seq 1 100); do
    if grep -q "Listening for connections on 127.0.0.1:$candidate" "$work/out"; then
      port=$candidate
      break 2
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
done
[ -n "$port" ] || { echo "the example server did not start:"; cat "$work/out"; exit 1; }

body=$(curl -sS --max-time 10 "http://127.0.0.1:$port/page.txt")
[ "$body" = "served whole" ] || { echo "page.txt came back as '$body'"; exit 1; }
status=$(curl -sS --max-time 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/absent.txt")
[ "$status" = 404 ] || { echo "absent.txt answered $status"; exit 1; }
echo "the example file server served page.txt and answered 404 for a missing file"
