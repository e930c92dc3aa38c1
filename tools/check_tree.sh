#!/usr/bin/env bash
# Source-tree checks that the test command runs before it builds: formatting
# (clang-format with the project's .clang-format), calls the project does not
# use (unbounded or non-reentrant C string functions and unchecked number
# parsing), operating-system calls made outside platform/, tests of which
# operating system the build is for outside platform/, and the layer order
# of the libraries.  Every violation is printed
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

# 3. Operating-system calls: POSIX file, process and system calls, and the
# headers that declare them, belong to platform/ alone, so that one layer
# holds every tie to the operating system.  OS_CALLS_BANNED_IN names the
# folders (or single files) held to that; OS_CALLS_EXEMPT those never held to
# it, even below a folder that is: platform/ itself, the tests, fuzzers and
# benchmarks, and the Linux-only tools.  A call counts when the name stands
# alone or after "::"; a member call (".read(", "->close(") or a qualified
# name of our own ("fs::Exists(") does not.  A local function named like
# one (a lambda "write") counts too: rename it.
OS_CALLS_BANNED_IN="support log transport directory poll client jobs scheduler connection_tool tools"
OS_CALLS_EXEMPT="platform tests fuzz bench tools/zelsim tools/qvreg.cpp tools/regsvr.cpp"
OS_CALLS_EXEMPT+=" tools/olmar.cpp"
OS_CALLS='open|openat|creat|close|read|write|pread|pwrite|lseek|stat|lstat|fstat|fstatat|statx'
OS_CALLS+='|access|faccessat|unlink|unlinkat|rename|renameat|renameat2|link|linkat|symlink'
OS_CALLS+='|symlinkat|readlink|readlinkat|mkdir|mkdirat|rmdir|chdir|fchdir|getcwd|chmod|fchmod'
OS_CALLS+='|fchmodat|chown|fchown|lchown|truncate|ftruncate|fsync|fdatasync|sync|syncfs|flock'
OS_CALLS+='|fcntl|ioctl|dup|dup2|dup3|pipe|pipe2|mkfifo|mknod|opendir|fdopendir|readdir|closedir'
OS_CALLS+='|scandir|realpath|mkstemp|mkostemp|mkdtemp|utime|utimes|utimensat|futimens|umask'
OS_CALLS+='|fork|vfork|execl|execle|execlp|execv|execve|execvp|execvpe|posix_spawn|posix_spawnp'
OS_CALLS+='|wait|waitpid|waitid|wait4|kill|killpg|getpid|getppid|gettid|setsid|setpgid|signal'
OS_CALLS+='|sigaction|sigprocmask|raise|_exit|pthread_atfork|prctl|nanosleep|clock_nanosleep'
OS_CALLS+='|usleep|sleep|clock_gettime|sysconf|uname|mmap|munmap|getuid|geteuid|getgid|setuid'
OS_CALLS+='|setgid|daemon|alarm|pause|inotify_init|inotify_init1|inotify_add_watch'
OS_CALLS+='|socket|socketpair|connect|bind|listen|accept|accept4|setsockopt|getsockopt|getaddrinfo'
OS_CALLS+='|isatty|ttyname'
OS_HEADERS='unistd\.h|fcntl\.h|dirent\.h|signal\.h|spawn\.h|sys/[A-Za-z0-9_/]+\.h'

# True when the path equals or lies below one of the given folders or files.
under_any() {
    local path=$1 prefix
    shift
    for prefix in "$@"; do
        case "$path" in "$prefix" | "$prefix"/*) return 0 ;; esac
    done
    return 1
}

held_to_os_ban() {
    # shellcheck disable=SC2086  # the lists are split on blanks on purpose
    under_any "$1" $OS_CALLS_BANNED_IN && ! under_any "$1" $OS_CALLS_EXEMPT
}

for f in "${FILES[@]}"; do
    [ -f "$f" ] || continue
    os_calls=""
    if held_to_os_ban "$f"; then os_calls=$OS_CALLS; fi
    awk -v file="$f" -v banned="$BANNED" -v os_calls="$os_calls" -v os_headers="$OS_HEADERS" '
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
            if (os_calls == "") next
            if (match(line, "^[ \t]*#[ \t]*include[ \t]*<(" os_headers ")>")) {
                header = substr(line, RSTART, RLENGTH)
                sub(/^[^<]*/, "", header)
                printf "%s:%d: operating-system header %s outside platform/\n", file, NR, header
                found = 1
            }
            if (match(line, "(^|[^A-Za-z0-9_.>:])(::)?(" os_calls ")[ \t]*\\(")) {
                call = substr(line, RSTART, RLENGTH)
                gsub(/^[^A-Za-z_:]|[ \t]*\($/, "", call)
                printf "%s:%d: operating-system call %s outside platform/ (add it to platform/)\n", file, NR, call
                found = 1
            }
        }
        END { exit found ? 1 : 0 }' "$f" || failed=1
done

# 4. Operating-system tests: only platform/ (and the transport's engine
# files, which pick the engine for each system) may ask which system it is
# built for; every other file reaches the system through platform/'s one
# interface, whose implementation CMake chooses.
OS_MACROS='_WIN32|_WIN64|__linux__|__linux|__unix__|__unix|__APPLE__|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__'
OS_MACROS_ALLOWED="platform transport/engine_curl.cpp transport/engine_wininet.cpp"
for f in "${FILES[@]}"; do
    [ -f "$f" ] || continue
    # shellcheck disable=SC2086  # the list is split on blanks on purpose
    under_any "$f" $OS_MACROS_ALLOWED && continue
    while IFS=: read -r num _; do
        report "$f:$num: tests the operating system outside platform/ (give platform/ a service for it)"
    done < <(grep -nE "(^|[^A-Za-z0-9_])($OS_MACROS)([^A-Za-z0-9_]|\$)" "$f")
done

# 5. Layer order: a library includes no header of a folder above it (nor of a
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
echo "check_tree: formatting, banned calls, operating-system calls and tests, and layer order are clean"
