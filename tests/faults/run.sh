#!/usr/bin/env bash
# The fault campaign: N runs of real downloads and uploads (ferrun with the
# registered Poll component, against zelsim on 127.0.0.1), each one faulted
# (SIGKILL at a random moment or at a chosen point of the upload's packing
# pass, or a random server or local fault), then a clean run to the end.
# After every run the outcome is checked file by file
# and counted; the counts are printed at the end and the exit status is 1
# when a count that must stay 0 is not.
#
# Usage: tests/faults/run.sh BUILD_DIR [N] [SEED]
#   BUILD_DIR  a build tree with ferrun, libPoll.so, regsvr, zelsim, zelpasswd
#   N          number of runs (default 200)
#   SEED       seed of the random choices (default: from the clock); a run is
#              repeated by giving the seed printed at the start
# Environment: ZEL_FAULTS_WORK  the scratch directory (default
#              BUILD_DIR/faults-work; emptied at the start, kept afterwards
#              with campaign.log and the files of every run with a finding);
#              ZEL_FAULTS_KINDS  the faults to choose from (default "kill
#              stall cut 503 garbage refused fsize packkill");
#              ZEL_FAULTS_FERRUN  a program run in ferrun's place (the
#              campaign's own check uses one that damages transfers).
#
# Owns the scratch directory and the zelsim and ferrun processes it starts;
# every one of them is stopped on the way out.
set -uo pipefail

