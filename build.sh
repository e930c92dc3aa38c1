#!/usr/bin/env bash
# The project's two entry points:
#   ./build.sh demo   build everything and run a transfer demonstration in a
#                     scratch system root (./scratch/root)
#   ./build.sh demo --windows
#                     the Windows build's jobs under wine (tools/demo_windows.sh,
#                     in ./scratch/windows with a wine prefix of its own)
#                     against zelsim of the Linux build on loopback
#   ./build.sh test   check the tree (formatting, banned calls, layer order),
#                     build with warnings as errors (optimised with g++, with
#                     clang, then with AddressSanitizer and
#                     UndefinedBehaviorSanitizer) and run the whole suite
#                     through CTest, then the Windows build and its suite
#                     under wine (as ./build.sh windows), the Debian package test
#                     (tests/packaging/package_test.sh) and every fuzz
#                     target for 10 seconds
#   ./build.sh fuzz [SECONDS]
#                     build the libFuzzer targets with clang (build-fuzz) and
#                     run each for SECONDS (default 60) on a copy of its seed
#                     corpus; prints a table of executions and findings and
#                     exits non-zero on any finding
#   ./build.sh bench [--full]
#                     build, then measure the transfers against curl, gzip and
#                     crc32 scripts and the best tools (pigz, one curl process,
#                     gzip -d alone; bench/run.sh), print each goal as met or
#                     missed and put the table into the developers' guide
#                     (docs/DEVELOPING.md); --full measures at the goals' sizes
#                     (256 MiB, 1,000 and 5,000 files; BENCH_FULL=1), the
#                     default at smaller ones; BENCH_BASELINE=DIR (another
#                     tree's build) adds a before/after comparison
#   ./build.sh windows
#                     cross-build the layers that run on Windows with
#                     mingw-w64 into build-windows (warnings as errors,
#                     linked statically), make the installer
#                     (build-windows/zelway-<version>-setup.exe) and run
#                     the tests under wine64 through CTest, in a fresh wine
#                     prefix
#   ./build.sh faults [N]  build the demo's tree and run the fault campaign
#                     (tests/faults/run.sh): N faulted transfers, each followed
#                     by a clean one (default 200); not part of the test command
# Each installs the Debian packages it needs when they are missing (as root).
set -euo pipefail
cd "$(dirname "$0")"

# What the demo needs to build and run; the test command and the other
# commands add their own tools (TEST_PACKAGES and the lists below).
PACKAGES=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev
          libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev openssl
          libncurses-dev libcpp-httplib-dev gzip procps nlohmann-json3-dev
          libsystemd-dev)
TEST_PACKAGES=(clang clang-format libclang-rt-14-dev tinyproxy tmux sqlite3 python3 lintian
               dpkg-dev)
# The Windows build: the cross compiler, zlib for it, wine to run the tests,
# GoogleTest's sources to build the test framework with the cross compiler,
# and NSIS for the installer (zelway-<version>-setup.exe).
WINDOWS_PACKAGES=(mingw-w64 libz-mingw-w64-dev wine64 googletest nsis)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing missing packages: ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "error: packages missing and not running as root: ${missing[*]}" >&2
            exit 1
        fi
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
        # tinyproxy's package starts a system-wide daemon; the tests run their
        # own instance on loopback and do not want a second one around.
        if printf '%s\n' "${missing[@]}" | grep -qx tinyproxy; then
            (systemctl stop tinyproxy || service tinyproxy stop || true) >/dev/null 2>&1
            (systemctl disable tinyproxy || update-rc.d tinyproxy disable || true) >/dev/null 2>&1
        fi
    fi
}

