#!/usr/bin/env bash
# The benchmark runner: the transfer pipelines of `ferrun` against what a user
# would otherwise script by hand with curl, gzip and crc32, and against the
# best tool for each job (pigz on every core, one curl process for all the
# requests, gzip -d alone), on the same loopback zelsim, the same files and
# the same disk, in one run; then each goal, met or missed, with its figure.
#
#   bench/run.sh BUILD_DIR [OUTPUT.md]
#
# Every case runs ferrun and its references alternately, BENCH_RUNS times
# each (default 3; 5 with BENCH_FULL=1), and reports minimum, median and
# maximum of wall time and peak resident memory, measured by bench_measure
# from the build.  ferrun
# runs with the settings a user gets (no ferrun.conf): between runs only the
# guard files are removed, so that the same names may be fetched and sent
# again.  After every run of every side its output is compared byte for byte
# with the originals (downloaded files with the published ones, uploads as
# zelsim stored them, unpacked, with the sent ones); any difference, a
# missing acknowledgement or result line, or a file left behind ends the run
# with an error.  The table goes to standard output and to OUTPUT.md
# (default: BUILD_DIR/bench-results.md).
#
# Settings (environment): BENCH_FULL (1: the sizes the goals name, 256 MiB,
# 1,000 and 5,000 small files, five minutes idle, 5 runs; otherwise smaller
# ones that keep a run within minutes), BENCH_RUNS, BENCH_SMALL_RUNS (runs
# of the small-file cases, default BENCH_RUNS), BENCH_LOOP_RUNS (3: the
# shell loops of one curl per request are slow and far from ferrun, so they
# run only in the first runs of the small-file cases), BENCH_BIG_MIB (64;
# full 256), BENCH_SMALL_COUNT (500; full 1000), BENCH_MANY_COUNT (the
# count that tells whether the cost per file stays constant: five times
# the small count), BENCH_IDLE_SECONDS (60; full 300), BENCH_DIR (scratch
# directory on the disk under test, default ./scratch/bench), BENCH_SERVER_DIR
# (where the simulator stores what it accepts, default a new directory in
# /dev/shm, else below BENCH_DIR), BENCH_ZELSIM
# (the simulator to serve from, default BUILD_DIR's), BENCH_BASELINE (the
# build directory of another tree: its ferrun then also runs every
# small-file case, alternately with this build's, from a system root of its
# own that its own tools set up, and the table shows after/before ratios).
set -euo pipefail

build=$(cd "${1:?usage: bench/run.sh BUILD_DIR [OUTPUT.md]}" && pwd)
out=${2:-$build/bench-results.md}
if [ "${BENCH_FULL:-0}" = 1 ]; then
    runs=${BENCH_RUNS:-5}
    big_mib=${BENCH_BIG_MIB:-256}
    small_count=${BENCH_SMALL_COUNT:-1000}
    idle_seconds=${BENCH_IDLE_SECONDS:-300}
else
    runs=${BENCH_RUNS:-3}
    big_mib=${BENCH_BIG_MIB:-64}
    small_count=${BENCH_SMALL_COUNT:-500}
    idle_seconds=${BENCH_IDLE_SECONDS:-60}
fi
small_runs=${BENCH_SMALL_RUNS:-$runs}
loop_runs=${BENCH_LOOP_RUNS:-3}
many_count=${BENCH_MANY_COUNT:-$((5 * small_count))}
# A file of an eighth of the big one's size (at least 2 MiB: packed on every
# core too): the same peak memory for both is what "flat" means.
mid_mib=$(( big_mib / 8 > 2 ? big_mib / 8 : 2 ))
cores=$(nproc)
here=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$here/scratch/bench}
baseline=
if [ -n "${BENCH_BASELINE:-}" ]; then baseline=$(cd "$BENCH_BASELINE" && pwd); fi

fail() {
    echo "bench: $*" >&2
    exit 1
}
measure="$build/bench/bench_measure"
zelsim=${BENCH_ZELSIM:-$build/tools/zelsim}
# What a system root needs from a build (its ferrun, the component and the
# tools that register it and store the password).
root_programs() { echo "$1/client/ferrun $1/tools/regsvr $1/tools/zelpasswd $1/poll/component/libPoll.so"; }
floor="$build/bench/bench_flush_floor"
for prog in "$measure" "$floor" "$zelsim" "$build/scheduler/qvzel_cron" $(root_programs "$build") \
    ${baseline:+$(root_programs "$baseline")}; do
    [ -e "$prog" ] || fail "$prog is not built"
