#!/usr/bin/env bash
# zelstatus.exe under wine, checked against the Linux zelstatus of the same
# tree looking at the same state.
#
#   zelstatus_wine_test.sh LINUX_BUILD WINDOWS_BUILD WORK_DIR
#
# Both look at an empty scratch system root with the service not installed,
# judged at the same moment (--now).  Their help texts are the same bytes
# but for the line ends, and so are their reports, but for what differs by
# design: the root's spelling (Z:/... under wine), the time zone's name, the
# service manager's line and the way to start the service.  The Windows
# report's own lines for those are checked as they are.  Then
# qvzel_cron.exe runs as an ordinary program: zelstatus.exe names it by its
# lock and recorded pid, and no longer once it is killed.  It runs in a wine
# prefix of its own, so that no other suite's keys show in the report.
set -euo pipefail
. "$(dirname "$0")/wine_test_lib.sh"
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
wine_test_begin zelstatus_wine_test "$3"
cleanup() { stop_own_wine_prefix; }
trap cleanup EXIT
use_own_wine_prefix

exe=$windows/tools/zelstatus.exe
tool=$linux/tools/zelstatus
root=$work/root
mkdir -p "$root"
now="2026-01-05 10:00"

# The help: the same text, exit 0 on both.
"$wine_run" "$exe" --help </dev/null >"$work/help.win" 2>&1 || fail "zelstatus.exe --help failed"
"$tool" --help >"$work/help.linux" 2>&1 || fail "zelstatus --help failed"
tr -d '\r' <"$work/help.win" | cmp -s - "$work/help.linux" ||
    fail "the help texts differ: $(tr -d '\r' <"$work/help.win" | diff - "$work/help.linux" | head -5)"

# The report of the empty root; exit 0 without --check.
QVIS_ROOT=$(winpath "$root") "$wine_run" "$exe" --now "$now" </dev/null >"$work/report.win" ||
    fail "zelstatus.exe failed"
QVIS_ROOT=$root ZEL_UNIT_DIR=$work/units "$tool" --now "$now" >"$work/report.linux" ||
    fail "zelstatus failed"
tr -d '\r' <"$work/report.win" | sed 's|Z:/|/|g' >"$work/report.win.native"
grep -qx '  service qvzel_cron: not installed' "$work/report.win.native" ||
    fail "zelstatus.exe does not say the service is not installed: $(cat "$work/report.win")"
grep -qx '  qvzel_cron: NOT running' "$work/report.win.native" ||
    fail "zelstatus.exe does not say the service is not running"
grep -q '(net start qvzel_cron, or qvzel_cron.exe as an administrator)' \
    "$work/report.win.native" || fail "zelstatus.exe does not say how to start the service"
grep -q "^zelstatus for $root at Mon 2026-01-05 10:00 " "$work/report.win.native" ||
    fail "zelstatus.exe's first line: $(head -1 "$work/report.win")"
# What differs by design is left out of the comparison.
same_part() {
    sed -e '1d' -e '/^  service qvzel_cron: /d' -e '/^  systemd unit /d' \
        -e 's/start it (.*)$/start it (...)/' "$1"
}
diff <(same_part "$work/report.win.native") <(same_part "$work/report.linux") >"$work/report.diff" ||
    fail "the reports differ: $(head -20 "$work/report.diff")"

# --check names the same reasons and exits 1 on both.
rc=0
QVIS_ROOT=$(winpath "$root") "$wine_run" "$exe" --check --now "$now" </dev/null \
    >/dev/null 2>"$work/check.win" || rc=$?
[ "$rc" = 1 ] || fail "zelstatus.exe --check exited $rc, not 1"
# Owner and mode tell nothing on Windows: the password file is judged by
# its kind, and no made-up uid or mode is shown.
mkdir -p "$root/Apps/QVIS/PROG/COMM"
printf 'x' >"$root/Apps/QVIS/PROG/COMM/IACCESS"
QVIS_ROOT=$(winpath "$root") "$wine_run" "$exe" </dev/null | tr -d '\r' >"$work/report.iaccess"
grep -qx '    (judged by its kind: who may read it cannot be known here)' "$work/report.iaccess" ||
    fail "the password file's line: $(grep -A1 IACCESS "$work/report.iaccess")"

# A holder of the service's lock: qvzel_cron.exe as an ordinary program.
# Found through its lock and the pid it recorded, and not under the service
# control manager; once it is killed its lock holds nothing.
cron_pid=
stop_cron() {
    if [ -n "$cron_pid" ]; then
        kill -9 "$cron_pid" 2>/dev/null || true
        wait "$cron_pid" 2>/dev/null || true
        cron_pid=
    fi
}
trap 'stop_cron; cleanup' EXIT
cron_exe=$windows/scheduler/qvzel_cron.exe
QVIS_ROOT=$(winpath "$root") "$wine_run" "$cron_exe" -RegServer </dev/null >"$work/reg.out" 2>&1 ||
    fail "qvzel_cron.exe -RegServer: $(cat "$work/reg.out")"
QVIS_ROOT=$(winpath "$root") "$wine_run" "$cron_exe" </dev/null >"$work/cron.out" 2>&1 &
cron_pid=$!
report() {
    QVIS_ROOT=$(winpath "$root") "$wine_run" "$exe" </dev/null | tr -d '\r' >"$work/report.now"
}
found=
for _ in $(seq 60); do
    report
    if grep -q '^  qvzel_cron: running, pid ' "$work/report.now"; then
        found=1
        break
    fi
    kill -0 "$cron_pid" 2>/dev/null || fail "qvzel_cron.exe ended: $(cat "$work/cron.out")"
done
[ -n "$found" ] || fail "zelstatus.exe never saw qvzel_cron.exe run: $(cat "$work/report.now")"
pid=$(tr -d '\r\n' <"$root/qvzel_cron.pid")
grep -qx "  qvzel_cron: running, pid $pid, not under the service control manager" \
    "$work/report.now" || fail "the running service's line: $(grep qvzel_cron: "$work/report.now")"
stop_cron
gone=
for _ in $(seq 60); do
    report
    if grep -qx '  qvzel_cron: NOT running' "$work/report.now"; then
        gone=1
        break
    fi
done
[ -n "$gone" ] || fail "qvzel_cron.exe killed, still running: $(grep qvzel_cron: "$work/report.now")"
echo "zelstatus_wine_test: passed"
