#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's own prefix (quiet, no
# dialogs), for the Windows tests. The prefix is made on first use.
# Environment: Q2_WINEPREFIX (default build-win/wineprefix);
# Q2_WINE_DLL_OVERRIDES, DLL overrides for this program only (such as
# "setupapi=n" to load a stand-in beside the program instead of Wine's own).
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
exec wine "$@"
