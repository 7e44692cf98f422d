#!/usr/bin/env bash
# Cross-builds the layers that have a Windows side and runs their tests under Wine, in a Wine
# prefix of its own that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-windows.sh
JOBS=${JOBS:-2}
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tavik-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
WINESERVER=$(dirname "$(readlink -f "$WINE")")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo true)
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$JOBS"
# One Wine server for every test program, and the prefix made before them: its first start takes
# most of a minute, which the tests' own time limits must not pay for.
"$WINESERVER" -p 2>/dev/null || true
"$WINE" wineboot --init >/dev/null 2>&1 || true
ctest --preset windows -j "$JOBS"
