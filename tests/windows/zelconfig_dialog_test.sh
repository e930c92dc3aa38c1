#!/usr/bin/env bash
# The dialogs of zelconfig.exe under wine, driven from outside by
# zelconfig_driver.exe (see there) against the central-side simulator
# running natively on loopback.
#
#   zelconfig_dialog_test.sh LINUX_BUILD WINDOWS_BUILD WORK_DIR
#
# The machines that run the tests have no display: wine's null display
# driver gives the windows a desktop nobody sees, in a wine prefix of this
# test's own (so the other suites keep wine's usual driver, and their
# registry keys do not meet this test's).  The simulator stays silent on
# the first request, for the test the driver stops.  After the driver's run
# the values the dialogs stored are read back with reg.exe: "AccessMethod"
# 0 from the confirmed direct test, and the three values of the proxy
# override dialog.
set -euo pipefail
. "$(dirname "$0")/wine_test_lib.sh"
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
wine_test_begin zelconfig_dialog_test "$3"
mkdir -p "$work/root"
cleanup() {
    stop_zelsim
    stop_own_wine_prefix
}
trap cleanup EXIT
use_own_wine_prefix
"$wine_run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 ||
    fail "could not choose wine's null display driver"
# The driver is read when the prefix's session starts.
WINEPREFIX=$ZEL_WINEPREFIX "$wineserver" -w >/dev/null 2>&1 || true

# Its first answer to the HTTP test's document never comes (the driver
# stops that test), the next ones do.
start_zelsim "$work" --fault /qvgqa/RetrieveServerInformation.xml=stall

export QVIS_ROOT
QVIS_ROOT=$(winpath "$work/root")
rc=0
"$wine_run" "$windows/tests/windows/zelconfig_driver.exe" \
    "$(winpath "$windows/connection_tool/zelconfig.exe")" "127.0.0.1:$port" \
    </dev/null >"$work/driver.out" 2>&1 || rc=$?
tr -d '\r' <"$work/driver.out"
[ "$rc" = 0 ] || fail "the driver exited $rc"
grep -q RetrieveServerInformationResponse "$work/root/response.txt" ||
    fail "response.txt is not the server information"

# value NAME: the stored value's data as reg.exe prints it.
value() {
    "$wine_run" reg query 'HKLM\SOFTWARE\Quvaro Information Systems\QVDataAccess\Servers' /v "$1" \
        </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
[ "$(value AccessMethod)" = 0x0 ] || fail "AccessMethod is '$(value AccessMethod)', not 0x0"
[ "$(value AccessOverride)" = 0x1 ] || fail "AccessOverride is '$(value AccessOverride)', not 0x1"
[ "$(value ProxyEnable)" = 0x0 ] || fail "ProxyEnable is '$(value ProxyEnable)', not 0x0"
[ "$(value ProxyServer)" = 'http=10.1.1.1:8080;https=10.1.1.1:8443' ] ||
    fail "ProxyServer is '$(value ProxyServer)'"
echo "zelconfig_dialog_test: the dialogs stored AccessMethod 0 and the proxy override values"