# Everything below is one function, read whole before it runs, so an edit of
# this file cannot change a campaign that is running.
main() {

build=$(cd "${1:?usage: run.sh BUILD_DIR [N] [SEED]}" && pwd) || exit 2
runs=${2:-200}
seed=${3:-$(($(date +%s) % 32768))}
[[ $runs =~ ^[0-9]+$ && $seed =~ ^[0-9]+$ ]] || {
    echo "usage: run.sh BUILD_DIR [N] [SEED]" >&2
    exit 2
}
export LC_ALL=C
RANDOM=$seed

ferrun=${ZEL_FAULTS_FERRUN:-$build/client/ferrun}
library="$build/poll/component/libPoll.so"
regsvr="$build/tools/regsvr"
zelsim="$build/tools/zelsim"
zelpasswd="$build/tools/zelpasswd"
for p in "$ferrun" "$library" "$regsvr" "$zelsim" "$zelpasswd"; do
    [ -e "$p" ] || {
        echo "run.sh: $p is missing (build the tree first)" >&2
        exit 2
    }
done

# Limits.  A ferrun that outlives its deadline counts as hung; the idle limit
# ends stalls well inside it.  The clean run may also meet a lock that the
# killed run held and that is taken over only at its age limit (the file
# log's lock: one minute), so its deadline is longer by that limit.
deadline=30
lock_age_limit=60
clean_deadline=$((deadline + lock_age_limit))
idle=2
max_files=4

work=${ZEL_FAULTS_WORK:-$build/faults-work}
rm -rf "$work"
mkdir -p "$work" || exit 2
work=$(cd "$work" && pwd)
export QVIS_ROOT="$work/root"
export TMPDIR="$work/tmpdir"
comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
down="$work/down"     # ferrun -d
up="$work/up"         # ferrun -p
tmp="$work/tmp"       # TMP, for the runs that set it
data="$work/data"     # zelsim --data-dir; the dealer's files in data/DB
srvup="$work/srvup"   # zelsim --upload-dir; accepted uploads in srvup/DB
expect="$work/expect" # the run's files as they must arrive
log="$work/campaign.log"
mkdir -p "$comm" "$TMPDIR" "$tmp" "$data" "$srvup"

sim_pid=""
runner_pid=""
stop_sim() {
    [ -n "$sim_pid" ] || return 0
    kill -TERM "$sim_pid" 2>/dev/null
    local i
    for i in $(seq 100); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
        echo "  zelsim did not stop on SIGTERM" >>"$log"
        kill -KILL "$sim_pid" 2>/dev/null
    fi
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
}
cleanup() {
    if [ -n "$runner_pid" ]; then
        local child
        child=$(pgrep -P "$runner_pid" 2>/dev/null | head -n1)
        [ -n "$child" ] && kill -KILL "$child" 2>/dev/null
        kill -KILL "$runner_pid" 2>/dev/null
    fi
    stop_sim
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# zelsim on $port with the run's logs and any further options (faults).
start_sim() {
    local ready="$work/zelsim.ready" i
    rm -f "$ready"
    "$zelsim" --address 127.0.0.1 --http-port "$port" --users "$work/users.txt" \
        --data-dir "$data" --upload-dir "$srvup" --post-log "$work/run/post.log" \
        --request-log "$work/run/requests.log" --ready-file "$ready" "$@" \
        >>"$work/run/zelsim.out" 2>&1 &
    sim_pid=$!
    for i in $(seq 200); do
        [ -s "$ready" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "run.sh: zelsim did not start on port $port:" >&2
    cat "$work/run/zelsim.out" >&2
    exit 2
}

# ---------------------------------------------------------------------------
# The system root: the component registered, the unit contract "DB", the
# dealer's password, and ferrun.conf with the campaign's limits.  Guard
# lifetimes are 0: a file skipped because it was fetched or sent within its
# guard lifetime is intended behaviour, not a fault.
mkdir -p "$work/run"
"$regsvr" /s "$library" || {
    echo "run.sh: regsvr failed" >&2
    exit 2
}
printf 'A,B,C,D,E' >"$comm/CONTROL"
printf 'dealer7:s3cret\n' >"$work/users.txt"
"$zelpasswd" dealer7:s3cret >/dev/null || {
    echo "run.sh: zelpasswd failed" >&2
    exit 2
}
printf 'read_timeout=0\nwrite_timeout=0\nidle_timeout=%s\nconnect_timeout=%s\n' \
    "$idle" "$idle" >"$comm/ferrun.conf"

# One fixed port for the whole campaign, so what the component caches about
# the server stays true when zelsim is restarted (and a stopped zelsim is a
# refused connection on the same port).
port=0
start_sim
port=$(sed -n 's/^http_port=//p' "$work/zelsim.ready")
stop_sim
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
    "$port" >"$comm/ISERVER.XML"

# ---------------------------------------------------------------------------
# Counts.  Those in must_be_zero fail the campaign.
declare -A count=()
must_be_zero=(lost corrupt placed_twice sent_twice leftovers hung blocked clean_failed)
info=(kills kills_landed pack_kills pack_kills_landed window_kill window_answer_lost
      faulted_leftovers lock_waits)
for k in "${must_be_zero[@]}" "${info[@]}"; do count[$k]=0; done
declare -A faults_used=()
# The packing pass's kill points (the names its StopPoint calls give them,
# in the pass's order) and, per point, how often one was chosen and how
# often the run stopped there and was killed.
pack_points=(pack-block-written pack-file-packed pack-data-flushed pack-file-named
             pack-names-flushed pack-original-deleted)
declare -A pack_chosen=() pack_landed=()
# How long the last clean run of each direction took (ms): a kill at a random
# moment is drawn within one and a half times that, so that most kills land
# while ferrun runs however fast a run has become.  250 ms before the first.
declare -A clean_ms=([down]=250 [up]=250)
run_findings=0

finding() { # KIND TEXT
    count[$1]=$((count[$1] + $2))
    [ "$2" -gt 0 ] || return 0
    run_findings=1
    echo "  FINDING $1 +$2: $3" >>"$log"
}
# Random numbers in R, never through a command substitution: a subshell's
# draws would not advance the generator, so a seed would not repeat a run.
R=0
rand() { R=$((RANDOM % $1)); }                                  # 0 .. $1-1
between() { R=$(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1))); } # $1 .. $2

# A file's bytes: incompressible noise, or text that packs well.
make_bytes() { # PATH SIZE
    rand 2
    if [ $R = 0 ]; then
        head -c "$2" /dev/urandom >"$1"
    else
        yes "dealer $RANDOM price line $RANDOM" | head -c "$2" >"$1"
    fi
}
mixed_size() { # in R
    rand 4
    case $R in
    0) between 1 64 ;;
    1) between 65 65536 ;;
    2) between 65537 1048576 ;;
    *) between 1048577 3145728 ;;
    esac
}

