#!/usr/bin/env bash
# The Windows installer under wine, in a wine prefix of its own (its drive
# C: is the scratch PC), as an administrator rolls it out:
#   1. "setup.exe /S /D=" naming another directory is refused and installs
#      nothing;
#   2. "setup.exe /S" installs: the programs, ferrun.conf with every key
#      commented and the batch files in the layout below C:\Apps\QVIS, the
#      InstallDir and OLMAR_EXE values, Poll.dll registered to its installed
#      path, the service qvzel_cron installed from there and running;
#   3. with the dealer's credentials (the installed zelpasswd.exe), CONTROL
#      and ISERVER.XML naming zelsim of the Linux build on loopback, the
#      installed download batch file (qvzel_nt.exe -d) places the published
#      files;
#   4. "setup.exe /S" again over the running installation succeeds, keeps
#      the administrator's ferrun.conf and leaves the service running;
#   5. "Uninstall.exe /S" removes the service, the component's registration,
#      the values and the installed files, and keeps the data directories
#      with the dealer's files;
#   6. on a PC where Olmar's installer named its own directory, the batch
#      files go there as well and Olmar's value stays, also when Zelway is
#      removed again.
#
#   installer_test.sh LINUX_BUILD SETUP_EXE WORK_DIR
#
# The prefix is removed again when the test passes.
set -euo pipefail
[ -f "$2" ] || {
    echo "installer_test: FAILED: no installer $2" >&2
    exit 1
}
. "$(dirname "$0")/wine_test_lib.sh"
linux=$(cd "$1" && pwd)
setup=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
wine_test_begin installer_test "$3"
say() { printf 'installer_test: %s\n' "$*"; }

# A prefix of its own, made by the installer's first run.
export ZEL_WINEPREFIX=$work/wineprefix
# The installed programs use the PC's own drive C:.
unset QVIS_ROOT
root=$ZEL_WINEPREFIX/drive_c/Apps/QVIS
comm=$root/PROG/COMM
cmn=$root/PROG/CMN
log=$work/wine.log

# Wine's output goes to a file, never to the test's own output: a process
# that wine starts on the way (its services, ours) would keep that open.
wine() { "$wine_run" "$@" </dev/null >>"$log" 2>&1; }
# The standard output of a Windows program, without its CRs.
wine_out() {
    local rc=0
    "$wine_run" "$@" </dev/null >"$work/out" 2>>"$log" || rc=$?
    tr -d '\r' <"$work/out"
    return "$rc"
}
# The data of one registry value, or nothing when it is missing.
reg_value() {
    local args=("$1")
    if [ "$2" = "" ]; then args+=(/ve); else args+=(/v "$2"); fi
    wine_out reg query "${args[@]}" 2>/dev/null |
        sed -n 's/^ *\([^ ].*\)\?  *REG_[A-Z_]*  *\(.*\)$/\2/p' | head -1 || true
}
service_state() {
    wine_out sc query qvzel_cron 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' ||
        true
}
# wait_for SECONDS COMMAND...: until the command succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

cleanup() {
    local rc=$?
    stop_zelsim
    stop_own_wine_prefix
    if [ "$rc" -eq 0 ]; then
        rm -rf "$ZEL_WINEPREFIX"
    else
        echo "installer_test: wine's output is in $log" >&2
    fi
}
trap cleanup EXIT

say "making the wine prefix"
wine wineboot --init || true
WINEPREFIX=$ZEL_WINEPREFIX "$wineserver" -w 2>/dev/null || true

say "1. /D= naming another directory is refused"
rc=0
wine "$(printf 'Z:%s' "${setup//\//\\}")" /S '/D=C:\Elsewhere' || rc=$?
[ "$rc" -eq 2 ] || fail "setup.exe /D=C:\\Elsewhere exited $rc, not 2"
[ ! -e "$ZEL_WINEPREFIX/drive_c/Elsewhere" ] || fail "setup.exe /D= wrote C:\\Elsewhere"
[ ! -e "$ZEL_WINEPREFIX/drive_c/Apps" ] || fail "setup.exe /D= wrote C:\\Apps"

say "2. silent install"
cp "$setup" "$ZEL_WINEPREFIX/drive_c/setup.exe"
rc=0
wine 'C:\setup.exe' /S || rc=$?
[ "$rc" -eq 0 ] || fail "setup.exe /S exited $rc"
programs=(Poll.dll ferrun.exe qvzel_nt.exe qvzel_cron.exe zelpasswd.exe zelstatus.exe)
installed=("$root/Uninstall.exe" "$comm/ferrun.conf")
for f in "${programs[@]}"; do installed+=("$comm/$f"); done
for f in qvzelup.bat qvzeldown.bat qvzelproc.bat; do installed+=("$cmn/$f"); done
# The connection tool, when this tree builds it for Windows.
[ ! -e "$comm/zelconfig.exe" ] || installed+=("$comm/zelconfig.exe")
for f in "${installed[@]}"; do [ -f "$f" ] || fail "not installed: ${f#"$root"/}"; done
for d in "$comm/DOWNLOAD" "$comm/UPLOAD" "$cmn"; do [ -d "$d" ] || fail "no ${d#"$root"/}"; done
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort |
    grep -v -x -F -f <(printf '%s\n' "${installed[@]#"$root"/}") || true)
