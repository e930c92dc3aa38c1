#!/usr/bin/env bash
# The benchmark runner: the transfer pipelines of `ferrun` against what a user
# would otherwise script by hand with curl, gzip and crc32, on the same
# loopback zelsim, the same files and the same disk, in one run.
#
#   bench/run.sh BUILD_DIR [OUTPUT.md]
#
# Every case runs side A (ours) and side B (the hand-made equivalent)
# alternately, BENCH_RUNS times each (default 5), and reports minimum, median
# and maximum of wall time and peak resident memory, measured by
# bench_measure from the build.  The table goes to standard output and to
# OUTPUT.md (default: BUILD_DIR/bench-results.md).
#
# Settings (environment): BENCH_RUNS (5), BENCH_BIG_MIB (256),
# BENCH_SMALL_COUNT (1000), BENCH_IDLE_SECONDS (300), BENCH_DIR (scratch
# directory on the disk under test, default ./scratch/bench), BENCH_ZELSIM
# (the simulator to serve from, default BUILD_DIR's: comparing two builds,
# both are best served by the same one).
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR [OUTPUT.md]}" && pwd)
out=${2:-$build/bench-results.md}
runs=${BENCH_RUNS:-5}
big_mib=${BENCH_BIG_MIB:-256}
small_count=${BENCH_SMALL_COUNT:-1000}
idle_seconds=${BENCH_IDLE_SECONDS:-300}
here=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$here/scratch/bench}

measure="$build/bench/bench_measure"
zelsim=${BENCH_ZELSIM:-$build/tools/zelsim}
ferrun="$build/client/ferrun"
for prog in "$measure" "$ferrun" "$zelsim" "$build/tools/regsvr" \
    "$build/tools/zelpasswd" "$build/poll/component/libPoll.so" "$build/scheduler/qvzel_cron"; do
    [ -e "$prog" ] || { echo "bench: $prog is not built" >&2; exit 1; }
done
for tool in curl gzip crc32 dd; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
root="$work/root"
comm="$root/Apps/QVIS/PROG/COMM"
data="$work/data/DB"     # what zelsim publishes for unit contract DB
uploads="$work/uploads"  # what zelsim accepted
payload="$work/payload"  # the source files, never touched by a case
mkdir -p "$comm" "$data" "$uploads" "$payload"
export QVIS_ROOT="$root"
unset SSL_CERT_FILE SSL_CERT_DIR http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY

sim_pid=
cron_pid=
cleanup() {
    [ -n "$cron_pid" ] && kill -TERM "$cron_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*" >&2; }

# --- the system root and the simulator --------------------------------------
printf 'A,B,C,D,E' >"$comm/CONTROL"  # unit contract "DB"
"$build/tools/regsvr" /s "$build/poll/component/libPoll.so"
printf 'dealer7:s3cret\n' >"$work/users"
"$build/tools/zelpasswd" dealer7:s3cret
"$zelsim" --ready-file "$work/ready" --users "$work/users" \
    --data-dir "$work/data" --upload-dir "$uploads" --no-sync >"$work/zelsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do [ -s "$work/ready" ] && break; sleep 0.1; done
port=$(sed -n 's/^http_port=//p' "$work/ready" 2>/dev/null || true)
[ -n "$port" ] || { echo "bench: zelsim did not start" >&2; cat "$work/zelsim.out" >&2; exit 1; }
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
    "$port" >"$comm/ISERVER.XML"
ops="http://127.0.0.1:$port/qvgqa/poll"
auth=(-u dealer7:s3cret)
# One download first: the server directory is fetched and cached, so no
# timed run pays for it.
(cd "$work" && "$ferrun" -d "$work" >/dev/null) || true