# Temporaries, staging files, packs, lock files and guard temporaries in a
# directory (not below it).  One name per line.
leftovers_in() {
    [ -d "$1" ] || return 0
    find "$1" -maxdepth 1 -mindepth 1 \( -name '~qvzd*' -o -name '~qvzs*' -o -name '*.dtzpart' \
        -o -name '*.qvzel_lock*' -o -name '.qvzel.*' -o -regex '.*/\..*\.[0-9]+\.[0-9]+' \) \
        -printf '%p\n'
}
all_leftovers() {
    local d
    for d in "$down" "$up" "$comm" "$tmp" "$TMPDIR"; do leftovers_in "$d"; done
}

# Runs ferrun under the hard deadline; a file-size limit (KiB) when $2 is not
# empty, with SIGXFSZ ignored so the write fails instead of killing it; with
# $4, ferrun stops itself at that kill point ("NAME:PASS", ZEL_STOP_AT) for
# the campaign to kill it there.  Starts it in the background: runner_pid is
# the deadline's process.
start_ferrun() { # "-d DIR" or "-p DIR" FSIZE_KIB DEADLINE [STOP_AT]
    local mode=$1 fsz=$2 limit=$3 stop_at=${4:-}
    (
        cd "$work" || exit 1
        if [ -n "$fsz" ]; then
            ulimit -f "$fsz"
            trap '' XFSZ
        fi
        if [ -n "$stop_at" ]; then export ZEL_STOP_AT=$stop_at; else unset ZEL_STOP_AT; fi
        exec timeout -s KILL "$limit" "$ferrun" $mode
    ) >>"$work/run/ferrun.out" 2>&1 &
    runner_pid=$!
}
# The ferrun process under the deadline's timeout (empty when gone); the
# background subshell became timeout by exec.
ferrun_pid() { pgrep -P "$runner_pid" 2>/dev/null | head -n1; }