[ -z "$extra" ] || fail "files the installer should not have written: $extra"
# Every key commented, the Debian package's text with the line ends of
# Windows.
cmp -s "$comm/ferrun.conf" <(sed 's/$/\r/' "$top/packaging/ferrun.conf") ||
    fail "ferrun.conf is not the packaged one with CR LF line ends"
! grep -v -e '^#' -e '^.$' "$comm/ferrun.conf" | grep -q . || fail "ferrun.conf sets a key"
for job in up:u down:d proc:p; do
    bat=$cmn/qvzel${job%%:*}.bat
    grep -q "^\"C:\\\\Apps\\\\QVIS\\\\PROG\\\\COMM\\\\qvzel_nt.exe\" -${job#*:}"$'\r'"\$" "$bat" ||
        fail "$(basename "$bat") does not run qvzel_nt.exe -${job#*:}: $(cat "$bat")"
done

product='HKLM\SOFTWARE\Quvaro Information Systems\Quvaro Zelway'
olmar='HKLM\SOFTWARE\qvis\olmar'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelway'
[ "$(reg_value "$product" InstallDir)" = 'C:\Apps\QVIS\PROG\COMM' ] ||
    fail "InstallDir is '$(reg_value "$product" InstallDir)'"
[ "$(reg_value "$olmar" OLMAR_EXE)" = 'C:\Apps\QVIS\PROG\CMN' ] ||
    fail "OLMAR_EXE is '$(reg_value "$olmar" OLMAR_EXE)'"
[ "$(reg_value "$uninstall" QuietUninstallString)" = '"C:\Apps\QVIS\Uninstall.exe" /S' ] ||
    fail "no uninstall entry: '$(reg_value "$uninstall" QuietUninstallString)'"
clsid=$(reg_value 'HKCR\Poll.Poll\CLSID' "")
[ -n "$clsid" ] || fail "Poll.dll is not registered (no HKCR\\Poll.Poll\\CLSID)"
server=$(reg_value "HKCR\\CLSID\\$clsid\\InprocServer32" "")
[ "$server" = 'C:\Apps\QVIS\PROG\COMM\Poll.dll' ] || fail "Poll.dll registered as '$server'"
wait_for 30 test "$(service_state)" = RUNNING ||
    fail "the service is not running: $(wine_out sc query qvzel_cron || true)"
# (wine's sc.exe has no "qc": the service's own key tells the same.)
image=$(reg_value 'HKLM\SYSTEM\CurrentControlSet\Services\qvzel_cron' ImagePath)
[ "$image" = '"C:\Apps\QVIS\PROG\COMM\qvzel_cron.exe"' ] ||
    fail "the service runs '$image', not the installed program"
events='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\qvzel_cron'
[ "$(reg_value "$events" EventMessageFile)" = 'C:\Apps\QVIS\PROG\COMM\qvzel_cron.exe' ] ||
    fail "the service's event source names '$(reg_value "$events" EventMessageFile)'"

say "3. the installed download job against zelsim on loopback"
central=$work/central
mkdir -p "$central/data/DLR01" "$central/uploads"
printf 'price list of today\r\n' >"$central/data/DLR01/PRICES.DAT"
head -c 300000 /dev/urandom >"$central/PARTS.DAT"
gzip -n -c "$central/PARTS.DAT" >"$central/data/DLR01/PARTS.DAT.dtz"
printf 'dealer7:s3cret\n' >"$central/users.txt"
start_zelsim "$central" --users "$central/users.txt" --data-dir "$central/data" \
    --upload-dir "$central/uploads"
printf 'DEMO,01,X,DLR' >"$comm/CONTROL" # the unit contract DLR01
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
    "$port" >"$comm/ISERVER.XML"
wine 'C:\Apps\QVIS\PROG\COMM\zelpasswd.exe' dealer7:s3cret || fail "zelpasswd.exe failed"
wine cmd /c 'C:\Apps\QVIS\PROG\CMN\qvzeldown.bat' || fail "qvzeldown.bat failed"
cmp -s "$comm/DOWNLOAD/PRICES.DAT" <(printf 'price list of today\r\n') ||
    fail "PRICES.DAT was not placed: $(cat "$comm/qvzeldownfile" 2>/dev/null || echo no qvzeldownfile)"
