// Runs the lock and guard tests' second process, locks_helper (see
// locks_helper.cpp for its modes), always against a deadline: a helper
// still running at its deadline is killed and the test fails naming it, so
// a lock call that regresses into waiting for ever cannot hang the suite.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace zel::test {

// How long a helper may run unless the test says otherwise: far beyond
// what any mode takes, even on a loaded machine under the sanitizers.
inline constexpr int kLocksHelperDeadlineMs = 30000;
// Wait's result for a helper that was still running at its deadline.
inline constexpr int kLocksHelperHung = -2;

// One locks_helper process.  Owns the child: a helper not waited for when
// the object goes (a test that stopped at a failed assertion) is killed and
// collected.
class LocksHelper {
  public:
    explicit LocksHelper(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {BuildPath("tests/support/locks_helper")};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const std::string& a : args) what_ += " " + a;
        if (zel::proc::StartArgv(argv, {}, &pid_) != 0) {
            pid_ = -1;
            started_pid_ = -1;
            ADD_FAILURE() << "cannot start locks_helper" << what_;
        }
        started_pid_ = pid_;
    }
    ~LocksHelper() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    LocksHelper(LocksHelper&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)),
          started_pid_(other.started_pid_),
          what_(std::move(other.what_)) {}
    LocksHelper(const LocksHelper&) = delete;
    LocksHelper& operator=(const LocksHelper&) = delete;
    LocksHelper& operator=(LocksHelper&&) = delete;

    // The helper's process ID (-1 when it could not be started).  Stays
    // valid as a number after Wait, when the process is gone.
    pid_t pid() const { return started_pid_; }

    // Waits at most timeout_ms for the helper to end.  Its exit code (128 +
    // the signal number when a signal ended it), -1 when it never started
    // or was already waited for, or kLocksHelperHung when it was still
    // running at the deadline: it is then killed and the test fails.
    int Wait(int timeout_ms = kLocksHelperDeadlineMs) {
        if (pid_ <= 0) return -1;
        int status = 0;
        pid_t got = 0;
        const bool ended =
            WaitUntil([&] { return (got = ::waitpid(pid_, &status, WNOHANG)) != 0; }, timeout_ms);
        if (ended && got != pid_) {  // not ours to wait for (never expected)
            pid_ = -1;
            return -1;
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            ADD_FAILURE() << "locks_helper" << what_ << " still running after " << timeout_ms
                          << " ms; killed";
            return kLocksHelperHung;
        }
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

  private:
    pid_t pid_ = -1;          // the child still to be collected, or -1
    pid_t started_pid_ = -1;  // the child as started
    std::string what_;        // the arguments, for the failure message
};

// Runs the helper to its end (see LocksHelper::Wait for the result).
inline int RunLocksHelper(const std::vector<std::string>& args,
                          int timeout_ms = kLocksHelperDeadlineMs) {
    return LocksHelper(args).Wait(timeout_ms);
}

}  // namespace zel::test
