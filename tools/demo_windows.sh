#!/usr/bin/env bash
# Demonstration run of the Windows build under wine: the job runner
# qvzel_nt.exe with Poll.dll registered by regsvr32, the dealer's
# credentials written by zelpasswd.exe, CONTROL and ISERVER.XML naming the
# central-side simulator (zelsim of the Linux build, running natively on
# 127.0.0.1), Olmar's registry value in the machine's registry and the olmar
# stand-in (olmar.exe) as the business system.  Runs the upload, download
# and day-end jobs, prints what they produced and checks it as the Linux
# demo does (tools/demo.d/40-jobs.sh).  Ends with 0 when every check holds.
#
#   tools/demo_windows.sh LINUX_BUILD WINDOWS_BUILD SCRATCH_DIR
#
# The wine prefix is $ZEL_WINEPREFIX when set (the Windows suite's), else
# a fresh one in SCRATCH_DIR/wineprefix.  What the run writes into the
# prefix's registry (the class registration, Olmar's value, the directory's
# records) is taken back at the end.
set -euo pipefail
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
scratch=$3
top=$(cd "$(dirname "$0")/.." && pwd)
wine_run=$top/cmake/wine-run.sh
fail() {
    printf 'demo: FAILED: %s\n' "$*" >&2
    exit 1
}
say() { printf '\n== %s\n' "$*"; }
run() {
    printf '$ %s\n' "$*"
    "$@"
}
# A path of this machine as the Windows programs under wine name it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine() { "$wine_run" "$@"; }

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
if [ -z "${ZEL_WINEPREFIX:-}" ]; then
    export ZEL_WINEPREFIX=$scratch/wineprefix
    say "Wine prefix: $ZEL_WINEPREFIX (made now)"
    wine wineboot --init >/dev/null 2>&1 || true
fi
root=$scratch/root
comm=$root/Apps/QVIS/PROG/COMM
cmn=$root/Apps/QVIS/PROG/CMN
work=$root/jobs-demo
mkdir -p "$comm/UPLOAD" "$comm/DOWNLOAD" "$cmn" "$work/data/DLR01" "$work/uploads"
export QVIS_ROOT
QVIS_ROOT=$(winpath "$root")
say "Scratch system root: $root (QVIS_ROOT=$QVIS_ROOT under wine)"

servers='HKLM\SOFTWARE\Quvaro Information Systems\QVDataAccess\Servers'
dll=$(winpath "$windows/poll/component/Poll.dll")
sim_pid=
registered=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ -n "$registered" ]; then
        wine regsvr32 /s /u "$dll" >/dev/null 2>&1 || true
        wine reg delete 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE /f >/dev/null 2>&1 || true
        for k in POLL ISERVER; do wine reg delete "$servers\\$k" /f >/dev/null 2>&1 || true; done
    fi
}
trap cleanup EXIT
crlf() { sed 's/\r$/\\r/; s/^/    /' "$@"; }

say "Job runner under wine: central side (zelsim, native) with files published for dealer DLR01"
printf 'price list of today\r\n' >"$work/data/DLR01/PRICES.DAT"
printf 'outbound record;' >"$work/data/DLR01/OUTBOUND1.DAT"
printf 'receipt record;' >"$work/data/DLR01/RECEIPTS1.DAT"
printf 'jsdf data\r\n' >"$work/data/DLR01/JSDF1.DAT"
printf 'on\r\n' >"$work/data/DLR01/qvzel_on.trigger"
printf 'dealer7:s3cret\n' >"$work/users.txt"
"$linux/tools/zelsim" --address 127.0.0.1 --ready-file "$work/ready" \
    --request-log "$work/requests" --users "$work/users.txt" --data-dir "$work/data" \
    --upload-dir "$work/uploads" >"$work/zelsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
[ -s "$work/ready" ] || fail "zelsim did not start: $(cat "$work/zelsim.out")"
port=$(sed -n 's/^http_port=//p' "$work/ready")
echo "  published: $(cd "$work/data/DLR01" && ls | tr '\n' ' ')"

say "Job runner under wine: regsvr32, credentials, entry point, Olmar's registry value, olmar.exe"
registered=1
run wine regsvr32 /s "$dll" || fail "regsvr32 Poll.dll failed"
wine reg query 'HKCR\Poll.Poll\CLSID' || fail "regsvr32 wrote no Poll.Poll class"
printf 'dealer7:s3cret\n' | wine "$windows/tools/zelpasswd.exe" >/dev/null || fail "zelpasswd.exe failed"
printf 'DEMO,01,X,DLR' >"$comm/CONTROL" # unit contract DLR01
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
    "$port" >"$comm/ISERVER.XML"