cmp -s "$comm/DOWNLOAD/PARTS.DAT" "$central/PARTS.DAT" || fail "PARTS.DAT was not placed unpacked"
for f in PRICES.DAT PARTS.DAT; do
    grep -q "^Successful Download of File $f" "$comm/qvzeldownfile" ||
        fail "the download of $f is not reported in qvzeldownfile"
done
for f in PRICES.DAT PARTS.DAT.dtz; do
    [ ! -e "$central/data/DLR01/$f" ] || fail "$f was not acknowledged"
done

say "4. reinstall over the running installation"
printf 'dumpmsg=1\r\n' >>"$comm/ferrun.conf"
cp "$comm/ferrun.conf" "$work/ferrun.conf.edited"
rc=0
wine 'C:\setup.exe' /S || rc=$?
[ "$rc" -eq 0 ] || fail "setup.exe /S over the installation exited $rc"
cmp -s "$comm/ferrun.conf" "$work/ferrun.conf.edited" || fail "the reinstall replaced ferrun.conf"
wait_for 30 test "$(service_state)" = RUNNING || fail "the service is not running after the reinstall"

say "5. silent uninstall"
# The uninstaller runs on from a copy of itself and returns at once; its
# own file is the last it removes.
wine 'C:\Apps\QVIS\Uninstall.exe' /S || fail "Uninstall.exe /S failed to start"
wait_for 60 test ! -e "$root/Uninstall.exe" || fail "Uninstall.exe is still there after 60 s"
timeout 60 env WINEPREFIX="$ZEL_WINEPREFIX" "$wineserver" -w || fail "the uninstaller did not end"
state=$(service_state)
[ -z "$state" ] || fail "the service is still installed ($state)"
[ -z "$(reg_value 'HKCR\Poll.Poll\CLSID' "")" ] || fail "HKCR\\Poll.Poll is still there"
[ -z "$(reg_value "HKCR\\CLSID\\$clsid\\InprocServer32" "")" ] || fail "the class is still registered"
[ -z "$(reg_value 'HKCR\AppID\qvzel_cron.EXE' AppID)" ] || fail "the service's AppID is still there"
[ -z "$(reg_value "$events" EventMessageFile)" ] || fail "the service's event source is still there"
[ -z "$(reg_value "$product" InstallDir)" ] || fail "InstallDir is still there"
[ -z "$(reg_value "$olmar" OLMAR_EXE)" ] || fail "OLMAR_EXE is still there"
[ -z "$(reg_value "$uninstall" DisplayName)" ] || fail "the uninstall entry is still there"
for f in "${installed[@]}"; do [ ! -e "$f" ] || fail "not removed: ${f#"$root"/}"; done
for d in "$comm/DOWNLOAD" "$comm/UPLOAD" "$cmn"; do [ -d "$d" ] || fail "removed: ${d#"$root"/}"; done
for f in DOWNLOAD/PRICES.DAT DOWNLOAD/PARTS.DAT CONTROL ISERVER.XML qvzeldownfile; do
    [ -e "$comm/$f" ] || fail "the dealer's $f was removed"
done

say "6. install and uninstall beside an Olmar with a directory of its own"
olmar_dir=$ZEL_WINEPREFIX/drive_c/Olmar
mkdir -p "$olmar_dir"
printf 'the business system' >"$olmar_dir/olmar.exe"
wine reg add "$olmar" /v OLMAR_EXE /t REG_SZ /d 'C:\Olmar' /f || fail "reg add OLMAR_EXE"
rc=0
wine 'C:\setup.exe' /S || rc=$?
[ "$rc" -eq 0 ] || fail "setup.exe /S beside Olmar exited $rc"
[ "$(reg_value "$olmar" OLMAR_EXE)" = 'C:\Olmar' ] || fail "the installer changed OLMAR_EXE"
for f in qvzelup.bat qvzeldown.bat qvzelproc.bat; do
    cmp -s "$cmn/$f" "$olmar_dir/$f" || fail "$f was not copied into Olmar's directory"
done
wait_for 30 test "$(service_state)" = RUNNING || fail "the service is not running beside Olmar"
wine 'C:\Apps\QVIS\Uninstall.exe' /S || fail "Uninstall.exe /S failed to start"
wait_for 60 test ! -e "$root/Uninstall.exe" || fail "Uninstall.exe is still there after 60 s"
timeout 60 env WINEPREFIX="$ZEL_WINEPREFIX" "$wineserver" -w || fail "the uninstaller did not end"
[ "$(reg_value "$olmar" OLMAR_EXE)" = 'C:\Olmar' ] || fail "the uninstaller removed OLMAR_EXE"
[ "$(cd "$olmar_dir" && ls)" = olmar.exe ] ||
    fail "Olmar's directory holds $(cd "$olmar_dir" && ls | tr '\n' ' ')after the uninstall"
[ -z "$(service_state)" ] || fail "the service is still installed"
say "passed"
