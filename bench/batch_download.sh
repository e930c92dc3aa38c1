#!/usr/bin/env bash
# The benchmark's "fair batch" download (bench/run.sh): every duty of
# `ferrun -d`, each done once for all files where a batch can, with one curl
# process per kind of request on one kept-alive connection.  It is the
# reference that tells how much of ferrun's time goes to doing each file's
# steps one file at a time.
#
#   bench/batch_download.sh DIR OPS_URL USER:PASSWORD UNIT_CONTRACT LIST_REQUEST.xml
#
# Steps: the file list (one request); every listed "Static" file fetched into
# a staging directory in DIR (one curl); the CRC-32 of each checked against
# the list (one crc32); ".dtz" files unpacked (one gzip); the good files
# renamed into place (one mv); one flush before any acknowledgement (syncfs
# of the file system holding DIR: the files and the directory at once); an
# acknowledgement per placed file (one curl), its answer checked for a
# fault; a result line per file in DIR/Poll.Result, in ferrun's form, all
# appended at once.  A file that fails leaves no file in place and makes the
# exit status 1; the walk goes on with the others, as ferrun's does.
set -euo pipefail
dir=${1:?usage: batch_download.sh DIR OPS_URL USER:PASSWORD UNIT_CONTRACT LIST_REQUEST.xml}
ops=$2
user=$3
uc=$4
list_request=$5
cd "$dir"
stage=.stage
rm -rf -- "$stage"
mkdir -- "$stage"
failed=0

curl -sS -f -u "$user" -H 'Content-Type: text/xml' --data-binary @"$list_request" \
    -o "$stage/list.xml" "$ops/GetFileListFromQuvaro?UnitContract=$uc&QueryVersion=001"

# "FN<tab>FC" per "Static" entry of the list.
awk 'BEGIN { RS = "<R>" }
    function tag(t) {
        if (!match($0, "<" t ">[^<]*</" t ">")) return ""
        return substr($0, RSTART + length(t) + 2, RLENGTH - 2 * length(t) - 5)
    }
    NR > 1 && tolower(tag("FT")) == "static" { printf "%s\t%s\n", tag("FN"), tag("FC") }' \
    "$stage/list.xml" >"$stage/entries"

declare -A listed_crc  # base name -> FC
declare -A server_name # base name -> FN
order=()               # base names in list order
while IFS=$'\t' read -r fn fc; do
    base=${fn##*/}
    [ -z "${server_name[$base]+set}" ] || continue  # a name listed twice is fetched once
    listed_crc[$base]=$fc
    server_name[$base]=$fn
    order+=("$base")
done <"$stage/entries"
if [ ${#order[@]} -eq 0 ]; then
    rm -rf -- "$stage"
    exit 0
fi

# Every file in one curl, staged under its base name.
for base in "${order[@]}"; do
    printf 'next\nuser = "%s"\nurl = "%s/GetFileFromQuvaro?UnitContract=%s&FileName=%s&QueryVersion=001"\n' \
        "$user" "$ops" "$uc" "${server_name[$base]}"
    printf 'output = "%s/%s"\nwrite-out = "##\\t%%{response_code}\\t%%{exitcode}\\t%s\\n"\n' "$stage" "$base" "$base"
done | sed 1d >"$stage/get.conf"
curl -sS -K "$stage/get.conf" >"$stage/got" || true
fetched=()
while IFS=$'\t' read -r mark code exit base; do
    [ "$mark" = "##" ] || continue
    if [ "$code" = 200 ] && [ "$exit" = 0 ]; then fetched+=("$stage/$base"); else rm -f -- "${stage:?}/$base"; failed=1; fi
done <"$stage/got"
[ ${#fetched[@]} -eq ${#order[@]} ] || failed=1

# The CRC-32s in one crc32 ("HEX<tab>PATH" per file; only HEX for one file).
good=()
if [ ${#fetched[@]} -gt 0 ]; then
    crc32 "${fetched[@]}" >"$stage/crcs"
    [ ${#fetched[@]} -ne 1 ] || printf '%s\t%s\n' "$(cat "$stage/crcs")" "${fetched[0]}" >"$stage/crcs"
    while IFS=$'\t' read -r hex path; do
        base=${path##*/}
        fc=${listed_crc[$base]:-}
        if [[ $fc =~ ^[0-9]{1,10}$ ]] && [ "$((16#$hex))" = "$((10#$fc))" ]; then
            good+=("$base")
        else
            rm -f -- "$path"  # a wrong checksum leaves neither file nor result line
            failed=1
        fi
    done <"$stage/crcs"
fi

# ".dtz" files unpacked in one gzip, into the name cut at its first ".dtz".
results=()
placed=()
packed=()
for base in "${good[@]}"; do [[ $base != *.dtz* ]] || packed+=("$stage/$base"); done
if [ ${#packed[@]} -gt 0 ]; then gzip -d -f -S .dtz -- "${packed[@]}" 2>/dev/null || true; fi
for base in "${good[@]}"; do
    final=${base%%.dtz*}
    if [ -f "$stage/$final" ] && { [ "$final" = "$base" ] || [ ! -e "$stage/$base" ]; }; then
        placed+=("$base")
    else
        rm -f -- "${stage:?}/$base" "${stage:?}/$final"
        results+=("1003 ${server_name[$base]}")
        failed=1
    fi
done

if [ ${#placed[@]} -gt 0 ]; then
    finals=()
    for base in "${placed[@]}"; do finals+=("$stage/${base%%.dtz*}"); done
    mv -f -t . -- "${finals[@]}"
    sync -f .  # one flush of the placed files and the directory

    # The acknowledgements in one curl; each answer, then "## STATUS EXIT BASE".
    for base in "${placed[@]}"; do
        printf -v body '<SOAP:Envelope xmlns:SOAP=\\"urn:schemas-xmlsoap-org:soap.v1\\"><SOAP:Body><m:PostProcessQuvaroFile xmlns:m=\\"urn:poll-input\\"><R1><UC>%s</UC><FN>%s</FN></R1></m:PostProcessQuvaroFile></SOAP:Body></SOAP:Envelope>' \
            "$uc" "${server_name[$base]}"
        printf 'next\nuser = "%s"\nurl = "%s/PostProcessQuvaroFile?UnitContract=%s&QueryVersion=001"\n' \
            "$user" "$ops" "$uc"
        printf 'header = "Content-Type: text/xml"\ndata-binary = "%s"\n' "$body"
        printf 'write-out = "\\n##\\t%%{response_code}\\t%%{exitcode}\\t%s\\n"\n' "$base"
    done | sed 1d >"$stage/ack.conf"
    curl -sS -K "$stage/ack.conf" >"$stage/acked" || true
    # Accepted: status 200 and no fault in the answer.
    awk -F '\t' '$1 == "##" { print $4 "\t" ($2 == 200 && $3 == 0 && body !~ /<faultcode>/); body = ""; next }
        { body = body $0 }' "$stage/acked" >"$stage/ack_results"
    declare -A acked
    while IFS=$'\t' read -r base ok; do acked[$base]=$ok; done <"$stage/ack_results"
    for base in "${placed[@]}"; do
        if [ "${acked[$base]:-0}" = 1 ]; then
            results+=("0000 ${base%%.dtz*}")
        else
            results+=("1004 ${server_name[$base]}")
            failed=1
        fi
    done
fi
if [ ${#results[@]} -gt 0 ]; then printf '%s\r\n' "${results[@]}" >>Poll.Result; fi
rm -rf -- "$stage"
exit "$failed"
