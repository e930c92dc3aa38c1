# What the whole-program tests under wine share (sourced, not run): the
# start of every such test, a wine prefix of a test's own, and the
# central-side simulator of the Linux build on loopback.
#
#   . "$(dirname "$0")/wine_test_lib.sh"
#   wine_test_begin NAME WORK_DIR
#
# wine_test_begin sets top (the source tree), wine_run (cmake/wine-run.sh),
# wineserver, and work (WORK_DIR made empty, as an absolute path), and
# defines fail, which names the test.  The caller sets linux (the Linux
# build) before it starts the simulator.

wine_test_begin() {
    wine_test_name=$1
    top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    wine_run=$top/cmake/wine-run.sh
    wineserver=/usr/lib/wine/wineserver
    [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
    rm -rf "$2"
    mkdir -p "$2"
    work=$(cd "$2" && pwd)
    sim_pid=
}

fail() {
    printf '%s: FAILED: %s\n' "$wine_test_name" "$*" >&2
    exit 1
}

# A path of this machine as the Windows programs under wine name it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A wine prefix of the test's own below work, made now: no other suite's
# registry keys or services meet the test's.  stop_own_wine_prefix ends its
# server (for the test's cleanup).
use_own_wine_prefix() {
    export ZEL_WINEPREFIX=$work/wineprefix
    "$wine_run" wineboot --init </dev/null >/dev/null 2>&1 || true
}
stop_own_wine_prefix() {
    WINEPREFIX=$ZEL_WINEPREFIX "$wineserver" -k >/dev/null 2>&1 || true
}

# start_zelsim DIR [ZELSIM OPTIONS...]: the Linux build's zelsim on
# 127.0.0.1 with its ready file and errors in DIR; its pid in sim_pid and
# its HTTP port in port once it is ready (at most 10 s).
start_zelsim() {
    local dir=$1
    shift
    mkdir -p "$dir"
    "$linux/tools/zelsim" --address 127.0.0.1 --ready-file "$dir/ready" "$@" \
        >/dev/null 2>"$dir/zelsim.err" &
    sim_pid=$!
    port=
    local deadline=$((SECONDS + 10))
    while [ -z "$port" ]; do
        port=$(sed -n 's/^http_port=//p' "$dir/ready" 2>/dev/null || true)
        [ -n "$port" ] && break
        kill -0 "$sim_pid" 2>/dev/null || fail "zelsim ended: $(cat "$dir/zelsim.err")"
        [ "$SECONDS" -lt "$deadline" ] || fail "zelsim not ready within 10 s"
        sleep 0.05
    done
}

stop_zelsim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
