// The fault campaign's stop points (StopPoint in system.h): which point
// ZEL_STOP_AT names, read once, and how often it was passed.  The stop
// itself is the operating system's (system_internal.h).
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "platform/system_internal.h"

namespace zel::sys {

namespace {

// The point's name and the pass to stop at; pass 0 when none is named.
struct StopAt {
    char name[64] = {};
    long pass = 0;
};

StopAt ReadStopAt() {
    StopAt at;
    const char* value = std::getenv("ZEL_STOP_AT");
    if (value == nullptr || *value == '\0') return at;
    std::size_t n = 0;
    while (value[n] != '\0' && value[n] != ':' && n + 1 < sizeof at.name) {
        at.name[n] = value[n];
        ++n;
    }
    at.pass = 1;
    if (value[n] == ':') {
        const long pass = std::strtol(value + n + 1, nullptr, 10);
        at.pass = pass > 0 ? pass : 1;
    }
    return at;
}

}  // namespace

void StopPoint(const char* name) {
    static const StopAt at = ReadStopAt();
    static std::atomic<long> passes{0};
    if (at.pass == 0 || std::strcmp(at.name, name) != 0) return;
    if (passes.fetch_add(1) + 1 == at.pass) detail::StopThisProcess();
}

}  // namespace zel::sys
