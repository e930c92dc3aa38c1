#!/usr/bin/env bash
# The Debian package as an administrator meets it, from a built tree:
#   1. "cpack -G DEB" makes zelway and its debug symbols; lintian reports no
#      error; the package holds stripped programs under /usr, a manual page
#      for every program, the copyright and the changelog; its unit passes
#      systemd-analyze verify and scores 4.0 or less in its security check;
#   2. the package is installed into a scratch root (dpkg --root with the
#      maintainer scripts run outside a chroot, DPKG_ROOT set); postinst
#      makes the layout, the group and the registrations;
#   3. the administrator's steps (zelpasswd, CONTROL, ISERVER.XML naming a
#      loopback zelsim, INIT_CTRL), then the installed qvzel_nt -d run by a
#      member of the zelway group who is not root places the published files;
#   4. the installed qvzel_cron, started as the unit starts it, sends READY;
#   5. remove and purge leave nothing of the package but what the
#      administrator and the dealer made.
# Usage: tests/packaging/package_test.sh BUILD_DIR   (as root; exit 0 = pass)
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "package_test: FAILED: $*" >&2; exit 1; }
say() { echo "package_test: $*"; }
[ "$(id -u)" -eq 0 ] || { echo "package_test: skipped (needs root)"; exit 0; }

work=$(mktemp -d /tmp/zelpkg.XXXXXX)
# The support user below must reach the scratch root.
chmod 0755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

say "building the package"
(cd "$build" && rm -f zelway*.deb zelway*.ddeb && cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$build"/zelway_*.deb | head -1)
[ -f "$deb" ] || fail "no zelway_*.deb"
ls "$build"/zelway-dbgsym_*.*deb >/dev/null 2>&1 || fail "no debug-symbols package"

if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 || true
    if grep -q '^E:' "$work/lintian.log"; then cat "$work/lintian.log"; fail "lintian errors"; fi
    say "lintian: $(grep -c '^W:' "$work/lintian.log" || true) warnings, no errors"
fi

dpkg-deb -x "$deb" "$work/content"
dpkg-deb -c "$deb" >"$work/contents"
programs=(ferrun qvzel_nt qvzel_cron zelconfig qvreg regsvr zelpasswd zeldir zelsim zelstatus)
for p in "${programs[@]}"; do
    f="$work/content/usr/bin/$p"
    [ -x "$f" ] || fail "not packaged: /usr/bin/$p"
    readelf -S "$f" | grep -q '\.debug_info' && fail "not stripped: /usr/bin/$p"
    ls "$work/content/usr/share/man/man"[18]/"$p".[18].gz >/dev/null 2>&1 || fail "no manual page for $p"
done
for f in usr/lib/zelway/libPoll.so usr/lib/zelway/libzelcom.so usr/share/doc/zelway/copyright \
         usr/share/doc/zelway/changelog.gz etc/zelway/ferrun.conf etc/default/zelway \
         usr/lib/systemd/system/qvzel_cron.service; do
    [ -e "$work/content/$f" ] || fail "not packaged: /$f"
done

say "the unit: systemd's checks"
if command -v systemd-analyze >/dev/null; then
    mkdir -p "$work/units"
    # verify also checks that ExecStart= names a program; it is taken from
    # the unpacked package here.
    sed "s|^ExecStart=\"/|ExecStart=\"$work/content/|" \
        "$work/content/usr/lib/systemd/system/qvzel_cron.service" >"$work/units/qvzel_cron.service"
    systemd-analyze verify --man=no "$work/units/qvzel_cron.service" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log"; fail "systemd-analyze verify"; }
    systemd-analyze security --offline=true --threshold=40 \
        "$work/content/usr/lib/systemd/system/qvzel_cron.service" >"$work/security.log" 2>&1 ||
        { tail -3 "$work/security.log"; fail "systemd-analyze security: exposure above 4.0"; }
    say "$(grep -o 'Overall exposure level.*' "$work/security.log")"
fi

say "installing into a scratch root"
R="$work/root"
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates" "$R/etc" "$R/tmp"
chmod 1777 "$R/tmp"
touch "$R/var/lib/dpkg/status"
cp /etc/passwd /etc/group /etc/shadow /etc/gshadow "$R/etc/"
install_deb() {
    dpkg --root="$R" --force-script-chrootless --force-depends --force-not-root \
        --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }
}
install_deb -i "$deb"
qroot="$R/var/lib/qvis"
comm="$qroot/Apps/QVIS/PROG/COMM"
cmn="$qroot/Apps/QVIS/PROG/CMN"
for d in "$comm/DOWNLOAD" "$comm/UPLOAD" "$cmn"; do [ -d "$d" ] || fail "postinst made no $d"; done
[ -L "$cmn/qvzeldown.bat" ] || fail "postinst linked no batch files into CMN"
gid=$(sed -n 's/^zelway:[^:]*:\([0-9]*\):.*/\1/p' "$R/etc/group")
[ -n "$gid" ] || fail "postinst made no zelway group"
[ "$(stat -c %g "$comm")" = "$gid" ] || fail "COMM is not the zelway group's"
[ "$(stat -c %a "$qroot")" = 2770 ] || fail "system root mode $(stat -c %a "$qroot"), not 2770"

