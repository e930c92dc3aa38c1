// Small facts about the running process: see system.h.
#include "platform/system.h"

#include <unistd.h>

namespace zel::sys {

long ProcessId() {
    return static_cast<long>(::getpid());
}

}  // namespace zel::sys
