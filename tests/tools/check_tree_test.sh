#!/usr/bin/env bash
# The tree checker refuses operating-system calls and headers in a folder
# held to the ban, and lets them be where they belong (platform/, tests/) and
# where they only look alike (member calls, our own qualified names).  Runs
# the real checker on a scratch copy outside any git checkout.
set -uo pipefail
source_dir=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/tools" "$scratch/support" "$scratch/log" "$scratch/transport" \
    "$scratch/connection_tool" "$scratch/platform" "$scratch/tests"
cp "$source_dir/tools/check_tree.sh" "$scratch/tools/"
cp "$source_dir/.clang-format" "$scratch/"
cd "$scratch" || exit 1

fail() { echo "FAIL: $*"; exit 1; }

cat >support/planted.cpp <<'CPP'
// Planted: a direct call.
void Drop(const char* path) {
    ::unlink(path);
}
CPP
cat >log/planted.h <<'CPP'
// Planted: an operating-system header.
#pragma once
#include <fcntl.h>
CPP
cat >support/alike.cpp <<'CPP'
// Only alike: a member call, our own qualified name, a name in a comment
// ("unlink(x)") and in a string.
#include "support/alike.h"
void Use(File& file, const char* path) {
    file.close();
    (void)zel::fs::RemoveFile(path);
    Say("stat(path)");
}
CPP
cat >transport/planted.cpp <<'CPP'
// Planted: the engine's own socket call.
#include <sys/socket.h>
int Open() {
    return ::socket(2, 1, 0) + ::close(3);
}
CPP
cat >connection_tool/planted.cpp <<'CPP'
// Planted: a seek of its own.
long Where(int fd) {
    return lseek(fd, 0, 1);
}
CPP
for f in platform/allowed.cpp tests/allowed.cpp; do
    printf '// Allowed here.\n#include <unistd.h>\nvoid Drop(const char* p) {\n    ::unlink(p);\n}\n' >"$f"
done
clang-format -i support/*.cpp log/*.h transport/*.cpp connection_tool/*.cpp platform/*.cpp \
    tests/*.cpp || fail "clang-format"

out=$(bash tools/check_tree.sh 2>&1)
rc=$?
echo "$out"
[ "$rc" -eq 1 ] || fail "planted calls were not refused (exit $rc)"
grep -q '^support/planted.cpp:3: operating-system call ::unlink outside platform/' <<<"$out" ||
    fail "the call in support/ was not named"
grep -q '^log/planted.h:3: operating-system header <fcntl.h> outside platform/' <<<"$out" ||
    fail "the header in log/ was not named"
grep -q '^transport/planted.cpp:2: operating-system header <sys/socket.h> outside platform/' <<<"$out" ||
    fail "the header in transport/ was not named"
grep -q '^transport/planted.cpp:4: operating-system call ::socket outside platform/' <<<"$out" ||
    fail "the call in transport/ was not named"
grep -q '^connection_tool/planted.cpp:3: operating-system call lseek outside platform/' <<<"$out" ||
    fail "the call in connection_tool/ was not named"
if grep -E '^(support/alike|platform/|tests/)' <<<"$out"; then fail "a file that may was refused"; fi

rm support/planted.cpp log/planted.h transport/planted.cpp connection_tool/planted.cpp
out=$(bash tools/check_tree.sh 2>&1) || fail "clean copy refused: $out"
echo "PASS"
