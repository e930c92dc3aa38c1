// Small facts about the running process: see system.h.
#include "platform/system.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/system_internal.h"

namespace zel::sys {

namespace detail {

// Stops the whole process until it is continued or killed.
void StopThisProcess() {
    (void)::raise(SIGSTOP);
}

}  // namespace detail

long ProcessId() {
    return static_cast<long>(::getpid());
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
