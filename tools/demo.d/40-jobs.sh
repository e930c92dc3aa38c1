# Demo step: the job runner qvzel_nt runs an upload, a download and a
# day-end job in the scratch system root, with the olmar stand-in as the
# business system.  The Poll component's transfers are not finished yet, so
# the jobs talk to the test double of the component (built with the tests:
# it records each call and writes the result lines it is given).  With
# ZEL_DEMO_CRON=1 (./build.sh demo --cron) the schedule service starts the
# three batch files by itself instead, and the step ends once every job ran
# (at most three minutes).  Sourced by tools/demo.sh (uses $build,
# $QVIS_ROOT, say, run); runs in a subshell.
(
    set -euo pipefail
    nt="$build/jobs/qvzel_nt"
    fake="$build/tests/jobs/libzel_fake_poll.so"
    if [ ! -x "$nt" ] || [ ! -e "$fake" ]; then
        say "Job runner: skipped (qvzel_nt or the Poll test double not built)"
        exit 0
    fi
    comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
    cmn="$QVIS_ROOT/Apps/QVIS/PROG/CMN"
    work="$QVIS_ROOT/jobs-demo"
    rm -rf "$work"
    mkdir -p "$comm/UPLOAD" "$comm/DOWNLOAD" "$cmn" "$work/place" "$QVIS_ROOT/Apps/QVIS/home/anon_ftp/pub"
    crlf() { sed 's/\r$/\\r/; s/^/    /' "$@"; }

    say "Job runner: component registered, olmar in place, transfers enabled"
    run "$build/tools/regsvr" "$fake"
    "$build/tools/qvreg" add 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE /t REG_SZ /d "$cmn" /f >/dev/null
    cp "$build/tools/olmar" "$cmn/olmar"
    printf 'QVZEL = Y\r\n' >"$cmn/INIT_CTRL"
    printf 'dumpmsg=1\n' >"$comm/ferrun.conf"
    printf 'BACKZEL of yesterday\n' >"$cmn/BACKZEL"
    rm -f "$comm/LOGFIL" "$QVIS_ROOT/qvzel.log" "$comm/QV2DLR.DAT"
    export ZEL_FAKE_POLL_CALLS="$work/calls.log" ZEL_OLMAR_LOG="$work/olmar.log"

    # What the component is to report and place.
    printf 'order 1\n' >"$comm/UPLOAD/ORDERS1.DAT"
    printf '0000 ORDERS1.DAT\r\n' >"$work/up.txt"
    printf 'outbound record\n' >"$work/place/OUTBOUND1.DAT"
    printf 'receipt record\n' >"$work/place/RECEIPTS1.DAT"
    printf 'jsdf data\n' >"$work/place/JSDF1.DAT"
    : >"$work/place/qvzel_on.trigger"
    printf '0000 OUTBOUND1.DAT\r\n0000 RECEIPTS1.DAT\r\n0000 JSDF1.DAT\r\n0000 qvzel_on.trigger\r\n' \
        >"$work/down.txt"
    export ZEL_FAKE_POLL_UP="$work/up.txt" ZEL_FAKE_POLL_DOWN="$work/down.txt" \
        ZEL_FAKE_POLL_PLACE="$work/place"

    if [ "${ZEL_DEMO_CRON:-0}" = 1 ]; then
        say "Job runner: qvzel_cron starts the three batch files this minute"
        for job in up:-u down:-d proc:-p; do
            printf '#!/bin/sh\nexec "%s" %s\n' "$nt" "${job#*:}" >"$cmn/qvzel${job%%:*}.bat"
            chmod +x "$cmn/qvzel${job%%:*}.bat"
        done
        # Due in the minute of the first tick (the next one, close to its end).
        [ "$(date +%-S)" -lt 50 ] && m=$(date +%-M) || m=$(( ($(date +%-M) + 1) % 60 ))
        h=$(date -d "+15 seconds" +%-H) d=$(date -d "+15 seconds" +%w)
        printf 'qvzel_up %s %s %s /usr/bin/cron/qvzelup\r\nqvzel_down %s %s %s /usr/bin/cron/qvzeldown\r\n' \
            "$m" "$h" "$d" "$m" "$h" "$d" >"$comm/crontab.dat"
        crlf "$comm/crontab.dat"
        export ZEL_UNIT_DIR="$QVIS_ROOT/units" ZEL_SYSTEMCTL="" ZEL_CRON_FIRST_TICK_MS=500
        "$build/scheduler/qvzel_cron" -RegServer
        "$build/scheduler/qvzel_cron" >"$work/cron.out" &
        cron=$!
        trap 'kill -TERM $cron 2>/dev/null || true' EXIT
        # The upload and download run first; the day-end entry follows once
        # both are done, so it finds the downloaded files.
        for _ in $(seq 1500); do
            [ -s "$comm/qvzeldownfile" ] && [ -s "$comm/qvzelupfile" ] &&
                [ ! -e "$comm/DOWNLOCK.qvzel_lock" ] && break
            sleep 0.1
        done
        m=$(date +%-M) h=$(date +%-H) d=$(date +%w)
        printf 'qvzel_proc %s %s %s /usr/bin/cron/qvzelproc\r\n' "$(( (m + 1) % 60 ))" \
            "$(date -d '+1 minute' +%-H)" "$(date -d '+1 minute' +%w)" >"$comm/qvzel_cronin"
        # Restarted with the day-end entry alone rather than waiting for the
        # merge of pending changes on the 15th tick.
        kill -TERM "$cron"; wait "$cron" || true
        # Only the day-end entry now, so the transfers do not run twice.
        mv "$comm/qvzel_cronin" "$comm/crontab.dat"
        "$build/scheduler/qvzel_cron" >>"$work/cron.out" &
        cron=$!
        for _ in $(seq 1500); do
            grep -q DAYEND "$work/olmar.log" 2>/dev/null && [ ! -e "$comm/PROCLOCK.qvzel_lock" ] && break
            sleep 0.1
        done
        kill -TERM "$cron"; wait "$cron" || true
        trap - EXIT
        sed 's/^/    qvzel_cron: /' "$work/cron.out"
    else
        say "Job runner: upload job"
        run "$nt" -u
        say "Job runner: download job"
        run "$nt" -d
        say "Job runner: day-end job"
        run "$nt" -p
    fi

    say "Job runner: what the jobs produced"
    echo "  sent (component calls of the upload):"; grep -c PutFiles "$work/calls.log" | sed 's/^/    PutFiles calls: /'
    echo "  qvzelupfile:"; crlf "$comm/qvzelupfile"
    echo "  qvzeldownfile:"; crlf "$comm/qvzeldownfile"
    echo "  LOGFIL:"; crlf "$comm/LOGFIL"
    echo "  QV2DLR.DAT (outbound, then receipts):"; crlf "$comm/QV2DLR.DAT"
    echo "  moved to COMM: $(ls "$comm" | grep JSDF || echo none)"
    echo "  olmar starts (arguments | working directory):"; sed 's/^/    /' "$work/olmar.log"
    echo "  BACKZEL generations: $(cd "$cmn" && ls BACKZEL* | tr '\n' ' ')"
    echo "  job log ($QVIS_ROOT/qvzel.log), last lines:"; tail -n 5 "$QVIS_ROOT/qvzel.log" | crlf
)
