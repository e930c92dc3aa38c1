#!/usr/bin/env bash
# zelconfig.exe --test under wine against the central-side simulator running
# natively on loopback, checked against the Linux zelconfig of the same tree
# doing the same tests.
#
#   zelconfig_wine_test.sh LINUX_BUILD WINDOWS_BUILD WORK_DIR
#
# Each system gets a scratch system root of its own; both ask the same
# zelsim (the Linux build's, on 127.0.0.1), so their printed lines name the
# same server.  Checked, each time on both systems:
#   - the direct HTTP test answered Yes (--save) passes (exit 0), stores the
#     fetched document as response.txt, the same bytes on both, and sets
#     "AccessMethod" to 0 in the real registry of the wine prefix (read back
#     with reg.exe);
#   - the test without --save passes and writes nothing ("AccessMethod"
#     stays what the preconfigured test without auto proxy stored: 2);
#   - a server answering 404 fails the test (exit 1, "Status not 200
#     Success"), and a server that is gone fails it too, with the system's
#     error; neither changes the registry;
#   - a bad command line exits 2.
# The printed lines of the two systems are the same but for the line ends
# (CR LF on Windows) and the error texts, which are each HTTP library's own.
# The tool's registry value is taken away again at the end.
set -euo pipefail
. "$(dirname "$0")/wine_test_lib.sh"
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
wine_test_begin zelconfig_wine_test "$3"
exe=$windows/connection_tool/zelconfig.exe
tool=$linux/connection_tool/zelconfig
key='HKLM\SOFTWARE\Quvaro Information Systems\QVDataAccess\Servers'

forget_method() { "$wine_run" reg delete "$key" /v AccessMethod /f </dev/null >/dev/null 2>&1 || true; }
cleanup() {
    stop_zelsim
    forget_method
}
trap cleanup EXIT

# start_central NAME [ZELSIM OPTIONS...]: a zelsim on 127.0.0.1; its port
# in $port.
start_central() {
    local dir=$work/$1
    shift
    start_zelsim "$dir" "$@"
}

lroot=$work/linux
wroot=$work/windows
mkdir -p "$lroot" "$wroot"
# The Linux tool must not read the machine's service environment.
export ZEL_DEFAULTS_FILE=$work/no-such-defaults

# run NAME ARGS...: both programs with the same arguments; exit codes in
# $work/NAME.{linux,windows}.rc, output (both streams) in .out.
run() {
    local name=$1 rc
    shift
    rc=0
    QVIS_ROOT=$lroot "$tool" "$@" >"$work/$name.linux.out" 2>&1 </dev/null || rc=$?
    echo "$rc" >"$work/$name.linux.rc"
    rc=0
    QVIS_ROOT=$(winpath "$wroot") "$wine_run" "$exe" "$@" </dev/null >"$work/$name.windows.out" 2>&1 ||
        rc=$?
    echo "$rc" >"$work/$name.windows.rc"
    tr -d '\r' <"$work/$name.windows.out" >"$work/$name.windows.lf"
}
# expect_rc NAME CODE: both systems exited with CODE.
expect_rc() {
    local side
    for side in linux windows; do
        [ "$(cat "$work/$1.$side.rc")" = "$2" ] ||
            fail "$1: $side exited $(cat "$work/$1.$side.rc"), not $2: $(cat "$work/$1.$side.out")"
    done
}
# same_output NAME: the printed lines alike but for the line ends.
same_output() {
    cmp -s "$work/$1.linux.out" "$work/$1.windows.lf" ||
        fail "$1: the printed lines differ: $(diff "$work/$1.linux.out" "$work/$1.windows.lf" | head -8)"
}
# has NAME TEXT: both outputs hold TEXT.
has() {
    local side
    for side in linux windows; do
        grep -qF -- "$2" "$work/$1.$side.out" || fail "$1: $side printed no '$2': $(cat "$work/$1.$side.out")"
    done
}
# method: "AccessMethod" in the wine prefix's registry, "missing" when unset.
method() {
    local line
    line=$("$wine_run" reg query "$key" /v AccessMethod </dev/null 2>/dev/null | tr -d '\r' |
        grep -i 'AccessMethod' || true)
    if [ -z "$line" ]; then
        echo missing
        return
    fi
    printf '%d\n' "$(awk '{print $3}' <<<"$line")"
}

forget_method
[ "$(method)" = missing ] || fail "AccessMethod could not be cleared before the test"

# --- A reachable central side ---
start_central central
server=127.0.0.1:$port
run save --test http --method direct --save --http-server "$server"
expect_rc save 0
has save "AccessMethod set to 0"
same_output save
[ "$(method)" = 0 ] || fail "AccessMethod is $(method) after the saved direct test, not 0"
[ -s "$lroot/response.txt" ] || fail "Linux stored no response.txt"
cmp -s "$lroot/response.txt" "$wroot/response.txt" ||
    fail "the stored documents differ: $(od -c "$lroot/response.txt" | head -3) / $(od -c "$wroot/response.txt" | head -3)"
grep -q RetrieveServerInformationResponse "$wroot/response.txt" ||
    fail "response.txt is not the server information: $(head -c 200 "$wroot/response.txt")"

# Each access method is stored as its number; the preconfigured test reads
# the system's Internet settings on Windows (the service's environment file
# on Linux, which names its source in a note: only the exit codes compare).
run preconfig --test http --method preconfig-no-auto --save --http-server "$server"
expect_rc preconfig 0
has preconfig "AccessMethod set to 2"
[ "$(method)" = 2 ] || fail "AccessMethod is $(method) after the saved preconfig test, not 2"

# Passed but not saved: nothing written.
run nosave --test http --method direct --http-server "$server"
expect_rc nosave 0
has nosave "Information: No"
same_output nosave
[ "$(method)" = 2 ] || fail "the test without --save changed AccessMethod to $(method)"
stop_zelsim

# --- An answer that is not the document ---
start_central notfound --fault "/qvgqa/RetrieveServerInformation.xml=404x2"
run notfound --test http --method direct --save --http-server 127.0.0.1:$port
expect_rc notfound 1
has notfound "HTTP Status Code: Status not 200 Success"
same_output notfound
stop_zelsim
[ "$(method)" = 2 ] || fail "a failed test changed AccessMethod to $(method)"

# --- A central side that is gone: its port is closed now ---
run gone --test http --method direct --save --http-server 127.0.0.1:$port
expect_rc gone 1
has gone "Error: "
has gone "zelconfig: HTTP Direct (no proxy) test failed"
[ "$(method)" = 2 ] || fail "a refused connection changed AccessMethod to $(method)"

# --- A bad command line ---
run usage --test ftp --method direct
expect_rc usage 2
same_output usage

printf 'zelconfig_wine_test: Linux and Windows alike; the refused connection:\n'
printf '  Linux:   %s\n' "$(grep -F 'Error' "$work/gone.linux.out" | tr '\n' ' ')"
printf '  Windows: %s\n' "$(grep -F 'Error' "$work/gone.windows.lf" | tr '\n' ' ')"
