#!/usr/bin/env bash
# Demonstration run: builds a scratch system root and shows the pieces that
# exist working together.  Usage: tools/demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
export QVIS_ROOT="$top/scratch/root"

say() { printf '\n== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "Scratch system root: $QVIS_ROOT"
rm -rf "$QVIS_ROOT"
mkdir -p "$QVIS_ROOT"

qvreg="$build/tools/qvreg"
say "Registry store: $QVIS_ROOT/registry.db"
run "$qvreg" add 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE /t REG_SZ /d "$QVIS_ROOT/Apps/QVIS/PROG/CMN" /f
run "$qvreg" add 'HKLM\SOFTWARE\Quvaro Information Systems\QVDataAccess\Servers' /v AccessMethod /t REG_DWORD /d 1 /f
run "$qvreg" query 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE
run "$qvreg" query 'HKEY_LOCAL_MACHINE\software\QUVARO INFORMATION SYSTEMS\QVDataAccess\Servers'
run "$qvreg" export 'HKLM\SOFTWARE'

for step in "$top"/tools/demo.d/*.sh; do
    [ -e "$step" ] || continue
    # shellcheck source=/dev/null
    . "$step"
done

say "Demo finished"
