#!/usr/bin/env bash
# ferrun.exe under wine against the central-side simulator running natively
# on loopback, checked against the Linux build doing the same run.
#
#   ferrun_live_test.sh LINUX_BUILD WINDOWS_BUILD WORK_DIR
#
# Each side gets a scratch system root of its own below WORK_DIR, its own
# zelsim (the Linux build's, on 127.0.0.1) publishing the same files (a
# plain one, a packed ".dtz" one and one the filter leaves out), the Poll
# component registered (regsvr32 Poll.dll in the wine prefix; regsvr and
# libPoll.so on Linux), the dealer's credentials written with zelpasswd,
# CONTROL and ISERVER.XML naming that simulator.  Then "ferrun -d" and
# "ferrun -p" run with the same arguments (relative paths, so the command
# lines are the same bytes too).  Checked: the downloaded files byte for
# byte (the ".dtz" one unpacked), every download acknowledged, the upload's
# matching files received packed and deleted once accepted, the other one
# left; and the result files of the two systems the same bytes, and their
# console lines too but for the line ends (CR LF on Windows).  Wine's prefix
# is $ZEL_WINEPREFIX (see cmake/wine-run.sh); the
# component's registration is taken back at the end.
set -euo pipefail
. "$(dirname "$0")/wine_test_lib.sh"
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
wine_test_begin ferrun_live_test "$3"

