// Small facts about the running process on Windows: see system.h.
#include "platform/system.h"

#include <windows.h>

#include "platform/system_internal.h"

namespace zel::sys {

namespace detail {

// No process stops itself for another to kill it here: it ends at once,
// as a killed one would.
void StopThisProcess() {
    (void)::TerminateProcess(::GetCurrentProcess(), 137);
}

}  // namespace detail

long ProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool LocalTime(std::time_t seconds, std::tm* out) {
    return ::localtime_s(out, &seconds) == 0;
}

}  // namespace zel::sys