# The acknowledgement a hand script would send, as the component sends it.
list_body() {
    printf '<SOAP:Envelope xmlns:SOAP="urn:schemas-xmlsoap-org:soap.v1"><SOAP:Body><m:GetFileListFromQuvaro xmlns:m="urn:poll-input"><R1><!-- Dealer Name --><DN>DB</DN></R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>'
}
ack_body() {
    printf '<SOAP:Envelope xmlns:SOAP="urn:schemas-xmlsoap-org:soap.v1"><SOAP:Body><m:PostProcessQuvaroFile xmlns:m="urn:poll-input"><R1><UC>DB</UC><FN>%s</FN></R1></m:PostProcessQuvaroFile></SOAP:Body></SOAP:Envelope>' "$1"
}
crc_decimal() { printf '%d' "0x$(crc32 "$1")"; }

# --- the idle schedule service (runs alongside the other cases) -------------
start_idle_service() {
    "$build/scheduler/qvzel_cron" -RegServer >/dev/null
    # One entry, due at an hour that is not within the next hours.
    local hour=$(( ($(date +%-H) + 12) % 24 ))
    printf 'idle 0 %d 0123456 qvzelup.bat\r\n' "$hour" >"$comm/crontab.dat"
    "$build/scheduler/qvzel_cron" >"$work/cron.out" 2>&1 &
    cron_pid=$!
    idle_started=$(date +%s)
}
idle_cpu_seconds() {
    # utime and stime, fields 14 and 15 of /proc/PID/stat, in clock ticks.
    local stat ticks
    stat=$(cat "/proc/$cron_pid/stat")
    ticks=$(getconf CLK_TCK)
    echo "$stat" | awk -v t="$ticks" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / t }'
}