dll=$(winpath "$windows/poll/component/Poll.dll")
dll_registered=
cleanup() {
    stop_zelsim
    if [ -n "$dll_registered" ]; then "$wine_run" regsvr32 /s /u "$dll" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

# What the central side publishes and what the dealer has to send: made
# once, so that both systems see the same bytes.  The large files span
# several of the transport's 256 KiB pieces.
src=$work/source
mkdir -p "$src/published" "$src/outbox"
printf 'alpha\n' >"$src/published/A.DAT"
head -c 700000 /dev/urandom >"$src/PRICES.DAT"
gzip -n -c "$src/PRICES.DAT" >"$src/published/PRICES.DAT.dtz"
printf 'bravo\n' >"$src/published/B.TXT"
printf 'order one\r\n' >"$src/outbox/ORDERS1.TXT"
head -c 600000 /dev/urandom >"$src/outbox/ORDERS2.TXT"
printf 'not sent' >"$src/outbox/NOTES.DOC"

# start_central ROOT: zelsim for the scratch root ROOT, publishing the
# source files, and the component's files in ROOT naming it.
start_central() {
    local root=$1 central=$1/central
    mkdir -p "$central/data/DB" "$central/uploads/DB"
    cp "$src/published/"* "$central/data/DB/"
    printf 'dealer7:s3cret\n' >"$central/users.txt"
    start_zelsim "$central" --request-log "$central/zelsim.requests" \
        --users "$central/users.txt" --data-dir "$central/data" \
        --upload-dir "$central/uploads" --post-log "$central/posted.log"
    local comm=$root/Apps/QVIS/PROG/COMM
    mkdir -p "$comm"
    printf 'A,B,C,D,E' >"$comm/CONTROL"  # the unit contract "DB"
    printf '%s' "<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:$port</SRVIP>" \
        " <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>" \
        >"$comm/ISERVER.XML"
}

# prepare ROOT: the dealer's directories in ROOT.
prepare() {
    mkdir -p "$1/in" "$1/out"
    cp "$src/outbox/"* "$1/out/"
}

# The same command lines on both systems, run from the scratch root.
download=(-d 'in:*.DAT*' -r down.res)
upload=(-p 'out:*.TXT::/inbound')

# --- Linux ---
lroot=$work/linux
mkdir -p "$lroot"
prepare "$lroot"
(
    export QVIS_ROOT=$lroot
    start_central "$lroot"
    "$linux/tools/regsvr" /s "$linux/poll/component/libPoll.so" || fail "regsvr (Linux)"
    "$linux/tools/zelpasswd" dealer7:s3cret || fail "zelpasswd (Linux)"
    cd "$lroot"
    rc=0
    "$linux/client/ferrun" "${download[@]}" >down.out 2>down.err || rc=$?
    echo "$rc" >down.rc
    rc=0
    "$linux/client/ferrun" "${upload[@]}" >up.out 2>up.err || rc=$?
    echo "$rc" >up.rc
    stop_zelsim
)

# --- Windows, under wine ---
wroot=$work/windows
mkdir -p "$wroot"
prepare "$wroot"
export QVIS_ROOT
QVIS_ROOT=$(winpath "$wroot")
start_central "$wroot"
"$wine_run" regsvr32 /s "$dll" || fail "regsvr32 Poll.dll"
dll_registered=1
"$wine_run" "$windows/tools/zelpasswd.exe" dealer7:s3cret || fail "zelpasswd.exe"
(
    cd "$wroot"
    rc=0
    "$wine_run" "$windows/client/ferrun.exe" "${download[@]}" >down.out 2>down.err || rc=$?
    echo "$rc" >down.rc
    rc=0
    "$wine_run" "$windows/client/ferrun.exe" "${upload[@]}" >up.out 2>up.err || rc=$?
    echo "$rc" >up.rc
)
stop_zelsim

# --- Checks, each system on its own ---
same() { cmp -s "$1" "$2" || fail "$3"; }
for side in linux windows; do
    root=$work/$side
    central=$root/central
    for step in down up; do
        [ "$(cat "$root/$step.rc")" = 0 ] ||
            fail "$side: ferrun $step exited $(cat "$root/$step.rc"): $(cat "$root/$step.out" "$root/$step.err")"
    done
    # Downloads: byte for byte, the packed one unpacked; B.TXT not matched.
    same "$root/in/A.DAT" "$src/published/A.DAT" "$side: A.DAT differs"
    same "$root/in/PRICES.DAT" "$src/PRICES.DAT" "$side: PRICES.DAT differs from what was packed"
    [ ! -e "$root/in/PRICES.DAT.dtz" ] || fail "$side: the packed file was left beside its contents"
    [ ! -e "$root/in/B.TXT" ] || fail "$side: B.TXT was not matched by the filter"
    # Acknowledged: no longer published, and in the simulator's log.
    for f in A.DAT PRICES.DAT.dtz; do
        [ ! -e "$central/data/DB/$f" ] || fail "$side: $f still published (not acknowledged)"
        grep -q "$f" "$central/posted.log" || fail "$side: $f not in posted.log"
    done
    [ -e "$central/data/DB/B.TXT" ] || fail "$side: B.TXT acknowledged though not fetched"
    # Uploads: sent packed below the destination, deleted once accepted.
    for f in ORDERS1.TXT ORDERS2.TXT; do
        sent=$central/uploads/DB/inbound/$f.dtz
        [ -e "$sent" ] || fail "$side: $f was not received"
        gzip -dc "$sent" | cmp -s - "$src/outbox/$f" || fail "$side: $f arrived changed"
        [ ! -e "$root/out/$f" ] || fail "$side: $f was not deleted after it was accepted"
    done
    same "$root/out/NOTES.DOC" "$src/outbox/NOTES.DOC" "$side: NOTES.DOC was touched"
    [ ! -e "$central/uploads/DB/inbound/NOTES.DOC.dtz" ] || fail "$side: NOTES.DOC was sent"
done

# --- The two systems alike ---
l=$work/linux
w=$work/windows
same "$l/in/down.res" "$w/in/down.res" "download result files differ: $(od -c "$l/in/down.res" "$w/in/down.res")"
same "$l/out/Poll.Result" "$w/out/Poll.Result" "upload result files differ"
# The console lines too, except that the C runtime on Windows ends each
# with CR LF, the console's own line end there.
for step in down up; do
    sed 's/$/\r/' "$l/$step.out" >"$l/$step.out.crlf"
    same "$l/$step.out.crlf" "$w/$step.out" "ferrun $step: console lines differ: $(od -c "$l/$step.out" "$w/$step.out")"
    same "$l/$step.err" "$w/$step.err" "ferrun $step: standard error differs"
done
printf 'download results:\n%s\nupload results:\n%s\n' "$(cat "$l/in/down.res")" "$(cat "$l/out/Poll.Result")"
echo "ferrun_live_test: Linux and Windows runs alike"
