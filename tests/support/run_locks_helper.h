// Runs the lock and guard tests' second process, locks_helper (see
// locks_helper.cpp for its modes), to its end.
#pragma once

#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace zel::test {

// The helper's exit code, or -1 when it could not be started.
inline int RunLocksHelper(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BuildPath("tests/support/locks_helper")};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = 0;
    if (zel::proc::StartArgv(argv, {}, &pid) != 0) return -1;
    return zel::proc::Wait(pid);
}

}  // namespace zel::test