run cat "$comm/ISERVER.XML"
echo
# A directory cached by an earlier run names a simulator that is gone.
for k in POLL ISERVER; do wine reg delete "$servers\\$k" /f >/dev/null 2>&1 || true; done
run wine reg add 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE /t REG_SZ /d "$(winpath "$cmn")" /f
cp "$windows/tools/olmar.exe" "$cmn/olmar.exe"
printf 'QVZEL = Y\r\n' >"$cmn/INIT_CTRL"
printf 'dumpmsg=1\n' >"$comm/ferrun.conf"
printf 'BACKZEL of yesterday\n' >"$cmn/BACKZEL"
export ZEL_OLMAR_LOG
ZEL_OLMAR_LOG=$(winpath "$work/olmar.log")
printf 'order 1\r\n' >"$comm/UPLOAD/ORDERS1.DAT"
printf 'order 2\r\n' >"$comm/UPLOAD/ORDERS2.DAT"
echo "  to send: $(cd "$comm/UPLOAD" && ls | tr '\n' ' ')"

qvzel_nt=$windows/jobs/qvzel_nt.exe
say "Job runner under wine: upload job"
run wine "$qvzel_nt" -u
say "Job runner under wine: download job"
run wine "$qvzel_nt" -d
echo "  placed in DOWNLOAD: $(cd "$comm/DOWNLOAD" && ls | grep -v qvzel | tr '\n' ' ')"
say "Job runner under wine: day-end job"
run wine "$qvzel_nt" -p

say "Job runner under wine: what the jobs produced"
count() { grep -c "$1" "$work/requests" || true; }
echo "  requests to the central side: $(count GetFileFromQuvaro) downloads," \
    "$(count PostProcessQuvaroFile) acknowledgements, $(count PutFileFromDealer) uploads"
echo "  received by the central side: $(cd "$work/uploads" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"
echo "  still published: $(cd "$work/data/DLR01" && ls | tr '\n' ' ')"
echo "  qvzelupfile:"
crlf "$comm/qvzelupfile"
echo "  qvzeldownfile:"
crlf "$comm/qvzeldownfile"
echo "  lines added to LOGFIL: $(grep -c . "$comm/LOGFIL")"
crlf "$comm/LOGFIL"
echo "  QV2DLR.DAT (outbound, then receipts):"
crlf "$comm/QV2DLR.DAT"
echo
echo "  moved to COMM: $(cd "$comm" && ls | grep JSDF || echo none)"
echo "  olmar starts (arguments | working directory):"
sed 's/^/    /' "$work/olmar.log"
echo "  BACKZEL generations: $(cd "$cmn" && ls BACKZEL* | tr '\n' ' ')"
echo "  job log ($root/qvzel.log), last lines:"
tail -n 5 "$root/qvzel.log" | crlf

# What a working system must have done: the Linux demo's checks.
for f in ORDERS1.DAT ORDERS2.DAT; do
    grep -q "^Successful Upload of File $f" "$comm/qvzelupfile" || fail "upload of $f not reported"
    [ -e "$work/uploads/DLR01/$f.dtz" ] || fail "$f did not reach the central side"
    [ ! -e "$comm/UPLOAD/$f" ] || fail "$f was not removed after it was sent"
done
for f in PRICES.DAT OUTBOUND1.DAT RECEIPTS1.DAT JSDF1.DAT qvzel_on.trigger; do
    grep -q "^Successful Download of File $f" "$comm/qvzeldownfile" ||
        fail "download of $f not reported"
done
[ "$(cat "$comm/QV2DLR.DAT")" = "outbound record;receipt record;" ] ||
    fail "QV2DLR.DAT does not hold the outbound and receipt records"
[ -e "$comm/JSDF1.DAT" ] || fail "JSDF1.DAT was not moved to COMM"
cmp -s "$comm/DOWNLOAD/PRICES.DAT" <(printf 'price list of today\r\n') ||
    fail "PRICES.DAT was not placed as published"
grep -q QVZELON "$work/olmar.log" || fail "the download's trigger did not start olmar"
grep -q DAYEND "$work/olmar.log" || fail "the day-end did not start olmar"
[ -e "$cmn/BACKZEL1" ] || fail "BACKZEL was not rotated"
# The job log names the directory olmar was started in: the Olmar
# directory itself, as the registry gives it.
started_in=$(tr -d '\r' <"$root/qvzel.log" | awk '/^olmar -p DAYEND/ { getline; print; exit }')
[ "$started_in" = "$(winpath "$cmn")" ] ||
    fail "the job log names $started_in as olmar's directory, not $(winpath "$cmn")"
echo "  all checks passed"

say "Poll.dll unregistered: regsvr32 /u"
run wine regsvr32 /s /u "$dll"
if wine reg query 'HKCR\Poll.Poll' >/dev/null 2>&1; then fail "regsvr32 /u left Poll.Poll"; fi
echo "  HKCR\\Poll.Poll is gone"
say "Demo finished"