# The demo's build; "$@" adds options (the test command turns on -Werror,
# and a later demo run turns it off again).
configure_release() { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"; }

jobs() { local n; n=$(nproc 2>/dev/null || echo 2); echo "$n"; }

# The fuzz targets: built with clang into build-fuzz, then run one at a time,
# each for $1 seconds on a copy of fuzz/corpus/<target> in
# build-fuzz/fuzz-run/<target> (its corpus, findings and log).  A target's
# own files go to a private directory below that run directory's tmp.
# Findings are the crash, leak, timeout and oom files libFuzzer leaves, and
# any other failing exit.  Returns 1 when there is any.
run_fuzz() {
    local seconds=$1
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZEL_FUZZ=ON -DZEL_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
    cmake --build build-fuzz -j "$(jobs)" --target fuzzers
    local total=0 rows=() target
    for exe in build-fuzz/fuzz/fuzz_*; do
        [ -x "$exe" ] || continue
        target=${exe##*/fuzz_}
        local run=build-fuzz/fuzz-run/$target
        rm -rf "$run"
        mkdir -p "$run/corpus" "$run/findings" "$run/tmp"
        cp -r "fuzz/corpus/$target/." "$run/corpus/" 2>/dev/null || true
        local rc=0
        TMPDIR="$PWD/$run/tmp" ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            "$exe" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
            -max_len=8192 -print_final_stats=1 -artifact_prefix="$PWD/$run/findings/" \
            "$run/corpus" >"$run/log" 2>&1 || rc=$?
        local execs findings
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
        findings=$(find "$run/findings" -type f \( -name 'crash-*' -o -name 'leak-*' \
            -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
        if [ "$findings" -eq 0 ] && [ "$rc" -ne 0 ]; then findings="exit $rc"; fi
        [ "$findings" = 0 ] || total=$((total + 1))
        rows+=("$(printf '%-22s %12s  %s' "$target" "${execs:-?}" "$findings")")
        rm -rf "$run/tmp"
    done
    printf '%-22s %12s  %s\n' target executions findings
    printf '%s\n' "${rows[@]}"
    if [ "$total" -ne 0 ]; then
        echo "fuzz: $total target(s) with findings; see build-fuzz/fuzz-run/<target>/" >&2
        return 1
    fi
    echo "fuzz: no findings (${seconds} s per target)"
}

# The Windows build and its suite: cross-built into build-windows, then every
# test run under wine64 (cmake/wine-run.sh is CTest's emulator) in a wine
# prefix made afresh for this run.  One idle program (a command interpreter
# waiting on its input) keeps the wine server and wine's own services up for
# the whole run, so that each test program starts in a fraction of a second
# and no service started on a test's behalf holds on to CTest's output pipe.
# The Linux programs that the whole runs under wine need beside them (zelsim,
# the central side, and the Linux ferrun, zelconfig and others whose results
# the Windows ones are checked against) come from the demo's build (build),
# configured here when it is not yet.
build_windows() {
    [ -f build/CMakeCache.txt ] || configure_release -DZEL_WERROR=ON
    cmake --build build -j "$(jobs)" --target zelsim ferrun Poll regsvr zelpasswd zelstatus \
        zelconfig
    cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_WERROR=ON -DZEL_LINUX_BUILD_DIR="$PWD/build"
    cmake --build build-windows -j "$(jobs)"
}

run_windows() {
    local prefix=$PWD/build-windows/wineprefix
    local wineserver=/usr/lib/wine/wineserver
    [ -x "$wineserver" ] || wineserver=$(command -v wineserver)
    build_windows
    [ -d "$prefix" ] && WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
    rm -rf "$prefix"
    export ZEL_WINEPREFIX=$prefix
    echo "Making the wine prefix $prefix"
    cmake/wine-run.sh wineboot --init >/dev/null 2>&1 || true
    # Making a prefix starts wine's service control manager twice, and the
    # first one may linger beside the second: each answers some requests
    # from its own list of services.  Let that session end; the next one
    # starts a single manager.
    WINEPREFIX=$prefix "$wineserver" -w 2>/dev/null || true
    local fifo=$PWD/build-windows/wine-idle
    rm -f "$fifo"
    mkfifo "$fifo"
    cmake/wine-run.sh cmd <"$fifo" >/dev/null 2>&1 &
    local idle=$!
    exec 9>"$fifo"  # the interpreter waits on its input while this stays open
    # Wait until that session is up (wine's boot and services started, by
    # programs whose output goes nowhere), so that no test program is the one
    # that starts them: a helper process started by a test keeps the test's
    # output open, and CTest waits for it to its time limit.  A registration
    # brings up the desktop process and the COM service as well.
    cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 </dev/null || true
    cmake/wine-run.sh regsvr32 /s oleaut32.dll >/dev/null 2>&1 </dev/null || true
    local rc=0
    # A case that fails is run once more before it counts: wine (its
    # services, its crypt32 and WinInet under load) now and then fails a
    # run that passes alone, as TlsEngineTest.HostMismatchAndExpiry... did
    # once in many runs.  A fault of ours fails both runs; the first
    # failure's output stays in the log.
    ctest --test-dir build-windows --output-on-failure -j "$(jobs)" --repeat until-pass:2 \
        ${CTEST_ARGS:-} || rc=$?
    exec 9>&-
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
    wait "$idle" 2>/dev/null || true
    rm -f "$fifo"
    return "$rc"
}

case "${1:-}" in
test)
    PACKAGES+=("${TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}")
    install_packages
    tools/check_tree.sh
    # The demo's optimised build first: GCC finds some warnings (errors here)
    # only at -O2, and the demo command must keep compiling.
    configure_release -DZEL_WERROR=ON
    cmake --build build -j "$(jobs)"
    # clang finds other warnings; an optimised build without the tests is
    # enough to see them in the libraries and programs.
    CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DZEL_WERROR=ON -DBUILD_TESTING=OFF
    cmake --build build-clang -j "$(jobs)"
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON -DZEL_WERROR=ON
    cmake --build build-asan -j "$(jobs)"
    ctest --test-dir build-asan --output-on-failure -j "$(jobs)" ${CTEST_ARGS:-}
    # The same sources for Windows, their suite under wine.
    run_windows
    # The Debian package from the optimised build: lintian, a scratch-root
    # install, a download by a support user, removal and purge.
    tests/packaging/package_test.sh build
    # A short run of every fuzz target, so that a new crash fails the test.
    run_fuzz 10
    ;;
fuzz)
    PACKAGES+=(clang libclang-rt-14-dev)
    install_packages
    seconds=${2:-60}
    case "$seconds" in '' | *[!0-9]*) echo "usage: $0 fuzz [SECONDS]" >&2; exit 2 ;; esac
    run_fuzz "$seconds"
    ;;
bench)
    PACKAGES+=(curl libarchive-zip-perl coreutils pigz)
    install_packages
    case "${2:-}" in
    --full) export BENCH_FULL=1 ;;
    '') ;;
    *) echo "usage: $0 bench [--full]" >&2; exit 2 ;;
    esac
    configure_release -DZEL_WERROR=OFF
    # Only what the runner starts (and what those load), not the tests.
    cmake --build build -j "$(jobs)" --target ferrun zelsim regsvr zelpasswd Poll qvzel_cron \
        bench_measure bench_flush_floor
    bench/run.sh build build/bench-results.md
    bench/update_readme.sh build/bench-results.md docs/DEVELOPING.md
    bench/update_readme.sh --goals build/bench-results.md README.md
    ;;
demo)
    if [ "${2:-}" = --windows ]; then
        PACKAGES+=("${WINDOWS_PACKAGES[@]}")
        install_packages
        build_windows
        tools/demo_windows.sh build build-windows scratch/windows
        exit 0
    fi
    install_packages
    configure_release -DZEL_WERROR=OFF
    cmake --build build -j "$(jobs)"
    [ "${2:-}" = --cron ] && export ZEL_DEMO_CRON=1
    tools/demo.sh build
    ;;
windows)
    PACKAGES+=("${WINDOWS_PACKAGES[@]}")
    install_packages
    run_windows
    ;;
faults)
    install_packages
    configure_release -DZEL_WERROR=OFF
    cmake --build build -j "$(jobs)"
    tests/faults/run.sh build "${2:-200}"
    ;;
*)
    echo "usage: $0 demo|test|fuzz [SECONDS]|bench [--full]|windows|faults [N]" >&2
    exit 2
    ;;
esac
