// Small facts about the running process: see system.h.
#include "platform/system.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "platform/system_internal.h"

namespace zel::sys {

namespace detail {

// Stops the whole process until it is continued or killed.
void StopThisProcess() {
    (void)::raise(SIGSTOP);
}

}  // namespace detail

namespace {

// The process ID, asked of the kernel once: every log record and lock file
// names it, and getpid is a system call each time.  A fork forgets it, so
// that the child asks again.
std::atomic<long> g_pid{0};

void ForgetProcessId() {
    g_pid.store(0, std::memory_order_relaxed);
}

}  // namespace

long ProcessId() {
    long pid = g_pid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    static const bool forgotten_on_fork = ::pthread_atfork(nullptr, nullptr, ForgetProcessId) == 0;
    pid = static_cast<long>(::getpid());
    if (forgotten_on_fork) g_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

bool LocalTime(std::time_t seconds, std::tm* out) {
    return ::localtime_r(&seconds, out) != nullptr;
}

namespace {

int Descriptor(StandardStream stream) {
    switch (stream) {
        case StandardStream::kInput:
            return STDIN_FILENO;
        case StandardStream::kOutput:
            return STDOUT_FILENO;
        case StandardStream::kError:
            break;
    }
    return STDERR_FILENO;
}

}  // namespace

bool IsTerminal(StandardStream stream) {
    return ::isatty(Descriptor(stream)) == 1;
}

int TerminalColumns(StandardStream stream) {
    const int fd = Descriptor(stream);
    if (::isatty(fd) != 1) return 0;
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace zel::sys
