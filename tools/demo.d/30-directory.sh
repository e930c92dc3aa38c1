# Demo step: the server directory.  Starts the central-side simulator zelsim
# on 127.0.0.1 (plain HTTP entry point, HTTPS transfer server with a
# throw-away self-signed certificate), names it in ISERVER.XML, refreshes the
# directory with zeldir and shows what the registry holds.  Sourced by
# tools/demo.sh (uses $build, $QVIS_ROOT, say, run); runs in a subshell and
# stops zelsim on every way out.
(
    set -euo pipefail
    sim="$build/tools/zelsim"
    zeldir="$build/tools/zeldir"
    if [ ! -x "$sim" ] || [ ! -x "$zeldir" ]; then
        say "Server directory: skipped (zelsim or zeldir not built)"
        exit 0
    fi
    comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
    work="$QVIS_ROOT/zelsim"
    mkdir -p "$comm" "$work"

    tls=()
    if command -v openssl >/dev/null &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
            -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
            -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1; then
        tls=(--https-port 0 --cert "$work/cert.pem" --key "$work/key.pem")
        export SSL_CERT_FILE="$work/cert.pem"
    fi

    say "Server directory: central-side simulator on 127.0.0.1"
    rm -f "$work/ready" "$work/requests"
    "$sim" --ready-file "$work/ready" --request-log "$work/requests" "${tls[@]}" \
        >"$work/zelsim.out" 2>&1 &
    pid=$!
    trap 'kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
    for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
    [ -s "$work/ready" ] || { echo "zelsim did not start"; cat "$work/zelsim.out"; exit 1; }
    cat "$work/zelsim.out"
    http_port=$(sed -n 's/^http_port=//p' "$work/ready")

    say "Server directory: ISERVER.XML names the simulator as entry point"
    printf '<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:%s</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR><SSLP>N</SSLP></R></XML>' \
        "$http_port" >"$comm/ISERVER.XML"
    run cat "$comm/ISERVER.XML"
    echo

    say "Server directory: refresh (server list, system information, query list)"
    run "$zeldir" --debug
    echo "requests that reached the simulator:"
    sed 's/^/  /' "$work/requests"

    say "Server directory: a second run within a day uses the cache"
    run "$zeldir" --if-stale

    say "Server directory: the registry as the refresh left it"
    run "$build/tools/qvreg" export 'HKLM\SOFTWARE\Quvaro Information Systems\QVDataAccess'
)
