// Runs a piece of a test in a forked child process with a deadline, so that a
// call which regresses into blocking for ever fails its test instead of
// hanging the suite.  Header-only; the child never returns into the test
// framework.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace zel::test {

// Result of RunInChild when the child was still running at the deadline (it
// is then killed) or did not exit normally.
inline constexpr int kChildHung = -1;

// Forks, runs fn in the child and exits with its result (0..255); waits at
// most timeout_ms for it.  Returns the exit code, or kChildHung.
inline int RunInChild(const std::function<int()>& fn, int timeout_ms) {
    const pid_t pid = ::fork();
    if (pid < 0) return kChildHung;
    if (pid == 0) ::_exit(fn() & 0xFF);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) break;
        if (got < 0 || std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return kChildHung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kChildHung;
}

}  // namespace zel::test
