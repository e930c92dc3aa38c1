# Demo step: the schedule service qvzel_cron, run as an ordinary program for
# a few seconds with its first tick shortened.  Sourced by tools/demo.sh
# (uses $build, $QVIS_ROOT, say, run); runs in a subshell so its settings
# stay here.  The unit directory is a scratch one and systemctl is never run.
(
    set -euo pipefail
    cron="$build/scheduler/qvzel_cron"
    comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
    cmn="$QVIS_ROOT/Apps/QVIS/PROG/CMN"
    export ZEL_UNIT_DIR="$QVIS_ROOT/units" ZEL_SYSTEMCTL="" ZEL_CRON_FIRST_TICK_MS=500
    mkdir -p "$comm" "$cmn" "$ZEL_UNIT_DIR"

    # Starts qvzel_cron, waits (at most 10 s) for the file $1, then stops it.
    run_cron_until() {
        local out="$QVIS_ROOT/qvzel_cron.out" pid rc=0
        printf '$ ZEL_CRON_FIRST_TICK_MS=500 %s &   (SIGTERM once %s exists)\n' "$cron" "${1##*/}"
        "$cron" >"$out" &
        pid=$!
        for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.1; done
        sleep 0.2
        kill -TERM "$pid"
        wait "$pid" || rc=$?
        sed 's/^/  stdout: /' "$out"
        echo "  exit code: $rc"
    }

    say "Schedule service: register qvzel_cron (AppID keys under HKCR)"
    run "$cron" -RegServer
    run "$build/tools/qvreg" query "HKCR\\AppID\\qvzel_cron.EXE"

    say "Schedule service: default schedule from the unit contract in CONTROL"
    [ -e "$comm/CONTROL" ] || printf 'DEMO,,X,12345\r\n' >"$comm/CONTROL"
    rm -f "$comm/crontab.dat"
    run_cron_until "$comm/crontab.dat"
    echo "crontab.dat (CR LF shown as \\r):"
    sed 's/\r$/\\r/' "$comm/crontab.dat"

    say "Schedule service: an entry due every minute starts its batch file"
    all() { seq -s, 0 "$1"; }
    printf 'zeldemo %s %s %s /usr/bin/cron/zeldemo\r\n' "$(all 59)" "$(all 23)" "$(all 6)" \
        >>"$comm/crontab.dat"
    printf '#!/bin/sh\necho "zeldemo.bat ran in $(pwd)" > zeldemo.marker\n' >"$cmn/zeldemo.bat"
    chmod +x "$cmn/zeldemo.bat"
    rm -f "$cmn/zeldemo.marker"
    run_cron_until "$cmn/zeldemo.marker"
    run cat "$cmn/zeldemo.marker"
)
