#!/usr/bin/env bash
# The benchmark's "fair batch" upload (bench/run.sh): every duty of
# `ferrun -p` at its default settings, each done once for all files where a
# batch can, with one curl process for all the requests on one kept-alive
# connection.  It is the reference that tells how much of ferrun's time goes
# to doing each file's steps one file at a time.
#
#   bench/batch_upload.sh DIR OPS_URL USER:PASSWORD UNIT_CONTRACT
#
# Steps: every regular file of DIR but the result file (Poll.Result) is
# sent; each file not yet named ".dtz" and not empty is packed at level 6
# into NAME.dtz, the original removed (one gzip for all; a file that does
# not pack goes as it is); the CRC-32 of each file to send (one crc32); one
# POST per file (one curl), its answer checked for a fault; a result line
# per file in DIR/Poll.Result, in ferrun's form, all appended at once; the
# accepted files deleted (one rm).  Exit status 1 when any file was refused.
set -euo pipefail
dir=${1:?usage: batch_upload.sh DIR OPS_URL USER:PASSWORD UNIT_CONTRACT}
ops=$2
user=$3
uc=$4
cd "$dir"
shopt -s nullglob

to_pack=()
to_send=()
for f in *; do
    [ -f "$f" ] && [ ! -L "$f" ] && [ "$f" != Poll.Result ] || continue
    if [[ $f == *.dtz* ]] || [ ! -s "$f" ]; then to_send+=("$f"); else to_pack+=("$f"); fi
done
if [ ${#to_pack[@]} -gt 0 ]; then gzip -6 -S .dtz -- "${to_pack[@]}" 2>/dev/null || true; fi
for f in "${to_pack[@]}"; do
    if [ -f "$f.dtz" ] && [ ! -e "$f" ]; then to_send+=("$f.dtz"); else to_send+=("$f"); fi
done
[ ${#to_send[@]} -gt 0 ] || exit 0

# The CRC-32s in one crc32 ("HEX<tab>NAME" per file; only HEX for one file).
crcs=$(crc32 "${to_send[@]}")
[ ${#to_send[@]} -ne 1 ] || crcs=$(printf '%s\t%s' "$crcs" "${to_send[0]}")
conf=$(mktemp "${TMPDIR:-/tmp}/batch_upload.XXXXXX")
trap 'rm -f -- "$conf" "$conf.accepted"' EXIT
while IFS=$'\t' read -r hex name; do
    printf 'next\nuser = "%s"\nheader = "Content-Type: application/octet-stream"\nheader = "Expect:"\n' "$user"
    printf 'request = "POST"\nupload-file = "%s"\n' "$name"
    printf 'url = "%s/PutFileFromDealer?UnitContract=%s&FileName=%s&CheckSum=%d&Filter=RW&QueryVersion=001"\n' \
        "$ops" "$uc" "$name" "$((16#$hex))"
    printf 'write-out = "\\n##\\t%%{response_code}\\t%%{exitcode}\\t%s\\n"\n' "$name"
done <<<"$crcs" | sed 1d >"$conf"

# Each answer, then "## STATUS EXIT NAME": accepted on status 200, a whole
# exchange and no fault in the answer.  A refused file's code is the
# server's fault number, else the HTTP status (ferrun's codes for the same
# answers).
curl -sS -K "$conf" | awk -F '\t' -v accepted="$conf.accepted" '
    $1 == "##" {
        code = $2 + 0
        if (match(body, /<errorcode>[^<]*<\/errorcode>/)) {
            code = (substr(body, RSTART + 15, RLENGTH - 27) + 0) % 16384
        } else if (code == 200 && $3 == 0) {
            code = 0
            print $4 > accepted
        }
        printf "%04d %s\r\n", code, $4
        body = ""
        next
    }
    { body = body $0 }' >>Poll.Result || true
[ -s "$conf.accepted" ] || exit 1
xargs -r -d '\n' rm -f -- <"$conf.accepted"
[ "$(wc -l <"$conf.accepted")" = ${#to_send[@]} ]
