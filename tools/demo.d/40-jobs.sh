# Demo step: the job runner qvzel_nt, installed, with the real Poll component
# registered in the scratch system root and the central side simulated by
# zelsim (files published for the dealer, uploads stored), the olmar
# stand-in as the business system.  Runs an upload, a download and a
# day-end job, then prints what they produced and checks it.  With
# ZEL_DEMO_CRON=1 (./build.sh demo --cron) the installed schedule service
# starts the installed batch files by itself instead, and the step ends once
# every job ran (within three minutes).  Sourced by tools/demo.sh (uses
# $build, $QVIS_ROOT, $inst_bin, $inst_lib, $inst_cmn, say, run, fail); runs
# in a subshell and stops what it started on every way out.
(
    set -euo pipefail
    comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
    cmn="$QVIS_ROOT/Apps/QVIS/PROG/CMN"
    work="$QVIS_ROOT/jobs-demo"
    qvreg="$inst_bin/qvreg"
    rm -rf "$work"
    mkdir -p "$comm/UPLOAD" "$comm/DOWNLOAD" "$cmn" "$QVIS_ROOT/Apps/QVIS/home/anon_ftp/pub" \
        "$work/data/DLR01" "$work/uploads"
    crlf() { sed 's/\r$/\\r/; s/^/    /' "$@"; }
    pids=()
    stop_all() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; }
    trap stop_all EXIT

    say "Job runner: central side (zelsim) with files published for dealer DLR01"
    printf 'price list of today\r\n' >"$work/data/DLR01/PRICES.DAT"
    printf 'outbound record;' >"$work/data/DLR01/OUTBOUND1.DAT"
    printf 'receipt record;' >"$work/data/DLR01/RECEIPTS1.DAT"
    printf 'jsdf data\r\n' >"$work/data/DLR01/JSDF1.DAT"
    printf 'on\r\n' >"$work/data/DLR01/qvzel_on.trigger"
    printf 'dealer7:s3cret\n' >"$work/users.txt"
    "$inst_bin/zelsim" --ready-file "$work/ready" --request-log "$work/requests" \
        --users "$work/users.txt" --data-dir "$work/data" --upload-dir "$work/uploads" \
        >"$work/zelsim.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
    [ -s "$work/ready" ] || fail "zelsim did not start: $(cat "$work/zelsim.out")"
    port=$(sed -n 's/^http_port=//p' "$work/ready")
    echo "  published: $(cd "$work/data/DLR01" && ls | tr '\n' ' ')"

    say "Job runner: component registered, credentials, entry point, olmar, transfers enabled"
    run "$inst_bin/regsvr" "$inst_lib/libPoll.so"
    printf 'dealer7:s3cret\n' | "$inst_bin/zelpasswd" >/dev/null || fail "zelpasswd failed"
    printf 'DEMO,01,X,DLR' >"$comm/CONTROL"  # unit contract DLR01
    printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
        "$port" >"$comm/ISERVER.XML"
    # The directory cached by the earlier step names a simulator that is gone.
    for k in POLL ISERVER; do
        "$qvreg" delete "HKLM\\SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers\\$k" \
            >/dev/null 2>&1 || true
    done
    "$qvreg" add 'HKLM\SOFTWARE\qvis\olmar' /v OLMAR_EXE /t REG_SZ /d "$cmn" /f >/dev/null
    cp "$build/tools/olmar" "$cmn/olmar"
    cp "$inst_cmn"/qvzel*.bat "$cmn/"
    printf 'QVZEL = Y\r\n' >"$cmn/INIT_CTRL"
    printf 'dumpmsg=1\n' >"$comm/ferrun.conf"
    printf 'BACKZEL of yesterday\n' >"$cmn/BACKZEL"
    rm -f "$comm/LOGFIL" "$QVIS_ROOT/qvzel.log" "$comm/QV2DLR.DAT" "$comm/qvzelupfile" \
        "$comm/qvzeldownfile"
    export ZEL_OLMAR_LOG="$work/olmar.log"
    printf 'order 1\r\n' >"$comm/UPLOAD/ORDERS1.DAT"
    printf 'order 2\r\n' >"$comm/UPLOAD/ORDERS2.DAT"
    echo "  to send: $(cd "$comm/UPLOAD" && ls | tr '\n' ' ')"

    if [ "${ZEL_DEMO_CRON:-0}" = 1 ]; then
        cron="$inst_bin/qvzel_cron"
        say "Job runner: qvzel_cron starts the installed batch files this minute"
        # Due in the minute of the first tick (the next one, close to its end).
        [ "$(date +%-S)" -lt 50 ] && m=$(date +%-M) || m=$(( ($(date +%-M) + 1) % 60 ))
        h=$(date -d "+15 seconds" +%-H) d=$(date -d "+15 seconds" +%w)
        printf 'qvzel_up %s %s %s /usr/bin/cron/qvzelup\r\nqvzel_down %s %s %s /usr/bin/cron/qvzeldown\r\n' \
            "$m" "$h" "$d" "$m" "$h" "$d" >"$comm/crontab.dat"
        crlf "$comm/crontab.dat"
        export ZEL_UNIT_DIR="$QVIS_ROOT/units" ZEL_SYSTEMCTL="" ZEL_CRON_FIRST_TICK_MS=500
        "$cron" -RegServer
        "$cron" >"$work/cron.out" &
        pids+=($!)
        cron_pid=$!
        # The upload and download run first; the day-end entry follows once
        # both are done, so it finds the downloaded files.
        for _ in $(seq 800); do
            [ -s "$comm/qvzeldownfile" ] && [ -s "$comm/qvzelupfile" ] &&
                [ ! -e "$comm/DOWNLOCK.qvzel_lock" ] && [ ! -e "$comm/UPLOCK.qvzel_lock" ] && break
            sleep 0.1
        done
        [ -s "$comm/qvzeldownfile" ] && [ -s "$comm/qvzelupfile" ] ||
            fail "qvzel_cron did not run the upload and download jobs within 80 s"
        m=$(date +%-M)
        printf 'qvzel_proc %s %s %s /usr/bin/cron/qvzelproc\r\n' "$(( (m + 1) % 60 ))" \
            "$(date -d '+1 minute' +%-H)" "$(date -d '+1 minute' +%w)" >"$work/crontab.proc"
        # Restarted with the day-end entry alone, so the transfers do not run
        # twice, rather than waiting for the merge of pending changes.
        kill -TERM "$cron_pid"; wait "$cron_pid" || true
        mv "$work/crontab.proc" "$comm/crontab.dat"
        echo "  then:"; crlf "$comm/crontab.dat"
        "$cron" >>"$work/cron.out" &
        pids+=($!)
        cron_pid=$!
        for _ in $(seq 900); do
            grep -q DAYEND "$work/olmar.log" 2>/dev/null && [ ! -e "$comm/PROCLOCK.qvzel_lock" ] && break
            sleep 0.1
        done
        grep -q DAYEND "$work/olmar.log" 2>/dev/null ||
            fail "qvzel_cron did not run the day-end job within 90 s"
        kill -TERM "$cron_pid"; wait "$cron_pid" || true
        sed 's/^/    qvzel_cron: /' "$work/cron.out"
    else
        say "Job runner: upload job"
        run "$inst_bin/qvzel_nt" -u
        say "Job runner: download job"
        run "$inst_bin/qvzel_nt" -d
        echo "  placed in DOWNLOAD: $(cd "$comm/DOWNLOAD" && ls | grep -v qvzel | tr '\n' ' ')"
        say "Job runner: day-end job"
        run "$inst_bin/qvzel_nt" -p
    fi

    say "Job runner: what the jobs produced"
    count() { grep -c "$1" "$work/requests" || true; }
    echo "  requests to the central side: $(count GetFileFromQuvaro) downloads," \
        "$(count PostProcessQuvaroFile) acknowledgements, $(count PutFileFromDealer) uploads"
    echo "  received by the central side: $(cd "$work/uploads" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"
    echo "  still published: $(cd "$work/data/DLR01" && ls | tr '\n' ' ')"
    echo "  qvzelupfile:"; crlf "$comm/qvzelupfile"
    echo "  qvzeldownfile:"; crlf "$comm/qvzeldownfile"
    echo "  lines added to LOGFIL: $(grep -c . "$comm/LOGFIL")"; crlf "$comm/LOGFIL"
    echo "  QV2DLR.DAT (outbound, then receipts):"; crlf "$comm/QV2DLR.DAT"; echo
    echo "  moved to COMM: $(cd "$comm" && ls | grep JSDF || echo none)"
    echo "  olmar starts (arguments | working directory):"; sed 's/^/    /' "$work/olmar.log"
    echo "  BACKZEL generations: $(cd "$cmn" && ls BACKZEL* | tr '\n' ' ')"
    echo "  job log ($QVIS_ROOT/qvzel.log), last lines:"; tail -n 5 "$QVIS_ROOT/qvzel.log" | crlf

    # What a working system must have done.
    for f in ORDERS1.DAT ORDERS2.DAT; do
        grep -q "^Successful Upload of File $f" "$comm/qvzelupfile" || fail "upload of $f not reported"
        [ -e "$work/uploads/DLR01/$f.dtz" ] || fail "$f did not reach the central side"
    done
    for f in PRICES.DAT OUTBOUND1.DAT RECEIPTS1.DAT JSDF1.DAT qvzel_on.trigger; do
        grep -q "^Successful Download of File $f" "$comm/qvzeldownfile" ||
            fail "download of $f not reported"
    done
    [ "$(cat "$comm/QV2DLR.DAT")" = "outbound record;receipt record;" ] ||
        fail "QV2DLR.DAT does not hold the outbound and receipt records"
    [ -e "$comm/JSDF1.DAT" ] || fail "JSDF1.DAT was not moved to COMM"
    grep -q QVZELON "$work/olmar.log" || fail "the download's trigger did not start olmar"
    grep -q DAYEND "$work/olmar.log" || fail "the day-end did not start olmar"
    [ -e "$cmn/BACKZEL1" ] || fail "BACKZEL was not rotated"
    echo "  all checks passed"
)
