#!/usr/bin/env bash
# Source-tree checks that the test command runs before it builds: formatting
# (clang-format with the project's .clang-format), calls the project does not
# use (unbounded or non-reentrant C string functions and unchecked number
# parsing), and the layer order of the libraries.  Every violation is printed
# as file:line: text; the exit status is 1 when there is any, else 0.
# Only the project's own sources are looked at (tracked files, or every file
# below the source folders outside a git checkout); build trees are skipped.
set -uo pipefail
cd "$(dirname "$0")/.."

# Lower layers first; a library may include its own headers and those of the
# layers before it.  scheduler stands on platform and support only.  Every
# other folder (programs, tools, tests) stands above all of them.
LAYERS=(platform support log transport directory poll)
declare -A ALLOWED=(
    [platform]="platform"
    [support]="platform support"
    [log]="platform support log"
    [transport]="platform support log transport"
    [directory]="platform support log transport directory"
    [poll]="platform support log transport directory poll"
    [scheduler]="platform support scheduler"
)
LIBRARIES="${LAYERS[*]} scheduler"

list_sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.hpp' '*.cc'
    else
        find . -path './build*' -prune -o -path './scratch' -prune -o \
            \( -name '*.h' -o -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' \) -print |
            sed 's#^\./##'
    fi | grep -v '^build' | sort
}

mapfile -t FILES < <(list_sources)
failed=0
report() { echo "$1"; failed=1; }

# 1. Formatting.
if command -v clang-format >/dev/null 2>&1; then
    for f in "${FILES[@]}"; do
        [ -f "$f" ] || continue
        if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
            line=$(clang-format --dry-run "$f" 2>&1 | sed -n 's/^[^:]*:\([0-9]*\):.*/\1/p' | head -1)
            report "$f:${line:-1}: not formatted (run clang-format -i $f)"
        fi
    done
else
    report "clang-format: not installed"
fi

# 2. Banned calls, outside comments and string literals (a rough strip is
# enough: the names are unusual).
BANNED='sprintf|strcpy|strcat|strtok|atoi|atol|gets'
for f in "${FILES[@]}"; do
    [ -f "$f" ] || continue
    awk -v file="$f" -v banned="$BANNED" '
        {
            line = $0
            if (in_comment) {
                if (sub(/.*\*\//, "", line)) in_comment = 0; else next
            }
            gsub(/\/\*([^*]|\*[^\/])*\*\//, "", line)
            if (sub(/\/\*.*/, "", line)) in_comment = 1
            gsub(/"([^"\\]|\\.)*"/, "\"\"", line)
            gsub(/\x27([^\x27\\]|\\.)*\x27/, "0", line)
            sub(/\/\/.*/, "", line)
            if (match(line, "(^|[^A-Za-z0-9_])(std::|::)?(" banned ")[ \t]*\\(")) {
                call = substr(line, RSTART, RLENGTH)
                gsub(/^[^A-Za-z_:]|[ \t]*\($/, "", call)
                printf "%s:%d: banned call %s\n", file, NR, call
                found = 1
            }
        }
        END { exit found ? 1 : 0 }' "$f" || failed=1
done

# 3. Layer order: a library includes no header of a folder above it (nor of a
# program, tool or test folder).
for f in "${FILES[@]}"; do
    [ -f "$f" ] || continue
    top=${f%%/*}
    [ -n "${ALLOWED[$top]+x}" ] || continue
    while IFS=: read -r num inc; do
        dir=${inc%%/*}
        [ "$dir" = "$inc" ] && continue  # same-folder include without a path
        case " ${ALLOWED[$top]} " in *" $dir "*) continue ;; esac
        # Only folders of this tree count; <sys/...> and the like are system headers.
        [ -d "$dir" ] || case " $LIBRARIES " in *" $dir "*) ;; *) continue ;; esac
        report "$f:$num: $top includes \"$inc\" from a layer above it"
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$f" |
             sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/')
done

if [ "$failed" -ne 0 ]; then
    echo "check_tree: violations found" >&2
    exit 1
fi
echo "check_tree: formatting, banned calls and layer order are clean"