# --- measurement --------------------------------------------------------------
# results: one line per run "case side wall_s maxrss_kib"
results="$work/results.txt"
: >"$results"
measure_run() {  # case side command...
    local case=$1 side=$2 line
    shift 2
    sync  # earlier runs' dirty pages are not charged to this one
    line=$("$measure" "$@" 2>>"$work/errors.txt" | tail -n 1) || {
        echo "bench: $case/$side failed: $line" >&2
        tail -n 20 "$work/errors.txt" >&2
        exit 1
    }
    echo "$case $side $line" >>"$work/measure.log"  # with CPU times, for a closer look
    local wall rss
    wall=$(echo "$line" | sed -n 's/.*wall_s=\([0-9.]*\).*/\1/p')
    rss=$(echo "$line" | sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p')
    echo "$case $side $wall $rss" >>"$results"
    printf '  %-14s %-10s %8.3f s %8d KiB\n' "$case" "$side" "$wall" "$rss" >&2
}

# --- the payloads ---------------------------------------------------------------
say "Making the payloads (${big_mib} MiB, ${small_count} x 4 KiB)"
# Text-like data that compresses about 4:3, like business files.
# (76 characters and a line feed per 57 random bytes: just under the size.)
head -c $((big_mib * 1024 * 1024 / 77 * 57)) /dev/urandom | base64 -w 76 >"$payload/BIG.DAT"
gzip -6 -c "$payload/BIG.DAT" >"$payload/BIG.DAT.dtz"
big_fc=$(crc_decimal "$payload/BIG.DAT.dtz")
mkdir -p "$payload/small"
for i in $(seq -w 1 "$small_count"); do
    head -c 3072 /dev/urandom | base64 -w 0 >"$payload/small/F$i.DAT"
done
small_crcs="$payload/small.crc"  # "name decimal-crc" per file, made up front
# One crc32 for all of them ("HEX<tab>PATH" per file).
crc32 "$payload"/small/*.DAT | while IFS=$'\t' read -r hex path; do
    printf '%s %d\n' "$(basename "$path")" "0x$hex"
done >"$small_crcs"

down="$work/down"
up="$work/up"
reset_dir() { rm -rf "$1"; mkdir -p "$1"; }
publish() {  # files... : published anew (the acknowledgement moves them away)
    rm -rf "$data" "$work/data/DB/.acknowledged"
    mkdir -p "$data"
    ln "$@" "$data/"
}
# Tuning: the defaults (compression 6), except that a file fetched or sent
# is not guarded against a second transfer for hours ("read_timeout" and
# "write_timeout" 0), since every run transfers the same names again.
tuning='read_timeout=0\nwrite_timeout=0\n'
printf "$tuning" >"$comm/ferrun.conf"

# --- case: reference ----------------------------------------------------------
say "Physical reference: the payload from the page cache to the disk, one flush"
cat "$payload/BIG.DAT" >/dev/null
for _ in $(seq "$runs"); do
    reset_dir "$down"
    measure_run reference copy dd if="$payload/BIG.DAT" of="$down/BIG.DAT" bs=256K \
        conv=fdatasync status=none
done

start_idle_service

# --- case 1: one big ".dtz" download --------------------------------------------
cat >"$work/hand_download.sh" <<EOF
#!/usr/bin/env bash
# By hand: fetch, check the CRC-32, unpack, (flush,) acknowledge.
set -euo pipefail
cd "\$1"
curl -sS -f ${auth[*]} -o BIG.DAT.dtz "$ops/GetFileFromQuvaro?UnitContract=DB&FileName=BIG.DAT.dtz&QueryVersion=001"
[ "\$(printf '%d' "0x\$(crc32 BIG.DAT.dtz)")" = "$big_fc" ]
gzip -d -f -S .dtz BIG.DAT.dtz
if [ "\$2" = flush ]; then sync -d BIG.DAT .; fi
curl -sS -f ${auth[*]} -H 'Content-Type: text/xml' --data-binary @"$work/ack_big.xml" \
    -o /dev/null "$ops/PostProcessQuvaroFile?UnitContract=DB&QueryVersion=001"
EOF
chmod +x "$work/hand_download.sh"
ack_body BIG.DAT.dtz >"$work/ack_big.xml"
say "Case 1: one ${big_mib} MiB .dtz download"
for _ in $(seq "$runs"); do
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"
    measure_run dl_big ferrun "$ferrun" -d "$down"
    cmp -s "$down/BIG.DAT" "$payload/BIG.DAT" || { echo "bench: ferrun's download differs" >&2; exit 1; }
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"
    measure_run dl_big hand "$work/hand_download.sh" "$down" noflush
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"
    measure_run dl_big hand+flush "$work/hand_download.sh" "$down" flush
done
cmp -s "$down/BIG.DAT" "$payload/BIG.DAT" || { echo "bench: hand download differs" >&2; exit 1; }

# --- case 2: one big upload -----------------------------------------------------
cat >"$work/hand_upload.sh" <<EOF
#!/usr/bin/env bash
# By hand: gzip -6, CRC-32 of what is sent, POST it, delete the original.
set -euo pipefail
cd "\$1"
gzip -6 -c BIG.DAT >BIG.DAT.dtz
crc=\$(printf '%d' "0x\$(crc32 BIG.DAT.dtz)")
curl -sS -f ${auth[*]} -H 'Content-Type: application/octet-stream' -H 'Expect:' -T BIG.DAT.dtz -X POST \
    -o /dev/null "$ops/PutFileFromDealer?UnitContract=DB&FileName=BIG.DAT.dtz&CheckSum=\$crc&Filter=RW&QueryVersion=001"
rm -f BIG.DAT BIG.DAT.dtz
EOF
chmod +x "$work/hand_upload.sh"
say "Case 2: one ${big_mib} MiB upload"
for _ in $(seq "$runs"); do
    # A copy, not a link: each side deletes the file it sent.
    reset_dir "$up"; cp "$payload/BIG.DAT" "$up/BIG.DAT"
    measure_run ul_big ferrun "$ferrun" -p "$up"
    [ ! -e "$up/BIG.DAT" ] || { echo "bench: ferrun left BIG.DAT" >&2; exit 1; }
    reset_dir "$up"; cp "$payload/BIG.DAT" "$up/BIG.DAT"
    measure_run ul_big hand "$work/hand_upload.sh" "$up"
done

# --- case 3: many small files -------------------------------------------------
# The shell loop: one curl per request, the same requests as ferrun makes
# (the list, then a GET and an acknowledgement per file).  CRCs are known in
# advance, so the loop is charged for the requests only.
mkdir -p "$work/acks"
list_body >"$work/list.xml"
while read -r name _; do ack_body "$name" >"$work/acks/$name.xml"; done <"$small_crcs"
cat >"$work/loop_download.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
cd "\$1"
curl -sS -f ${auth[*]} -H 'Content-Type: text/xml' --data-binary @"$work/list.xml" \
    -o list.xml "$ops/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001"
while read -r name crc; do
    curl -sS -f ${auth[*]} -o "\$name" "$ops/GetFileFromQuvaro?UnitContract=DB&FileName=\$name&QueryVersion=001"
    curl -sS -f ${auth[*]} -H 'Content-Type: text/xml' --data-binary @"$work/acks/\$name.xml" \
        -o /dev/null "$ops/PostProcessQuvaroFile?UnitContract=DB&QueryVersion=001"
done <"$small_crcs"
EOF
# One curl process for all the requests, reusing its connection.
{
    printf 'silent\nshow-error\nfail\nuser = "dealer7:s3cret"\n'
    printf 'url = "%s/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001"\n' "$ops"
    printf 'header = "Content-Type: text/xml"\ndata-binary = "@%s"\noutput = "list.xml"\n' "$work/list.xml"
    while read -r name _; do
        printf 'next\nuser = "dealer7:s3cret"\nurl = "%s/GetFileFromQuvaro?UnitContract=DB&FileName=%s&QueryVersion=001"\noutput = "%s"\n' \
            "$ops" "$name" "$name"
        printf 'next\nuser = "dealer7:s3cret"\nurl = "%s/PostProcessQuvaroFile?UnitContract=DB&QueryVersion=001"\n' "$ops"
        printf 'header = "Content-Type: text/xml"\ndata-binary = "@%s/acks/%s.xml"\noutput = "/dev/null"\n' "$work" "$name"
    done <"$small_crcs"
} >"$work/one_curl_download.conf"
cat >"$work/loop_upload.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
cd "\$1"
while read -r name crc; do
    curl -sS -f ${auth[*]} -H 'Content-Type: application/octet-stream' -H 'Expect:' -T "\$name" -X POST \
        -o /dev/null "$ops/PutFileFromDealer?UnitContract=DB&FileName=\$name&CheckSum=\$crc&Filter=RW&QueryVersion=001"
    rm -f "\$name"
done <"$small_crcs"
EOF
{
    printf 'silent\nshow-error\nfail\n'
    first=1
    while read -r name crc; do
        [ "$first" = 1 ] || printf 'next\n'
        first=0
        printf 'user = "dealer7:s3cret"\nheader = "Content-Type: application/octet-stream"\nheader = "Expect:"\nrequest = "POST"\n'
        printf 'upload-file = "%s"\nurl = "%s/PutFileFromDealer?UnitContract=DB&FileName=%s&CheckSum=%s&Filter=RW&QueryVersion=001"\noutput = "/dev/null"\n' \
            "$name" "$ops" "$name" "$crc"
    done <"$small_crcs"
} >"$work/one_curl_upload.conf"
chmod +x "$work/loop_download.sh" "$work/loop_upload.sh"

say "Case 3: ${small_count} files of 4 KiB down and up"
# Uploads of small files go uncompressed on both sides ("compression" 0), so
# both send the same bytes with the same checksums.
for _ in $(seq "$runs"); do
    publish "$payload"/small/*.DAT; reset_dir "$down"
    measure_run dl_small ferrun "$ferrun" -d "$down"
    [ "$(find "$down" -name 'F*.DAT' | wc -l)" = "$small_count" ] ||
        { echo "bench: ferrun placed too few files" >&2; exit 1; }
    publish "$payload"/small/*.DAT; reset_dir "$down"
    measure_run dl_small curl-loop "$work/loop_download.sh" "$down"
    publish "$payload"/small/*.DAT; reset_dir "$down"
    measure_run dl_small one-curl bash -c "cd '$down' && curl --config '$work/one_curl_download.conf'"

    printf "${tuning}compression=0\n" >"$comm/ferrun.conf"
    reset_dir "$up"; cp "$payload"/small/*.DAT "$up/"
    measure_run ul_small ferrun "$ferrun" -p "$up"
    [ -z "$(find "$up" -name "F*.DAT")" ] || { echo "bench: ferrun left files to upload" >&2; exit 1; }
    printf "$tuning" >"$comm/ferrun.conf"
    reset_dir "$up"; cp "$payload"/small/*.DAT "$up/"
    measure_run ul_small curl-loop "$work/loop_upload.sh" "$up"
    reset_dir "$up"; cp "$payload"/small/*.DAT "$up/"
    measure_run ul_small one-curl bash -c "cd '$up' && curl --config '$work/one_curl_upload.conf'"
done

# --- case 4: the idle schedule service -------------------------------------------
left=$(( idle_seconds - ($(date +%s) - idle_started) ))
if [ "$left" -gt 0 ]; then
    say "Case 4: waiting ${left} s more for the idle schedule service"
    sleep "$left"
fi
kill -0 "$cron_pid" 2>/dev/null || { echo "bench: qvzel_cron ended early" >&2; cat "$work/cron.out" >&2; exit 1; }
idle_cpu=$(idle_cpu_seconds)
idle_rss=$(awk '/VmHWM/ { print $2 }' "/proc/$cron_pid/status")
idle_span=$(( $(date +%s) - idle_started ))

# --- the table --------------------------------------------------------------------
stats() {  # case side field(3=wall,4=rss) -> "min median max"
    awk -v c="$1" -v s="$2" -v f="$3" '$1 == c && $2 == s { print $f }' "$results" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) { print "- - -"; exit }
              m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%s %s %s\n", v[1], m, v[NR] }'
}
row() {  # case side-a side-b label
    local a b
    read -r amin amed amax <<<"$(stats "$1" "$2" 3)"
    read -r bmin bmed bmax <<<"$(stats "$1" "$3" 3)"
    read -r _ arss _ <<<"$(stats "$1" "$2" 4)"
    read -r _ brss _ <<<"$(stats "$1" "$3" 4)"
    awk -v l="$4" -v amin="$amin" -v amed="$amed" -v amax="$amax" -v bmin="$bmin" \
        -v bmed="$bmed" -v bmax="$bmax" -v arss="$arss" -v brss="$brss" 'BEGIN {
        printf "| %s | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | **%.2f** (%.2f-%.2f) | %.1f / %.1f |\n",
            l, amin, amed, amax, bmin, bmed, bmax, amed / bmed, amin / bmax, amax / bmin,
            arss / 1024, brss / 1024 }'
}
ratio() {  # case side-a side-b -> A's median wall time over B's
    local amed bmed
    read -r _ amed _ <<<"$(stats "$1" "$2" 3)"
    read -r _ bmed _ <<<"$(stats "$1" "$3" 3)"
    awk -v a="$amed" -v b="$bmed" 'BEGIN { printf "%.2f", a / b }'
}
median_mib() {  # case side -> median peak RSS in MiB
    local med
    read -r _ med _ <<<"$(stats "$1" "$2" 4)"
    awk -v m="$med" 'BEGIN { printf "%.1f", m / 1024 }'
}
goal() {  # text measured limit -> one line, "met" when measured <= limit
    awk -v t="$1" -v m="$2" -v l="$3" 'BEGIN {
        printf "- %s: %s (%s)\n", t, m, (m + 0 <= l + 0) ? "met" : "missed" }'
}
goals() {
    local big_rss small_rss
    big_rss=$(awk -v a="$(median_mib dl_big ferrun)" -v b="$(median_mib ul_big ferrun)" \
        'BEGIN { printf "%.1f", (a > b) ? a : b }')
    small_rss=$(awk -v a="$(median_mib dl_small ferrun)" -v b="$(median_mib ul_small ferrun)" \
        'BEGIN { printf "%.1f", (a < b) ? a : b }')
    echo "Goals (median ratios):"
    echo
    goal "${big_mib} MiB .dtz download at most 0.9 x the hand pipeline with a final flush" \
        "$(ratio dl_big ferrun hand+flush)" 0.9
    goal "${big_mib} MiB upload at most 1.05 x gzip -6 + curl" "$(ratio ul_big ferrun hand)" 1.05
    goal "${small_count} small files down at most 0.5 x the shell loop of curl" \
        "$(ratio dl_small ferrun curl-loop)" 0.5
    goal "${small_count} small files up at most 0.5 x the shell loop of curl" \
        "$(ratio ul_small ferrun curl-loop)" 0.5
    goal "peak RSS of the ${big_mib} MiB cases under 16 MiB" "${big_rss} MiB" 15.99
    goal "and within 2 MiB of the 4 KiB cases' (${small_rss} MiB)" \
        "$(awk -v a="$big_rss" -v b="$small_rss" 'BEGIN { printf "%.1f MiB", a - b }')" 2
    goal "idle schedule service under 0.1 s of CPU in five minutes" \
        "$(awk -v c="$idle_cpu" -v s="$idle_span" 'BEGIN { printf "%.3f s", (s > 0) ? c * 300 / s : c }')" 0.099
}
# The file system of the scratch directory, and for ext4 whether it keeps a
# journal: without one, ext4 skips recently deleted inodes on every file it
# creates, so runs that create and remove many small files slow down.
disk_kind() {
    local fs dev task
    fs=$(df -T "$work" | awk 'NR == 2 { print $2 }')
    dev=$(df "$work" | awk 'NR == 2 { print $1 }')
    task=/sys/fs/ext4/$(basename "$dev")/journal_task
    if [ "$fs" = ext4 ] && [ -r "$task" ]; then
        if [ "$(cat "$task")" = "<none>" ]; then fs="ext4 without a journal"; else fs="ext4 with a journal"; fi
    fi
    echo "$fs"
}
{
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
        "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);" \
        "disk: $(disk_kind); $(date -u '+%Y-%m-%d'); $runs runs per side."
    echo
    echo "| case (A vs B) | A wall s min / median / max | B wall s min / median / max | ratio A/B median (spread) | peak RSS MiB A / B |"
    echo "|---|---|---|---|---|"
    row dl_big ferrun hand "${big_mib} MiB .dtz download: ferrun -d vs curl+crc32+gzip -d+curl (no flush)"
    row dl_big ferrun hand+flush "${big_mib} MiB .dtz download: ferrun -d vs the same with a final flush"
    row ul_big ferrun hand "${big_mib} MiB upload: ferrun -p vs gzip -6 + crc32 + curl -T"
    row dl_small ferrun curl-loop "${small_count} x 4 KiB download: ferrun -d vs a shell loop of curl"
    row dl_small ferrun one-curl "${small_count} x 4 KiB download: ferrun -d vs one curl for all URLs"
    row ul_small ferrun curl-loop "${small_count} x 4 KiB upload: ferrun -p vs a shell loop of curl"
    row ul_small ferrun one-curl "${small_count} x 4 KiB upload: ferrun -p vs one curl for all URLs"
    read -r rmin rmed rmax <<<"$(stats reference copy 3)"
    echo
    echo "Physical reference (${big_mib} MiB from the page cache to the disk, one flush):" \
        "${rmin} / ${rmed} / ${rmax} s."
    echo "Idle schedule service: ${idle_cpu} s of CPU in ${idle_span} s, peak RSS $((idle_rss / 1024)) MiB."
    echo
    goals
} >"$out"
echo >&2
cat "$out"
