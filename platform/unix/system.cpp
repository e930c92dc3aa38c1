// Small facts about the running process: see system.h.
#include "platform/system.h"

#include <unistd.h>

namespace zel::sys {

long ProcessId() {
    return static_cast<long>(::getpid());
}

bool LocalTime(std::time_t seconds, std::tm* out) {
    return ::localtime_r(&seconds, out) != nullptr;
}

}  // namespace zel::sys
