#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine64: CTest's emulator
# for the Windows build (cmake/mingw-w64.cmake).  The wine prefix is
# $ZEL_WINEPREFIX when set (./build.sh windows makes a fresh one per run),
# else build-windows/wineprefix beside the program's build tree; wine makes
# it on first use.  Wine's own diagnostics are silenced.
set -euo pipefail
wine=${ZEL_WINE:-/usr/lib/wine/wine64}
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ -z "${ZEL_WINEPREFIX:-}" ]; then
    here=$(cd "$(dirname "$0")/.." && pwd)
    ZEL_WINEPREFIX=$here/build-windows/wineprefix
fi
export WINEPREFIX=$ZEL_WINEPREFIX
export WINEDEBUG=-all
# No display: wine must not try to open windows or ask to install Mono/Gecko.
export DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec "$wine" "$@"