done
for tool in curl gzip pigz crc32 dd sha256sum openssl; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
data="$work/data/DB"     # what zelsim publishes for unit contract DB
# What zelsim accepted goes to a file system of its own where the machine
# has one in memory (/dev/shm), as a central server has a disk of its own:
# on the disk under test, every file the server creates would be charged
# for what the client just deleted there (ext4 without a journal scans past
# every inode deleted within the last minute on each file it creates).
server_dir=${BENCH_SERVER_DIR:-}
own_server_dir=
if [ -z "$server_dir" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    server_dir=$(mktemp -d /dev/shm/zelway-bench.XXXXXX) && own_server_dir=$server_dir || server_dir=
fi
uploads="${server_dir:-$work}/uploads"  # what zelsim accepted
got="$uploads/DB"        # ... for unit contract DB
payload="$work/payload"  # the source files, never touched by a case
mkdir -p "$data" "$uploads" "$payload"
unset QVIS_ROOT TMP SSL_CERT_FILE SSL_CERT_DIR http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY

sim_pid=
sim_tls_pid=
cron_pid=
cleanup() {
    [ -n "$cron_pid" ] && kill -TERM "$cron_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null || true
    [ -n "$sim_tls_pid" ] && kill -TERM "$sim_tls_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    [ -z "$own_server_dir" ] || rm -rf "$own_server_dir"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*" >&2; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
load_start=$(load)

# --- the system roots and the simulator ----------------------------------------
# One root per build, each set up by that build's own tools: two trees need
# not agree on how the registry or the password are stored.
comm_of() { echo "$1/Apps/QVIS/PROG/COMM"; }
setup_root() {  # root build
    mkdir -p "$(comm_of "$1")"
    printf 'A,B,C,D,E' >"$(comm_of "$1")/CONTROL"  # unit contract "DB"
    QVIS_ROOT=$1 "$2/tools/regsvr" /s "$2/poll/component/libPoll.so"
    QVIS_ROOT=$1 "$2/tools/zelpasswd" dealer7:s3cret
}
root="$work/root"
setup_root "$root" "$build"
ferrun=(env "QVIS_ROOT=$root" "$build/client/ferrun")
roots=("$root")
if [ -n "$baseline" ]; then
    root_base="$work/root-baseline"
    setup_root "$root_base" "$baseline"
    ferrun_base=(env "QVIS_ROOT=$root_base" "$baseline/client/ferrun")
    roots+=("$root_base")
fi
comm=$(comm_of "$root")

printf 'dealer7:s3cret\n' >"$work/users"
"$zelsim" --ready-file "$work/ready" --users "$work/users" \
    --data-dir "$work/data" --upload-dir "$uploads" --no-sync >"$work/zelsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do [ -s "$work/ready" ] && break; sleep 0.1; done
port=$(sed -n 's/^http_port=//p' "$work/ready" 2>/dev/null || true)
[ -n "$port" ] || { cat "$work/zelsim.out" >&2; fail "zelsim did not start"; }

# HTTPS: a CA and a server certificate for 127.0.0.1 (RSA 2048, as most
# servers have), a second zelsim on TLS over the same files, and a root of
# its own whose directory leads to it; ferrun trusts the CA through
# SSL_CERT_FILE, added to the system's bundle as a machine that trusts the
# server's CA has it (parsing a whole bundle is part of what HTTPS costs).
tls="$work/tls"
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=bench-ca -keyout "$tls/ca.key" \
    -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$tls/leaf.key" \
    -out "$tls/leaf.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$tls/ext"
openssl x509 -req -in "$tls/leaf.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 2 -extfile "$tls/ext" -out "$tls/leaf.pem" 2>/dev/null
"$zelsim" --ready-file "$work/ready-tls" --users "$work/users" --https-port 0 \
    --request-log "$work/requests-tls.log" \
    --cert "$tls/leaf.pem" --key "$tls/leaf.key" \
    --data-dir "$work/data" --upload-dir "$uploads" --no-sync >"$work/zelsim-tls.out" 2>&1 &
sim_tls_pid=$!
for _ in $(seq 300); do [ -s "$work/ready-tls" ] && break; sleep 0.1; done
tls_port=$(sed -n 's/^https_port=//p' "$work/ready-tls" 2>/dev/null || true)
[ -n "$tls_port" ] || { cat "$work/zelsim-tls.out" >&2; fail "zelsim on TLS did not start"; }
root_tls="$work/root-tls"
setup_root "$root_tls" "$build"
system_bundle=$(curl-config --ca 2>/dev/null || true)
[ -f "$system_bundle" ] || system_bundle=/etc/ssl/certs/ca-certificates.crt
cat "$system_bundle" "$tls/ca.pem" >"$tls/trusted.pem" 2>/dev/null || cp "$tls/ca.pem" "$tls/trusted.pem"
ferrun_tls=(env "QVIS_ROOT=$root_tls" "SSL_CERT_FILE=$tls/trusted.pem" "$build/client/ferrun")
roots+=("$root_tls")
ops="http://127.0.0.1:$port/qvgqa/poll"
auth=(-u dealer7:s3cret)
for r in "${roots[@]}"; do
    [ "$r" != "$root_tls" ] || continue
    printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
        "$port" >"$(comm_of "$r")/ISERVER.XML"
done
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>Y</SSLR><SSLP>Y</SSLP></R></XML>' \
    "$tls_port" >"$(comm_of "$root_tls")/ISERVER.XML"
# One download per root first: the server directory is fetched and cached,
# so no timed run pays for it.
(cd "$work" && "${ferrun[@]}" -d "$work" >/dev/null) || true
(cd "$work" && "${ferrun_tls[@]}" -d "$work" >/dev/null) || true
if [ -n "$baseline" ]; then (cd "$work" && "${ferrun_base[@]}" -d "$work" >/dev/null) || true; fi

# Before each ferrun run: the guard entries of the last run would keep the
# same names from being fetched or sent again for hours.
forget_guards() {
    local r
    for r in "${roots[@]}"; do
        rm -f "$(comm_of "$r")"/qvzel.{up,down,scan}.guard
    done
}

# The requests a hand script sends, as the component sends them.
list_body() {
    printf '<SOAP:Envelope xmlns:SOAP="urn:schemas-xmlsoap-org:soap.v1"><SOAP:Body><m:GetFileListFromQuvaro xmlns:m="urn:poll-input"><R1><!-- Dealer Name --><DN>DB</DN></R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>'
}
ack_body() {
    printf '<SOAP:Envelope xmlns:SOAP="urn:schemas-xmlsoap-org:soap.v1"><SOAP:Body><m:PostProcessQuvaroFile xmlns:m="urn:poll-input"><R1><UC>DB</UC><FN>%s</FN></R1></m:PostProcessQuvaroFile></SOAP:Body></SOAP:Envelope>' "$1"
}
crc_decimal() { printf '%d' "0x$(crc32 "$1")"; }

# --- the idle schedule service (runs alongside the other cases) -------------
start_idle_service() {
    QVIS_ROOT=$root "$build/scheduler/qvzel_cron" -RegServer >/dev/null
    # One entry, due at an hour that is not within the next hours.
    local hour=$(( ($(date +%-H) + 12) % 24 ))
    printf 'idle 0 %d 0123456 qvzelup.bat\r\n' "$hour" >"$comm/crontab.dat"
    QVIS_ROOT=$root "$build/scheduler/qvzel_cron" >"$work/cron.out" 2>&1 &
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
# results: one line per run "case side wall_s maxrss_kib cpu_s"
results="$work/results.txt"
: >"$results"
measure_run() {  # case side command...
    local case=$1 side=$2 line
    shift 2
    sync  # earlier runs' dirty pages are not charged to this one
    line=$("$measure" "$@" 2>>"$work/errors.txt" | tail -n 1) || {
        tail -n 20 "$work/errors.txt" >&2
        fail "$case/$side failed: $line"
    }
    echo "$case $side $line" >>"$work/measure.log"
    local wall rss cpu
    wall=$(echo "$line" | sed -n 's/.*wall_s=\([0-9.]*\).*/\1/p')
    rss=$(echo "$line" | sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p')
    cpu=$(echo "$line" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "=")
        if (kv[1] == "user_s" || kv[1] == "sys_s") c += kv[2] } printf "%.4f", c }')
    echo "$case $side $wall $rss $cpu" >>"$results"
    printf '  %-9s %-8s %8.3f s %8d KiB %7.3f s CPU\n' "$case" "$side" "$wall" "$rss" "$cpu" >&2
}

# --- the payloads ---------------------------------------------------------------
say "Making the payloads (${big_mib} and ${mid_mib} MiB, ${small_count} and ${many_count} x 4 KiB)"
# Text-like data that compresses about 4:3, like business files.
# (76 characters and a line feed per 57 random bytes: just under the size.)
head -c $((big_mib * 1024 * 1024 / 77 * 57)) /dev/urandom | base64 -w 76 >"$payload/BIG.DAT"
head -c $((mid_mib * 1024 * 1024 / 77 * 57)) "$payload/BIG.DAT" >"$payload/MID.DAT"
gzip -6 -c "$payload/BIG.DAT" >"$payload/BIG.DAT.dtz"
big_fc=$(crc_decimal "$payload/BIG.DAT.dtz")
# The small files, and many more of them: the first ones are the small set.
mkdir -p "$payload/small" "$payload/small-dtz" "$payload/many"
width=${#many_count}
for i in $(seq -w 1 "$many_count"); do
    head -c 3072 /dev/urandom | base64 -w 0 >"$payload/many/F$i.DAT"
done
for i in $(seq 1 "$small_count"); do
    n=$(printf "%0${width}d" "$i")
    cp "$payload/many/F$n.DAT" "$payload/small/F$n.DAT"
done
small_sums="$payload/small.sha256"  # what every side's output is checked against
(cd "$payload/small" && sha256sum -- F*.DAT) >"$small_sums"
many_sums="$payload/many.sha256"
(cd "$payload/many" && sha256sum -- F*.DAT) >"$many_sums"
# The shell loops are given the CRC-32 of every file in advance ("name
# decimal-crc" per file): of the file itself for downloads, of what
# `gzip -6 -n` makes of it (the same bytes every time) for uploads.
crc_table() {  # files... -> "basename decimal-crc" per file, in one crc32
    if [ $# -eq 1 ]; then
        printf '%s %d\n' "${1##*/}" "0x$(crc32 "$1")"
    else
        crc32 "$@" | while IFS=$'\t' read -r hex path; do printf '%s %d\n' "${path##*/}" "0x$hex"; done
    fi
}
small_crcs="$payload/small.crc"
crc_table "$payload"/small/*.DAT >"$small_crcs"
(cd "$payload/small" && gzip -6 -n -k -S .dtz -- F*.DAT && mv -- *.DAT.dtz ../small-dtz/)
small_dtz_crcs="$payload/small-dtz.crc"  # "F0001.DAT crc-of-F0001.DAT.dtz"
crc_table "$payload"/small-dtz/*.dtz | sed 's/\.dtz / /' >"$small_dtz_crcs"

down="$work/down"
up="$work/up"
reset_dir() { rm -rf "$1"; mkdir -p "$1"; }
# The small-file cases set the last run's files aside instead of deleting
# them, until the cases are over: ext4 without a journal scans past every
# inode deleted within the last minute on each file it creates, so the
# runner's own clean-up would be charged to whichever side runs next.  What
# a side deletes itself stays its own cost.
aside="$work/set-aside"
set_aside() {
    mkdir -p "$aside"
    [ ! -e "$1" ] || mv "$1" "$(mktemp -u "$aside/XXXXXXXX")"
    mkdir -p "$1"
}
publish() {  # files... : published anew (the acknowledgement moves them away)
    rm -rf "$data"
    mkdir -p "$data"
    ln "$@" "$data/"
}

# --- the checks after every run ------------------------------------------------
# Published files all acknowledged: zelsim moves each to .acknowledged.
check_acknowledged() {  # side count
    [ -z "$(ls "$data")" ] || fail "$1: files left unacknowledged: $(ls "$data" | head -n 3 | tr '\n' ' ')"
    local n
    n=$(find "$data/.acknowledged" -type f 2>/dev/null | wc -l)
    [ "$n" = "$2" ] || fail "$1: $n acknowledgements for $2 files"
}
check_result_lines() {  # side result-file count
    local n
    n=$(grep -c $'^0000 [^\r]*\r$' "$2" 2>/dev/null || true)
    [ "$n" = "$3" ] || fail "$1: ${n:-0} result lines 0000 in $2 for $3 files"
}
check_small_download() {  # side dir result-lines(yes|no) [sums count]
    local sums=${4:-$small_sums} count=${5:-$small_count}
    (cd "$2" && sha256sum --quiet --strict -c "$sums") >"$work/check.txt" 2>&1 ||
        { head -n 5 "$work/check.txt" >&2; fail "$1: downloaded files differ from the published ones"; }
    check_acknowledged "$1" "$count"
    [ "$3" = no ] || check_result_lines "$1" "$2/Poll.Result" "$count"
}
check_small_upload() {  # side dir result-lines(yes|no) [sums count]
    local sums=${4:-$small_sums} count=${5:-$small_count}
    [ -z "$(find "$2" -name 'F*')" ] || fail "$1: files left in the upload directory"
    local n
    n=$(find "$got" -maxdepth 1 -type f -name 'F*.DAT.dtz' | wc -l)
    [ "$n" = "$count" ] && [ "$(find "$got" -type f | wc -l)" = "$count" ] ||
        fail "$1: zelsim stored $(find "$got" -type f | wc -l) files ($n packed) for $count"
    # Unpacked in place, one gzip for all; a broken member fails it.
    (cd "$got" && gzip -d -S .dtz -- F*.DAT.dtz) || fail "$1: an upload does not unpack"
    (cd "$got" && sha256sum --quiet --strict -c "$sums") >"$work/check.txt" 2>&1 ||
        { head -n 5 "$work/check.txt" >&2; fail "$1: uploads unpack to other bytes than the originals"; }
    [ "$3" = no ] || check_result_lines "$1" "$2/Poll.Result" "$count"
}
check_big_download() {  # side dir
    cmp -s "$2/BIG.DAT" "$payload/BIG.DAT" || fail "$1: the downloaded BIG.DAT differs"
    check_acknowledged "$1" 1
}
check_big_upload() {  # side dir [NAME]
    local name=${3:-BIG.DAT}
    [ ! -e "$2/$name" ] && [ ! -e "$2/$name.dtz" ] || fail "$1: $name left to upload"
    [ "$(find "$got" -type f | wc -l)" = 1 ] || fail "$1: zelsim stored other files than $name.dtz"
    gzip -d -c "$got/$name.dtz" | cmp -s - "$payload/$name" ||
        fail "$1: the upload does not unpack to $name"
}

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
# The limit of the download: unpacking the same bytes (already on this
# machine) to the same disk, with one flush, and nothing else.
cat >"$work/gunzip.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
cd "\$1"
gzip -d -c "$payload/BIG.DAT.dtz" >BIG.DAT
sync -d BIG.DAT .
EOF
chmod +x "$work/gunzip.sh"
say "Case 1: one ${big_mib} MiB .dtz download"
for _ in $(seq "$runs"); do
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"; forget_guards
    measure_run dl_big ferrun "${ferrun[@]}" -d "$down"
    check_big_download ferrun "$down"
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"
    measure_run dl_big hand "$work/hand_download.sh" "$down" noflush
    check_big_download hand "$down"
    publish "$payload/BIG.DAT.dtz"; reset_dir "$down"
    measure_run dl_big hand+flush "$work/hand_download.sh" "$down" flush
    check_big_download hand+flush "$down"
    reset_dir "$down"
    measure_run dl_big gunzip "$work/gunzip.sh" "$down"
    cmp -s "$down/BIG.DAT" "$payload/BIG.DAT" || fail "gunzip: BIG.DAT differs"
done

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
# The best tool: the same with pigz on every core.
sed "s/^gzip -6 -c /pigz -6 -p $cores -c /" "$work/hand_upload.sh" >"$work/pigz_upload.sh"
chmod +x "$work/pigz_upload.sh"
grep -q '^pigz ' "$work/pigz_upload.sh" || fail "the pigz pipeline was not made"
say "Case 2: one ${big_mib} MiB upload (and one of ${mid_mib} MiB, for the peak memory)"
for _ in $(seq "$runs"); do
    # A copy, not a link: each side deletes the file it sent.
    reset_dir "$up"; reset_dir "$got"; cp "$payload/BIG.DAT" "$up/BIG.DAT"; forget_guards
    measure_run ul_big ferrun "${ferrun[@]}" -p "$up"
    check_big_upload ferrun "$up"
    reset_dir "$up"; reset_dir "$got"; cp "$payload/BIG.DAT" "$up/BIG.DAT"
    measure_run ul_big hand "$work/hand_upload.sh" "$up"
    check_big_upload hand "$up"
    reset_dir "$up"; reset_dir "$got"; cp "$payload/BIG.DAT" "$up/BIG.DAT"
    measure_run ul_big pigz "$work/pigz_upload.sh" "$up"
    check_big_upload pigz "$up"
    reset_dir "$up"; reset_dir "$got"; cp "$payload/MID.DAT" "$up/MID.DAT"; forget_guards
    measure_run ul_mid ferrun "${ferrun[@]}" -p "$up"
    check_big_upload ferrun "$up" MID.DAT
done

# --- case 3: many small files -------------------------------------------------
# The shell loops: one curl per request, the same requests as ferrun makes
# (the list, then a GET and an acknowledgement per file; per upload one
# gzip -6 and one POST), with the CRC-32s given in advance, so that a loop
# is charged for its requests and packing only.  They check nothing and
# write no result file.  The fair batches (bench/batch_download.sh and
# bench/batch_upload.sh) keep every duty of ferrun.
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
cat >"$work/loop_upload.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
cd "\$1"
while read -r name crc; do
    gzip -6 -n -S .dtz -- "\$name"
    curl -sS -f ${auth[*]} -H 'Content-Type: application/octet-stream' -H 'Expect:' -T "\$name.dtz" -X POST \
        -o /dev/null "$ops/PutFileFromDealer?UnitContract=DB&FileName=\$name.dtz&CheckSum=\$crc&Filter=RW&QueryVersion=001"
    rm -f -- "\$name.dtz"
done <"$small_dtz_crcs"
EOF
chmod +x "$work/loop_download.sh" "$work/loop_upload.sh"
batch_download=("$here/bench/batch_download.sh")
batch_upload=("$here/bench/batch_upload.sh")

# The best tool for many small files: one curl process making the same
# requests one after the other on one kept-alive connection, with nothing
# else to do (names, CRC-32s and packed bytes made in advance).  Downloads:
# the list, then each file and its acknowledgement, in the order ferrun
# keeps; uploads: the packed files as ferrun sends them.
one_get() {  # name -> the curl config lines of its GET and acknowledgement
    printf 'next\nuser = "dealer7:s3cret"\nfail\noutput = "%s"\n' "$1"
    printf 'url = "%s/GetFileFromQuvaro?UnitContract=DB&FileName=%s&QueryVersion=001"\n' "$ops" "$1"
    printf 'next\nuser = "dealer7:s3cret"\nfail\noutput = "/dev/null"\n'
    printf 'header = "Content-Type: text/xml"\ndata-binary = "@%s/acks/%s.xml"\n' "$work" "$1"
    printf 'url = "%s/PostProcessQuvaroFile?UnitContract=DB&QueryVersion=001"\n' "$ops"
}
{
    printf 'user = "dealer7:s3cret"\nfail\noutput = "/dev/null"\n'
    printf 'header = "Content-Type: text/xml"\ndata-binary = "@%s/list.xml"\n' "$work"
    printf 'url = "%s/GetFileListFromQuvaro?UnitContract=DB&QueryVersion=001"\n' "$ops"
    while read -r name _; do one_get "$name"; done <"$small_crcs"
} >"$work/one_download.conf"
while read -r name crc; do
    printf 'next\nuser = "dealer7:s3cret"\nfail\noutput = "/dev/null"\nrequest = "POST"\n'
    printf 'header = "Content-Type: application/octet-stream"\nheader = "Expect:"\n'
    printf 'upload-file = "%s/small-dtz/%s.dtz"\n' "$payload" "$name"
    printf 'url = "%s/PutFileFromDealer?UnitContract=DB&FileName=%s.dtz&CheckSum=%s&Filter=RW&QueryVersion=001"\n' \
        "$ops" "$name" "$crc"
done <"$small_dtz_crcs" | sed 1d >"$work/one_upload.conf"
cat >"$work/one_curl.sh" <<EOF
#!/usr/bin/env bash
cd "\$1" && exec curl -sS -K "\$2"
EOF
chmod +x "$work/one_curl.sh"

# Each run: this build's ferrun and the baseline's (in turns, which first),
# the loop, the batch.  Every side's output is checked before the next.
small_down() {  # side command...
    local side=$1
    shift
    publish "$payload"/small/*.DAT; set_aside "$down"; forget_guards
    measure_run dl_small "$side" "$@"
    case $side in
        loop | one) check_small_download "$side" "$down" no ;;
        *) check_small_download "$side" "$down" yes ;;
    esac
}
small_up() {  # side command...
    local side=$1
    shift
    set_aside "$up"; reset_dir "$got"
    [ "$side" = one ] || cp "$payload"/small/*.DAT "$up/"
    forget_guards
    measure_run ul_small "$side" "$@"
    case $side in
        loop | one) check_small_upload "$side" "$up" no ;;
        *) check_small_upload "$side" "$up" yes ;;
    esac
}
# The same as ferrun's small cases with many more files.
many_down() {
    publish "$payload"/many/*.DAT; set_aside "$down"; forget_guards
    measure_run dl_many ferrun "${ferrun[@]}" -d "$down"
    check_small_download ferrun "$down" yes "$many_sums" "$many_count"
}
many_up() {
    set_aside "$up"; reset_dir "$got"; cp "$payload"/many/*.DAT "$up/"; forget_guards
    measure_run ul_many ferrun "${ferrun[@]}" -p "$up"
    check_small_upload ferrun "$up" yes "$many_sums" "$many_count"
}
# The disk's part of a small download: each file placed as ferrun places it
# (a new staging file, its bytes, their flush, the rename, the directory's
# flush), one after the other, with no network and nothing else.
mapfile -t small_names < <(cut -d' ' -f1 "$small_crcs")
floor_down() {
    set_aside "$down"
    measure_run dl_small floor "$floor" "$payload/small" "$down" "${small_names[@]}"
    (cd "$down" && sha256sum --quiet --strict -c "$small_sums") >"$work/check.txt" 2>&1 ||
        { head -n 5 "$work/check.txt" >&2; fail "floor: the placed files differ from the published ones"; }
}
tls_gets() { grep -c '^GET /qvgqa/poll/GetFileFromQuvaro' "$work/requests-tls.log" 2>/dev/null || true; }
say "Case 3: ${small_count} files of 4 KiB down (HTTP and HTTPS) and up, and ${many_count} of them${baseline:+, with the baseline ferrun too}"
for i in $(seq "$small_runs"); do
    if [ -n "$baseline" ] && [ $((i % 2)) = 0 ]; then
        small_down before "${ferrun_base[@]}" -d "$down"
        small_down ferrun "${ferrun[@]}" -d "$down"
    else
        small_down ferrun "${ferrun[@]}" -d "$down"
        [ -z "$baseline" ] || small_down before "${ferrun_base[@]}" -d "$down"
    fi
    [ "$i" -gt "$loop_runs" ] || small_down loop "$work/loop_download.sh" "$down"
    small_down batch "${batch_download[@]}" "$down" "$ops" dealer7:s3cret DB "$work/list.xml"
    small_down one "$work/one_curl.sh" "$down" "$work/one_download.conf"
    floor_down
    before_tls=$(tls_gets)
    small_down https "${ferrun_tls[@]}" -d "$down"
    [ "$(tls_gets)" -ge $((before_tls + small_count)) ] ||
        fail "https: the files did not come from the server on TLS"
    many_down

    if [ -n "$baseline" ] && [ $((i % 2)) = 0 ]; then
        small_up before "${ferrun_base[@]}" -p "$up"
        small_up ferrun "${ferrun[@]}" -p "$up"
    else
        small_up ferrun "${ferrun[@]}" -p "$up"
        [ -z "$baseline" ] || small_up before "${ferrun_base[@]}" -p "$up"
    fi
    [ "$i" -gt "$loop_runs" ] || small_up loop "$work/loop_upload.sh" "$up"
    small_up batch "${batch_upload[@]}" "$up" "$ops" dealer7:s3cret DB
    small_up one "$work/one_curl.sh" "$up" "$work/one_upload.conf"
    many_up
done

rm -rf "$aside"

# --- case 4: the idle schedule service -------------------------------------------
left=$(( idle_seconds - ($(date +%s) - idle_started) ))
if [ "$left" -gt 0 ]; then
    say "Case 4: waiting ${left} s more for the idle schedule service"
    sleep "$left"
fi
kill -0 "$cron_pid" 2>/dev/null || { cat "$work/cron.out" >&2; fail "qvzel_cron ended early"; }
idle_cpu=$(idle_cpu_seconds)
idle_rss=$(awk '/VmHWM/ { print $2 }' "/proc/$cron_pid/status")
idle_span=$(( $(date +%s) - idle_started ))
load_end=$(load)

# --- the table --------------------------------------------------------------------
stats() {  # case side field(3=wall,4=rss,5=cpu) -> "min median max"
    awk -v c="$1" -v s="$2" -v f="$3" '$1 == c && $2 == s { print $f }' "$results" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) { print "- - -"; exit }
              m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%s %s %s\n", v[1], m, v[NR] }'
}
walls() {  # case side -> "min / median / max"
    local lo med hi
    read -r lo med hi <<<"$(stats "$1" "$2" 3)"
    awk -v a="$lo" -v b="$med" -v c="$hi" 'BEGIN { printf "%.3f / %.3f / %.3f", a, b, c }'
}
ratio_spread() {  # case side-a side-b [field] -> "**median ratio** (fastest-slowest)"
    ratio_spread_of "$1" "$2" "$1" "$3" "${4:-3}"
}
ratio_spread_of() {  # case-a side-a case-b side-b field -> the same across two cases
    local amin amed amax bmin bmed bmax
    read -r amin amed amax <<<"$(stats "$1" "$2" "$5")"
    read -r bmin bmed bmax <<<"$(stats "$3" "$4" "$5")"
    awk -v amin="$amin" -v amed="$amed" -v amax="$amax" -v bmin="$bmin" -v bmed="$bmed" \
        -v bmax="$bmax" 'BEGIN { printf "**%.2f** (%.2f-%.2f)", amed / bmed, amin / bmax, amax / bmin }'
}
ratio() {  # case side-a side-b -> A's median wall time over B's
    ratio_of "$1" "$2" "$1" "$3"
}
ratio_of() {  # case-a side-a case-b side-b -> the same across two cases
    local amed bmed
    read -r _ amed _ <<<"$(stats "$1" "$2" 3)"
    read -r _ bmed _ <<<"$(stats "$3" "$4" 3)"
    awk -v a="$amed" -v b="$bmed" 'BEGIN { printf "%.2f", a / b }'
}
median_mib() {  # case side -> median peak RSS in MiB
    local med
    read -r _ med _ <<<"$(stats "$1" "$2" 4)"
    awk -v m="$med" 'BEGIN { printf "%.1f", m / 1024 }'
}
median_of() {  # case side field -> median
    local med
    read -r _ med _ <<<"$(stats "$1" "$2" "$3")"
    echo "$med"
}
# The median of the ratios of runs made one after the other (run i of A
# over run i of B): two builds compared in the same noise.
paired_ratio() {  # case side-a side-b field
    awk -v c="$1" -v a="$2" -v b="$3" -v f="$4" '$1 == c && $2 == a { x[++na] = $f }
        $1 == c && $2 == b { y[++nb] = $f }
        END { for (i = 1; i <= na && i <= nb; i++) print x[i] / y[i] }' "$results" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit }
              m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%.2f\n", m }'
}
row() {  # case side-a side-b label
    printf '| %s | %s | %s | %s | %s / %s |\n' "$4" "$(walls "$1" "$2")" "$(walls "$1" "$3")" \
        "$(ratio_spread "$1" "$2" "$3")" "$(median_mib "$1" "$2")" "$(median_mib "$1" "$3")"
}
small_row() {  # case label
    local extra=
    if [ -n "$baseline" ]; then
        extra=" $(walls "$1" before) | $(ratio_spread "$1" ferrun before); paired $(paired_ratio "$1" ferrun before 3) |"
        extra+=" $(awk -v a="$(median_of "$1" ferrun 5)" -v b="$(median_of "$1" before 5)" \
            'BEGIN { printf "%.3f / %.3f", a, b }'); paired $(paired_ratio "$1" ferrun before 5) |"
    fi
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |%s %s / %s / %s / %s |\n' "$2" \
        "$(walls "$1" ferrun)" "$(walls "$1" loop)" "$(walls "$1" batch)" "$(walls "$1" one)" \
        "$(ratio_spread "$1" ferrun loop)" "$(ratio_spread "$1" ferrun batch)" \
        "$(ratio_spread "$1" ferrun one)" "$extra" "$(median_mib "$1" ferrun)" \
        "$(median_mib "$1" loop)" "$(median_mib "$1" batch)" "$(median_mib "$1" one)"
}
other_row() {  # case-a side-a case-b side-b label against
    printf '| %s | %s | %s | %s | %s / %s |\n' "$5" "$(walls "$1" "$2")" "$6" \
        "$(ratio_spread_of "$1" "$2" "$3" "$4" 3)" "$(median_mib "$1" "$2")" "$(median_mib "$3" "$4")"
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
    local scale
    scale=$(awk -v m="$many_count" -v s="$small_count" 'BEGIN { printf "%.2f", 5.2 * m / (5 * s) }')
    echo "Goals against the best tool and the limit (median ratios):"
    echo
    goal "${big_mib} MiB upload at most 1.15 x pigz -6 -p ${cores} + crc32 + curl" \
        "$(ratio ul_big ferrun pigz)" 1.15
    goal "${small_count} x 4 KiB upload at most 2.0 x one curl process sending the same files" \
        "$(ratio ul_small ferrun one)" 2.0
    goal "${small_count} x 4 KiB download at most 2.5 x one curl process making the same requests" \
        "$(ratio dl_small ferrun one)" 2.5
    echo "  (the disk's part alone, each file placed with its two flushes and nothing else," \
        "takes $(ratio dl_small floor one) x the time of one curl; ferrun takes $(ratio dl_small ferrun floor) x that part)"
    goal "${small_count} x 4 KiB download over HTTPS at most 1.3 x the same over HTTP" \
        "$(ratio dl_small https ferrun)" 1.3
    goal "${big_mib} MiB .dtz download at most 1.1 x gzip -d of the same bytes with one flush" \
        "$(ratio dl_big ferrun gunzip)" 1.1
    goal "linear: ${many_count} small downloads at most ${scale} x the time of ${small_count}" \
        "$(ratio_of dl_many ferrun dl_small ferrun)" "$scale"
    goal "linear: ${many_count} small uploads at most ${scale} x the time of ${small_count}" \
        "$(ratio_of ul_many ferrun ul_small ferrun)" "$scale"
    goal "peak RSS with packing threads (${big_mib} MiB upload) under 32 MiB" \
        "$(median_mib ul_big ferrun) MiB" 31.99
    goal "and flat with file size: within 1 MiB of the ${mid_mib} MiB upload's ($(median_mib ul_mid ferrun) MiB)" \
        "$(awk -v a="$(median_mib ul_big ferrun)" -v b="$(median_mib ul_mid ferrun)" \
            'BEGIN { printf "%.1f MiB", a - b }')" 1
    echo
    echo "Earlier goals, against hand-made pipelines:"
    echo
    goal "${big_mib} MiB .dtz download at most 0.9 x the hand pipeline with a final flush" \
        "$(ratio dl_big ferrun hand+flush)" 0.9
    goal "${big_mib} MiB upload at most 1.05 x gzip -6 + curl" "$(ratio ul_big ferrun hand)" 1.05
    goal "${small_count} small files down at most 0.5 x the shell loop of curl" \
        "$(ratio dl_small ferrun loop)" 0.5
    goal "${small_count} small files up at most 0.5 x the shell loop of curl" \
        "$(ratio ul_small ferrun loop)" 0.5
    goal "peak RSS of the ${big_mib} MiB download under 16 MiB" "$(median_mib dl_big ferrun) MiB" 15.99
    goal "and within 2 MiB of the 4 KiB cases' (${small_rss} MiB)" \
        "$(awk -v a="$(median_mib dl_big ferrun)" -v b="$small_rss" 'BEGIN { printf "%.1f MiB", a - b }')" 2
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
# The commit a build was made from (its source directory's), when known.
build_commit() {
    local src
    src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$1/CMakeCache.txt" 2>/dev/null)
    git -C "${src:-/nonexistent}" rev-parse --short HEAD 2>/dev/null || echo "unknown commit"
}
{
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
        "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);" \
        "disk: $(disk_kind); $(date -u '+%Y-%m-%d');" \
        "$([ "${BENCH_FULL:-0}" = 1 ] && echo "full sizes" || echo "default sizes (BENCH_FULL=1: the goals' sizes)");" \
        "$runs runs per side (small files: $small_runs," \
        "their shell loops: $(( loop_runs < small_runs ? loop_runs : small_runs )));" \
        "load average $load_start at the start, $load_end at the end; build $(build_commit "$build")."
    echo "Every side's output was checked byte for byte after every run."
    echo
    echo "| case (A vs B) | A wall s min / median / max | B wall s min / median / max | ratio A/B median (spread) | peak RSS MiB A / B |"
    echo "|---|---|---|---|---|"
    row dl_big ferrun hand "${big_mib} MiB .dtz download: ferrun -d vs curl+crc32+gzip -d+curl (no flush)"
    row dl_big ferrun hand+flush "${big_mib} MiB .dtz download: ferrun -d vs the same with a final flush"
    row dl_big ferrun gunzip "${big_mib} MiB .dtz download: ferrun -d vs gzip -d of the same bytes + one flush (the limit)"
    row ul_big ferrun hand "${big_mib} MiB upload: ferrun -p vs gzip -6 + crc32 + curl -T"
    row ul_big ferrun pigz "${big_mib} MiB upload: ferrun -p vs pigz -6 -p ${cores} + crc32 + curl -T (the best tool)"
    echo
    echo "${small_count} files of 4 KiB (A: ferrun; L: a shell loop of curl; F: the fair batch, one curl" \
        "per kind of request with every duty kept; O: one curl process making the same requests and" \
        "nothing else, the best tool${baseline:+; before: ferrun of the baseline build $(build_commit "$baseline"), run in turns with A})," \
        "wall s min / median / max:"
    echo
    if [ -n "$baseline" ]; then
        echo "| case | A | L | F | O | A/L median (spread) | A/F median (spread) | A/O median (spread) | before | A/before median (spread); paired | CPU s median A / before; paired A/before | peak RSS MiB A / L / F / O |"
        echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    else
        echo "| case | A | L | F | O | A/L median (spread) | A/F median (spread) | A/O median (spread) | peak RSS MiB A / L / F / O |"
        echo "|---|---|---|---|---|---|---|---|---|"
    fi
    small_row dl_small "download: ferrun -d"
    small_row ul_small "upload: ferrun -p"
    echo
    echo "Over HTTPS, with more files, and a smaller upload (ferrun each time):"
    echo
    echo "| case | wall s min / median / max | against | ratio median (spread) | peak RSS MiB / against |"
    echo "|---|---|---|---|---|"
    other_row dl_small https dl_small ferrun "${small_count} x 4 KiB download over HTTPS" "the same over HTTP"
    other_row dl_small floor dl_small one "${small_count} x 4 KiB placed with two flushes each, no network" \
        "one curl process (O)"
    other_row dl_many ferrun dl_small ferrun "${many_count} x 4 KiB download" "${small_count} of them"
    other_row ul_many ferrun ul_small ferrun "${many_count} x 4 KiB upload" "${small_count} of them"
    other_row ul_mid ferrun ul_big ferrun "${mid_mib} MiB upload" "${big_mib} MiB"
    if [ -n "$baseline" ]; then
        echo
        echo "Paired: the median of the ratios of runs made one after the other (each run of A over" \
            "the run of the baseline next to it), which a changing load on the machine moves less" \
            "than the ratio of the medians. CPU: user and system time of the process."
    fi
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