# The state letter of a process (R, S, D, T, Z, ...; empty when it is gone).
proc_state() { sed -n 's/^[0-9]* (.*) \([A-Za-z]\) .*/\1/p' "/proc/$1/stat" 2>/dev/null; }
# True while the runner of the ferrun started last lives (is not a zombie):
# before its ferrun is there, it may still be about to start it.
runner_alive() {
    local state
    state=$(proc_state "$runner_pid")
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits until the ferrun started last has stopped itself at its kill point
# (true) or has ended (false), within the deadline.  Right after the start
# there may be no ferrun yet (the runner has still to become timeout and
# start it): that is waited out while the runner lives, or a ferrun that
# stops at once would be taken for one that never reached its point.
wait_stopped() {
    local pid i
    for i in $(seq $((deadline * 50))); do
        pid=$(ferrun_pid)
        if [ -z "$pid" ]; then
            runner_alive || return 1
        else
            [ "$(proc_state "$pid")" = T ] && return 0
        fi
        sleep 0.02
    done
    return 1
}

# Waits for the ferrun started last; its exit status in $?.  (The shell's
# "Killed" notice of a killed run is not wanted on the terminal.)
wait_ferrun() {
    local rc
    { wait "$runner_pid"; } 2>/dev/null
    rc=$?
    runner_pid=""
    return $rc
}

# ---------------------------------------------------------------------------
# One run.
one_run() {
    local i=$1 dir fault="" op="" sim_args=() fsz="" kill_ms="" mode
    # Each run starts from a clean system root.  What an earlier run left
    # was counted then; an operator would remove it, and so does this, so
    # that one leftover does not turn every later run into a finding.
    all_leftovers | while read -r f; do rm -f "$f"; done
    rm -rf "$work/run" "$down" "$up" "$expect" "$data/DB" "$srvup/DB"
    mkdir -p "$work/run" "$down" "$up" "$expect" "$data/DB" "$srvup/DB"
    run_findings=0
    # The fault kind first: a kill inside the packing pass needs an upload.
    local kinds
    read -r -a kinds <<<"${ZEL_FAULTS_KINDS:-kill stall cut 503 garbage refused fsize packkill}"
    rand ${#kinds[@]}
    fault=${kinds[$R]}
    local point="" pass=""
    if [ $fault = packkill ]; then
        rand ${#pack_points[@]}
        point=${pack_points[$R]}
    fi
    rand 2
    if [ $R = 0 ]; then dir=down; else dir=up; fi
    [ $fault != packkill ] || dir=up
    # Temporaries go to TMP in half the runs, to the working directory else.
    rand 2
    if [ $R = 0 ]; then export TMP="$tmp"; else unset TMP; fi

    # The files: plain and ".dtz", a few bytes to a few MiB.
    local n k name size names=()
    between 1 "$max_files"
    n=$R
    for k in $(seq "$n"); do
        name="F${i}_$k.DAT"
        mixed_size
        size=$R
        # A packing-pass kill packs its first file at least; one in the
        # middle of its blocks needs a file packed in blocks (1 MiB or more).
        [ "$point$k" != pack-block-written1 ] || { between 1048577 3145728 && size=$R; }
        make_bytes "$expect/$name" "$size"
        rand 3
        if [ -n "$point" ] && [ "$k" = 1 ]; then
            names+=("$name")
        elif [ $R = 0 ]; then
            gzip -c -n "$expect/$name" >"$expect/$name.dtz"
            names+=("$name.dtz")
        else
            names+=("$name")
        fi
    done
    for name in "${names[@]}"; do
        if [ $dir = down ]; then
            cp "$expect/$name" "$data/DB/$name"
        else
            cp "$expect/$name" "$up/$name"
        fi
    done
    if [ $dir = down ]; then mode="-d $down"; else mode="-p $up"; fi

    # The fault.
    local ops
    if [ $dir = down ]; then
        ops=(GetFileListFromQuvaro GetFileFromQuvaro GetFileFromQuvaro PostProcessQuvaroFile
             /qvgqa/RetrieveServerInformation.xml)
    else
        ops=(PutFileFromDealer PutFileFromDealer PutFileFromDealer
             /qvgqa/RetrieveServerInformation.xml)
    fi
    rand ${#ops[@]}
    op=${ops[$R]}
    case $fault in
    kill) between 0 $((clean_ms[$dir] * 3 / 2 + 10)) && kill_ms=$R ;;
    stall) sim_args=(--fault "$op=stall") ;;
    cut) sim_args=(--fault "$op=cut") ;;
    503) between 1 6 && sim_args=(--fault "$op=503x$R") ;;
    garbage) between 1 2 && sim_args=(--fault "$op=garbagex$R") ;;
    fsize) between 4 3072 && fsz=$R ;;
    packkill)
        # Which pass of the point: a file's, or a block's of the first file.
        case $point in
        pack-data-flushed | pack-names-flushed) pass=1 ;;
        pack-block-written) between 1 4 && pass=$R ;;
        *) between 1 "$n" && pass=$R ;;
        esac
        ;;
    esac
    faults_used[$fault]=$((${faults_used[$fault]:-0} + 1))
    {
        echo "run $i: $dir ${names[*]} ($(cd "$expect" && du -cb "${names[@]}" | tail -n1 | cut -f1) bytes) TMP=${TMP:-unset}"
        echo "  fault: $fault ${sim_args[*]:-} ${kill_ms:+after ${kill_ms} ms} ${fsz:+file size limit ${fsz} KiB}${point:+at $point:$pass}"
    } >>"$log"

    # The faulted run.
    [ $fault = refused ] || start_sim "${sim_args[@]}"
    start_ferrun "$mode" "$fsz" "$deadline" "${point:+$point:$pass}"
    local rc
    if [ $fault = packkill ]; then
        count[pack_kills]=$((count[pack_kills] + 1))
        pack_chosen[$point]=$((${pack_chosen[$point]:-0} + 1))
        local pid
        if wait_stopped && pid=$(ferrun_pid) && [ -n "$pid" ]; then
            # What a kill here leaves must already be safe: checked while
            # the process stands at the point, then it is killed there.
            check_at_pack_point
            kill -KILL "$pid" 2>/dev/null
            count[pack_kills_landed]=$((count[pack_kills_landed] + 1))
            pack_landed[$point]=$((${pack_landed[$point]:-0} + 1))
            echo "  killed ferrun $pid at $point:$pass" >>"$log"
            wait_ferrun
            rc=$?
        else
            echo "  $point:$pass not reached" >>"$log"
            wait_ferrun
            rc=$?
            [ $rc -eq 137 ] && finding hung 1 "faulted ferrun outlived its ${deadline} s deadline"
        fi
    elif [ $fault = kill ]; then
        count[kills]=$((count[kills] + 1))
        sleep "$((kill_ms / 1000)).$(printf %03d $((kill_ms % 1000)))"
        local pid landed=""
        pid=$(ferrun_pid)
        # A ferrun not started yet is killed as soon as it is there.
        while [ -z "$pid" ] && runner_alive; do
            sleep 0.002
            pid=$(ferrun_pid)
        done
        [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && landed=y
        wait_ferrun
        rc=$?
        # A kill sent to a ferrun that had already ended its work (or was
        # ending) did not land; only its SIGKILL status tells.
        if [ -n "$landed" ] && [ $rc -eq 137 ]; then
            count[kills_landed]=$((count[kills_landed] + 1))
            echo "  killed ferrun $pid" >>"$log"
        fi
        [ $rc -eq 137 ] && [ -z "$landed" ] &&
            finding hung 1 "faulted ferrun outlived its ${deadline} s deadline"
    else
        wait_ferrun
        rc=$?
        # Only our own kill may end a ferrun with SIGKILL; else the deadline did.
        [ $rc -eq 137 ] && finding hung 1 "faulted ferrun outlived its ${deadline} s deadline"
    fi
    echo "  faulted run exit $rc" >>"$log"
    stop_sim

    # What the faulted run left: leftovers are expected after a kill, so they
    # only count when the clean run does not clear them.
    local left
    left=$(all_leftovers)
    [ -n "$left" ] && count[faulted_leftovers]=$((count[faulted_leftovers] + 1)) &&
        echo "$left" | sed 's/^/  after fault: /' >>"$log"

    # An upload accepted by the server while the file is still here: the
    # dealer side never learnt of the acceptance (killed, or the answer lost).
    local window=()
    if [ $dir = up ]; then
        for name in "${names[@]}"; do
            local local_copy="" stored=""
            for f in "$up/$name" "$up/$name.dtz"; do [ -e "$f" ] && local_copy=$f; done
            stored_matches "$name" && stored=y
            [ -n "$local_copy" ] && [ -n "$stored" ] && window+=("$name")
        done
        [ ${#window[@]} -eq 0 ] || echo "  accepted and still local: ${window[*]}" >>"$log"
    fi

    # The clean run, to the end.
    start_sim
    local t0
    t0=$(date +%s%N)
    start_ferrun "$mode" "" "$clean_deadline"
    wait_ferrun
    rc=$?
    stop_sim
    local ms=$((($(date +%s%N) - t0) / 1000000))
    echo "  clean run exit $rc in $ms ms" >>"$log"
    [ $rc -ne 0 ] || clean_ms[$dir]=$ms
    # A clean run that outlived the plain deadline while the faulted run's
    # locks were about waited for a lock within its age limit.
    if [ $rc -ne 137 ] && [ $ms -gt $((deadline * 1000)) ] && [[ $left == *qvzel_lock* ]]; then
        count[lock_waits]=$((count[lock_waits] + 1))
        echo "  the clean run waited $ms ms for a lock the faulted run held" >>"$log"
    fi
    if [ $rc -eq 137 ]; then
        finding hung 1 "clean ferrun outlived its ${clean_deadline} s deadline"
    elif [ $rc -ne 0 ]; then
        finding clean_failed 1 "clean ferrun exited with $rc"
    fi

    if [ $dir = down ]; then check_download; else check_upload; fi

    left=$(all_leftovers)
    if [ -n "$left" ]; then
        finding leftovers "$(echo "$left" | wc -l)" "left after the clean run: $(echo $left)"
    fi
    if [ $run_findings = 1 ]; then
        mkdir -p "$work/findings/run$i"
        cp -r "$work/run/." "$down" "$up" "$srvup/DB" "$work/findings/run$i/" 2>/dev/null
        cp "$comm"/qvzel.log "$comm"/client.log "$work/findings/run$i/" 2>/dev/null
        ls -la "$comm" "$down" "$up" "${TMP:-$TMPDIR}" >"$work/findings/run$i/listing" 2>&1
    fi
}

# At a kill point of the packing pass: every file is still there with its
# bytes, or its ".dtz" is there and whole, or both; a ".dtz" that is there is
# whole.  The originals are deleted while the first files are sent, so at
# "pack-original-deleted" a file may also be gone because the server holds
# it.  What a kill loses is counted as lost or corrupt.
check_at_pack_point() {
    local name dtz
    ls -la "$up" | sed 's/^/  at the kill point: /' >>"$log"
    for name in "${names[@]}"; do
        if [[ $name == *.dtz ]]; then
            cmp -s "$up/$name" "$expect/$name" || stored_matches "$name" ||
                finding lost 1 "$name not as it was at the kill point $point:$pass"
            continue
        fi
        dtz="$up/$name.dtz"
        if [ -e "$dtz" ] && ! gzip -dc "$dtz" 2>/dev/null | cmp -s - "$expect/$name"; then
            finding corrupt 1 "$name.dtz not whole at the kill point $point:$pass"
        fi
        if [ -e "$up/$name" ]; then
            cmp -s "$up/$name" "$expect/$name" ||
                finding corrupt 1 "$name changed at the kill point $point:$pass"
        elif [ ! -e "$dtz" ] && ! stored_matches "$name"; then
            finding lost 1 "$name and its .dtz both gone at the kill point $point:$pass"
        fi
    done
}

# True when the server holds the upload of NAME with the right bytes: NAME
# itself, or (a plain file, packed on the way) NAME.dtz unpacking to it.
stored_matches() {
    local name=$1
    if [[ $name == *.dtz ]]; then
        cmp -s "$srvup/DB/$name" "$expect/$name"
        return
    fi
    cmp -s "$srvup/DB/$name" "$expect/$name" 2>/dev/null && return 0
    [ -e "$srvup/DB/$name.dtz" ] && gzip -dc "$srvup/DB/$name.dtz" 2>/dev/null | cmp -s - "$expect/$name"
}

# Acceptances of uploads (status 200) of one file name in the run's request log.
acceptances() {
    local n
    n=$(grep -c "^POST /qvgqa/poll/PutFileFromDealer?.*FileName=$1&.* 200 " \
        "$work/run/requests.log" 2>/dev/null)
    echo "${n:-0}"
}

check_download() {
    local name final acks
    for name in "${names[@]}"; do
        final=${name%.dtz}
        if [ -e "$down/$final" ]; then
            # The placed file must hold exactly what was published (unpacked).
            if ! cmp -s "$down/$final" "$expect/$final"; then
                finding corrupt 1 "$down/$final differs from the published bytes"
            fi
        elif [ -e "$data/DB/$name" ]; then
            finding blocked 1 "$name still published after the clean run"
        else
            finding lost 1 "$name acknowledged but not placed"
        fi
        acks=$(grep -c -x "DB	$name" "$work/run/post.log" 2>/dev/null)
        [ "${acks:-0}" -gt 1 ] && finding placed_twice 1 "$name acknowledged $acks times"
    done
    # Nothing else may appear under a final name in the working directory.
    local f
    for f in "$down"/*; do
        [ -e "$f" ] || continue
        case ${f##*/} in
        Poll.Result) continue ;;
        esac
        local known=""
        for name in "${names[@]}"; do [ "${f##*/}" = "${name%.dtz}" ] && known=y; done
        [ -n "$known" ] || [[ ${f##*/} == '~qvz'* ]] ||
            finding corrupt 1 "unexpected file $f in the download directory"
    done
}

check_upload() {
    local name n w
    for name in "${names[@]}"; do
        local still=""
        for f in "$up/$name" "$up/$name.dtz"; do [ -e "$f" ] && still=$f; done
        if stored_matches "$name"; then
            [ -n "$still" ] && finding blocked 1 "$name stored and still waiting locally"
        elif [ -n "$still" ]; then
            finding blocked 1 "$name not sent by the clean run ($still)"
        elif [ -e "$srvup/DB/$name" ] || [ -e "$srvup/DB/$name.dtz" ]; then
            finding corrupt 1 "$name stored at the server with other bytes"
        else
            finding lost 1 "$name neither stored nor kept"
        fi
        # A local file under a final name must still hold its bytes.
        if [ "$still" = "$up/$name" ] && ! cmp -s "$still" "$expect/$name"; then
            finding corrupt 1 "$still changed"
        elif [ -n "$still" ] && [ "$still" = "$up/$name.dtz" ] &&
            ! gzip -dc "$still" 2>/dev/null | cmp -s - "$expect/$name"; then
            finding corrupt 1 "$still does not unpack to the file"
        fi
        n=0
        for stored in "$name" "$name.dtz"; do
            [[ $name == *.dtz && $stored == *.dtz.dtz ]] && continue
            n=$((n + $(acceptances "$stored")))
        done
        if [ "$n" -gt 1 ]; then
            local in_window="" first
            for w in "${window[@]}"; do [ "$w" = "$name" ] && in_window=y; done
            # The first upload of the run, when its answer was the one cut.
            first=$(grep -m1 '^POST /qvgqa/poll/PutFileFromDealer?' "$work/run/requests.log")
            if [ "$n" -eq 2 ] && [ -n "$in_window" ] && [ $fault = kill ]; then
                count[window_kill]=$((count[window_kill] + 1))
                echo "  window: $name accepted, then sent again (killed before the local delete)" >>"$log"
            elif [ "$n" -eq 2 ] && [ $fault = cut ] && [ "$op" = PutFileFromDealer ] &&
                [[ $first == *"FileName=$name"[\&.]* ]]; then
                count[window_answer_lost]=$((count[window_answer_lost] + 1))
                echo "  window: $name accepted, then sent again (its answer was cut short)" >>"$log"
            else
                finding sent_twice 1 "$name accepted $n times"
            fi
        fi
    done
    local f
    for f in "$srvup"/DB/*; do
        [ -e "$f" ] || continue
        local known=""
        for name in "${names[@]}"; do
            [ "${f##*/}" = "$name" ] || [ "${f##*/}" = "$name.dtz" ] && known=y
        done
        [ -n "$known" ] || finding corrupt 1 "unexpected upload ${f##*/} at the server"
    done
}

# ---------------------------------------------------------------------------
echo "fault campaign: $runs runs, seed $seed, port $port, work $work"
echo "fault campaign: $runs runs, seed $seed" >"$log"
started=$(date +%s)
for i in $(seq "$runs"); do
    one_run "$i"
    if [ $((i % 20)) -eq 0 ] || [ "$i" -eq "$runs" ]; then
        bad=0
        for k in "${must_be_zero[@]}"; do bad=$((bad + count[$k])); done
        printf '  %d/%d runs, %d s, findings %d\n' "$i" "$runs" $(($(date +%s) - started)) "$bad"
    fi
done

echo
echo "faults used:$(for k in "${!faults_used[@]}"; do printf ' %s=%s' "$k" "${faults_used[$k]}"; done)"
echo "kills sent $((count[kills])), landed while ferrun ran ${count[kills_landed]}"
echo "packing-pass kills chosen ${count[pack_kills]}, stopped at their point and killed" \
    "${count[pack_kills_landed]}, by point (killed/chosen):"
for p in "${pack_points[@]}"; do
    printf '  %-22s %s/%s\n' "$p" "${pack_landed[$p]:-0}" "${pack_chosen[$p]:-0}"
done
status=0
printf '%-20s %s\n' "count" "value"
for k in "${must_be_zero[@]}"; do
    printf '%-20s %s\n' "$k" "${count[$k]}"
    [ "${count[$k]}" -eq 0 ] || status=1
done
printf '%-20s %s   (reported: accepted by the server, killed before the local delete)\n' \
    window_kill "${count[window_kill]}"
printf '%-20s %s   (reported: accepted by the server, its answer cut short, sent again)\n' \
    window_answer_lost "${count[window_answer_lost]}"
printf '%-20s %s   (reported: faulted runs that left temporaries for the clean run)\n' \
    faulted_leftovers "${count[faulted_leftovers]}"
printf '%-20s %s   (reported: clean runs that waited for a lock of the killed run, up to its age limit)\n' \
    lock_waits "${count[lock_waits]}"
echo "wall time $(($(date +%s) - started)) s; details in $log"
[ $status -eq 0 ] && echo "fault campaign: PASS" || echo "fault campaign: FAIL"
exit $status
}

main "$@"
exit
