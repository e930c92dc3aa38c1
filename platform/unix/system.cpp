// Small facts about the running process: see system.h.
#include "platform/system.h"

#include <signal.h>
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

}  // namespace zel::sys
