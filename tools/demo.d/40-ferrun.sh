# Demo step: the console client ferrun.  It unpacks a ".dtz" file by hand,
# refuses a bad command line (the error lands in qvzel.log), and shows that
# a transfer needs the Poll component registered.  Sourced by tools/demo.sh
# (uses $build, $QVIS_ROOT, say, run); runs in a subshell.
(
    set -euo pipefail
    ferrun="$build/client/ferrun"
    comm="$QVIS_ROOT/Apps/QVIS/PROG/COMM"
    work="$QVIS_ROOT/ferrun-demo"
    mkdir -p "$work"

    say "Console client: unpack one .dtz file with ferrun -z"
    printf 'dealer price list\n' >"$work/PRICES.TXT"
    gzip -c "$work/PRICES.TXT" >"$work/PRICES.TXT.dtz"
    rm "$work/PRICES.TXT"
    run "$ferrun" -z "$work/PRICES.TXT.dtz"
    run cat "$work/PRICES.TXT"

    say "Console client: an invalid argument (usage text, error line in qvzel.log, exit 1)"
    rc=0
    run "$ferrun" -x || rc=$?
    echo "  exit code: $rc"
    run tail -n 1 "$comm/qvzel.log"

    say "Console client: a download (creation fails while no Poll component is registered)"
    rc=0
    run "$ferrun" -d "$work/in" || rc=$?
    echo "  exit code: $rc"
)