say "first set-up: credentials, CONTROL, ISERVER.XML, transfers enabled"
export QVIS_ROOT="$qroot"
mkdir -p "$work/data/DLR01" "$work/uploads"
printf 'price list of today\r\n' >"$work/data/DLR01/PRICES.DAT"
printf 'dealer7:s3cret\n' >"$work/users.txt"
"$build/tools/zelsim" --ready-file "$work/ready" --users "$work/users.txt" \
    --data-dir "$work/data" --upload-dir "$work/uploads" >"$work/zelsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
[ -s "$work/ready" ] || fail "zelsim did not start"
port=$(sed -n 's/^http_port=//p' "$work/ready")
"$R/usr/bin/zelpasswd" dealer7:s3cret || fail "zelpasswd"
printf 'DEMO,01,X,DLR' >"$comm/CONTROL"
printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
    "$port" >"$comm/ISERVER.XML"
printf 'QVZEL=Y\r\n' >"$cmn/INIT_CTRL"
# The jobs run as root; the credentials stay the administrator's (0600), so
# the support user runs with them readable through the group only here.
chgrp "$gid" "$comm/IACCESS" && chmod 0640 "$comm/IACCESS"

say "download job as a member of the zelway group (not root)"
setpriv --reuid=65534 --regid="$gid" --clear-groups env QVIS_ROOT="$qroot" TMPDIR="$R/tmp" \
    HOME="$R/tmp" "$R/usr/bin/qvzel_nt" -d || fail "qvzel_nt -d"
cmp -s "$comm/DOWNLOAD/PRICES.DAT" <(printf 'price list of today\r\n') ||
    fail "PRICES.DAT not placed: $(ls -la "$comm/DOWNLOAD"; cat "$comm/qvzeldownfile" 2>/dev/null)"
grep -q '^Successful Download of File PRICES.DAT' "$comm/qvzeldownfile" || fail "not reported"

say "the service sends READY when started as the unit starts it"
python3 - "$R/usr/bin/qvzel_cron" "$qroot" "$work/notify" <<'PY' || fail "no READY from qvzel_cron"
import os, socket, subprocess, sys
exe, root, path = sys.argv[1:4]
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
sock.settimeout(20)
env = dict(os.environ, QVIS_ROOT=root, NOTIFY_SOCKET=path, ZEL_SYSTEMCTL="")
child = subprocess.Popen([exe], env=env, stdout=subprocess.DEVNULL)
try:
    while b"READY=1" not in sock.recv(4096):
        pass
finally:
    child.terminate()
    child.wait(20)
PY

say "remove and purge"
install_deb -r zelway
[ -e "$R/usr/bin/ferrun" ] && fail "remove left /usr/bin/ferrun"
install_deb -P zelway
left=$(cd "$R" && find . \( -path ./var/lib/dpkg -o -path ./etc/passwd -o -path ./etc/group \
    -o -path ./tmp \) -prune -o -type f -print | sed 's|^\./||' | sort)
# What the administrator and the dealer made stays; nothing else may.
expected=$(printf '%s\n' etc/group- etc/gshadow etc/gshadow- etc/shadow etc/passwd- \
    var/lib/qvis/Apps/QVIS/PROG/CMN/INIT_CTRL var/lib/qvis/Apps/QVIS/PROG/COMM/CONTROL \
    var/lib/qvis/Apps/QVIS/PROG/COMM/DOWNLOAD/PRICES.DAT var/lib/qvis/Apps/QVIS/PROG/COMM/IACCESS \
    var/lib/qvis/Apps/QVIS/PROG/COMM/ISERVER.XML var/lib/qvis/registry.db | sort)
extra=$(comm -23 <(echo "$left") <(echo "$expected"))
[ -z "$extra" ] || fail "left after purge: $(echo "$extra" | tr '\n' ' ')"
say "PASS"
