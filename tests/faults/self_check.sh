#!/usr/bin/env bash
# The fault campaign's own check, run by CTest: a few quick runs with real
# transfers must come out clean, and the same runs with a ferrun that loses
# an upload and damages a download must be reported as lost and corrupt,
# with a failing exit status.  Usage: self_check.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: self_check.sh BUILD_DIR}" && pwd) || exit 1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zelfaults.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
export ZEL_FAULTS_KINDS="refused 503"
runs=6
seed=4242 # both directions and both faults within six runs
failed=0

# count NAME OUTPUT: the value of one count in the campaign's table.
count() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }

out=$(ZEL_FAULTS_WORK="$work/clean" "$here/run.sh" "$build" "$runs" "$seed" 2>&1)
rc=$?
if [ $rc -ne 0 ] || ! grep -q '^fault campaign: PASS' <<<"$out"; then
    echo "clean campaign did not pass (exit $rc):"
    echo "$out"
    cat "$work/clean/campaign.log"
    failed=1
fi
grep -q 'down ' "$work/clean/campaign.log" && grep -q 'up ' "$work/clean/campaign.log" || {
    echo "the seed no longer gives both directions"
    failed=1
}

out=$(ZEL_FAULTS_WORK="$work/bad" ZEL_FAULTS_FERRUN="$here/sabotage.sh" \
    ZEL_FAULTS_REAL_FERRUN="$build/client/ferrun" "$here/run.sh" "$build" "$runs" "$seed" 2>&1)
rc=$?
lost=$(count lost "$out")
corrupt=$(count corrupt "$out")
if [ $rc -ne 1 ] || [ "${lost:-0}" -lt 1 ] || [ "${corrupt:-0}" -lt 1 ]; then
    echo "sabotaged campaign: exit $rc, lost ${lost:-?}, corrupt ${corrupt:-?} (want 1, >0, >0):"
    echo "$out"
    failed=1
fi
[ $failed -eq 0 ] && echo "fault campaign self-check: ok"
exit $failed
