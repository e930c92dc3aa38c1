#!/usr/bin/env bash
# Replaces the benchmark results in a Markdown file with a results file of
# bench/run.sh: the whole table in the developers' guide docs/DEVELOPING.md
# (between the lines "<!-- bench:begin -->" and "<!-- bench:end -->"), or,
# with --goals, only the run's first line (machine, sizes, build) and the
# goals against the best tools in the README (between "<!-- goals:begin -->"
# and "<!-- goals:end -->").  The file is rewritten whole, through a
# temporary file that takes the file's mode (mktemp makes it private)
# before it takes its name.
#   bench/update_readme.sh [--goals] RESULTS.md FILE.md
set -euo pipefail
marker=bench
if [ "${1:-}" = --goals ]; then
    marker=goals
    shift
fi
results=${1:?usage: bench/update_readme.sh [--goals] RESULTS.md FILE.md}
readme=${2:?usage: bench/update_readme.sh [--goals] RESULTS.md FILE.md}
grep -q "^<!-- $marker:begin -->\$" "$readme" && grep -q "^<!-- $marker:end -->\$" "$readme" || {
    echo "update_readme: no $marker markers in $readme" >&2
    exit 1
}
section=$results
if [ "$marker" = goals ]; then
    section=$(mktemp)
    trap 'rm -f "$section"' EXIT
    # The machine line, then the block from "Goals against" to the blank
    # line that ends it.
    awk 'NR == 1 { print; print ""; next }
         /^Goals against/ { on = 1 }
         on && /^$/ && seen { exit }
         on { print; if (/^- /) seen = 1 }' "$results" >"$section"
    grep -q '^Goals against' "$section" || {
        echo "update_readme: no goals in $results" >&2
        exit 1
    }
fi
tmp=$(mktemp "$readme.XXXXXX")
awk -v results="$section" -v begin="<!-- $marker:begin -->" -v end="<!-- $marker:end -->" '
    $0 == begin { print; while ((getline line < results) > 0) print line; skip = 1; next }
    $0 == end { skip = 0 }
    !skip { print }' "$readme" >"$tmp"
chmod --reference="$readme" "$tmp"
mv "$tmp" "$readme"
echo "$readme: benchmark $marker updated from $results"
