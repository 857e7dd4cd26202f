#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's own prefix (quiet, no
# dialogs), for the Windows tests. The prefix is made on first use.
# Environment: Q2_WINEPREFIX (default build-win/wineprefix);
# Q2_WINE_DLL_OVERRIDES, DLL overrides for this program only (such as
# "setupapi=n" to load a stand-in beside the program instead of Wine's own).
# With --retry-silent-start first (how the test programs are run), a start
# that fails without printing a byte is tried once more: under load Wine now
# and then fails to start a program at all. Its output then comes when it
# has ended. Without it the program replaces this script, so that a signal
# to this process reaches the program itself.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${Q2_WINEPREFIX:-$root/build-win/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 300 wineboot -i >/dev/null 2>&1
  # A crashing test program must end, not wait at a crash dialog.
  timeout 120 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
fi
export WINEDLLOVERRIDES="mscoree,mshtml=${Q2_WINE_DLL_OVERRIDES:+;$Q2_WINE_DLL_OVERRIDES}"
if [ "${1:-}" != --retry-silent-start ]; then
  exec wine "$@"
fi
shift
out="$(mktemp)"
err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  status=0
  wine "$@" >"$out" 2>"$err" || status=$?
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$attempt" -eq 2 ]; then
    break
  fi
  echo "wine-run.sh: $1 failed with status $status without any output; starting it once more" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
