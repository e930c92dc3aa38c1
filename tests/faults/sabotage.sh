#!/usr/bin/env bash
# Stands in for ferrun in the campaign's own check: runs the real ferrun
# (ZEL_FAULTS_REAL_FERRUN) with the same arguments, but first removes the
# first waiting upload (so it is neither sent nor kept) and afterwards
# changes one byte of the first downloaded file.  A campaign that does not
# report these as lost and corrupt cannot be trusted with its counts.
set -u
mode=${1:-}
dir=${2:-}
if [ "$mode" = -p ]; then
    for f in "$dir"/F*; do
        [ -f "$f" ] && rm -f "$f" && break
    done
fi
"${ZEL_FAULTS_REAL_FERRUN:?}" "$@"
rc=$?
if [ "$mode" = -d ]; then
    for f in "$dir"/F*; do
        [ -f "$f" ] || continue
        chmod u+w "$f"
        printf '\377' | dd of="$f" bs=1 seek=0 conv=notrunc status=none
        break
    done
fi
exit $rc
