// Small facts about the running process on Windows: see system.h.
#include "platform/system.h"

#include <windows.h>

namespace zel::sys {

long ProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool LocalTime(std::time_t seconds, std::tm* out) {
    return ::localtime_s(out, &seconds) == 0;
}

}  // namespace zel::sys
