#!/usr/bin/env bash
# The project's two entry points:
#   ./build.sh demo   build everything and run a transfer demonstration in a
#                     scratch system root (./scratch/root)
#   ./build.sh test   check the tree (formatting, banned calls, layer order),
#                     build with warnings as errors (optimised with g++, with
#                     clang, then with AddressSanitizer and
#                     UndefinedBehaviorSanitizer) and run the whole suite
#                     through CTest
#   ./build.sh faults [N]  build the demo's tree and run the fault campaign
#                     (tests/faults/run.sh): N faulted transfers, each followed
#                     by a clean one (default 200); not part of the test command
# All three install the Debian packages they need when they are missing (as root).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang clang-format make pkg-config libgtest-dev libgmock-dev
          libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev openssl
          libncurses-dev libcpp-httplib-dev tinyproxy gzip procps tmux sqlite3)

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
        fi
    fi
}

# The demo's build; "$@" adds options (the test command turns on -Werror,
# and a later demo run turns it off again).
configure_release() { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"; }

jobs() { local n; n=$(nproc 2>/dev/null || echo 2); echo "$n"; }

case "${1:-}" in
test)
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
    ;;
demo)
    install_packages
    configure_release -DZEL_WERROR=OFF
    cmake --build build -j "$(jobs)"
    [ "${2:-}" = --cron ] && export ZEL_DEMO_CRON=1
    tools/demo.sh build
    ;;
faults)
    install_packages
    configure_release -DZEL_WERROR=OFF
    cmake --build build -j "$(jobs)"
    tests/faults/run.sh build "${2:-200}"
    ;;
*)
    echo "usage: $0 demo|test|faults [N]" >&2
    exit 2
    ;;
esac
