#!/usr/bin/env bash
# Replaces the benchmark table in a Markdown file, the developers' guide
# docs/DEVELOPING.md (between the lines "<!-- bench:begin -->" and
# "<!-- bench:end -->"), with a results file of bench/run.sh.  The file is
# rewritten whole, through a temporary file that takes the file's mode
# (mktemp makes it private) before it takes its name.
#   bench/update_readme.sh RESULTS.md docs/DEVELOPING.md
set -euo pipefail
results=${1:?usage: bench/update_readme.sh RESULTS.md FILE.md}
readme=${2:?usage: bench/update_readme.sh RESULTS.md FILE.md}
grep -q '^<!-- bench:begin -->$' "$readme" && grep -q '^<!-- bench:end -->$' "$readme" || {
    echo "update_readme: no bench markers in $readme" >&2
    exit 1
}
tmp=$(mktemp "$readme.XXXXXX")
awk -v results="$results" '
    /^<!-- bench:begin -->$/ { print; while ((getline line < results) > 0) print line; skip = 1; next }
    /^<!-- bench:end -->$/ { skip = 0 }
    !skip { print }' "$readme" >"$tmp"
chmod --reference="$readme" "$tmp"
mv "$tmp" "$readme"
echo "$readme: benchmark table updated from $results"
