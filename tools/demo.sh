#!/usr/bin/env bash
# Demonstration run: installs the build into a scratch directory, builds a
# scratch system root and shows the pieces working together.  Ends with 0
# when every step did what it shows, else with a message and a non-zero
# status.  Usage: tools/demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
export QVIS_ROOT="$top/scratch/root"
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

say() { printf '\n== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "Scratch system root: $QVIS_ROOT"
rm -rf "$QVIS_ROOT"
mkdir -p "$QVIS_ROOT"

# The installed tree, as "cmake --install" lays it out, below a scratch
# DESTDIR; the jobs run from there.  The installed programs come first on
# PATH, which is also how the batch files find qvzel_nt.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
inst_root="$top/scratch/install"
say "Install: DESTDIR=$inst_root cmake --install $build"
rm -rf "$inst_root"
DESTDIR="$inst_root" cmake --install "$build" >"$top/scratch/install.log" 2>&1 ||
    fail "cmake --install failed (see scratch/install.log)"
# An install directory may be given relative to the prefix or absolute.
installed() { case "$1" in /*) echo "$inst_root$1" ;; *) echo "$inst_root$(cache CMAKE_INSTALL_PREFIX)/$1" ;; esac; }
inst_bin=$(installed "$(cache CMAKE_INSTALL_BINDIR)")
inst_lib=$(installed "$(cache ZEL_PRIVATE_LIBDIR)")
inst_cmn="$inst_root$(cache ZEL_CONFDIR)"
for f in "$inst_bin/qvzel_nt" "$inst_bin/regsvr" "$inst_bin/zelpasswd" "$inst_bin/zelsim" \
         "$inst_lib/libPoll.so" "$inst_cmn/qvzelup.bat"; do
    [ -e "$f" ] || fail "not installed: $f"
done
export PATH="$inst_bin:$PATH"
echo "programs: $(cd "$inst_bin" && ls | tr '\n' ' ')"
echo "libraries: $(cd "$inst_lib" && ls ./*.so | sed 's|^\./||' | tr '\n' ' ')"
echo "batch files: $(cd "$inst_cmn" && ls | tr '\n' ' ')"

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
