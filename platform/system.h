// Small facts about the running process and the local clock that code
// above platform/ asks for without wanting the rest of process.h.  Nothing
// here allocates.
#pragma once

#include <ctime>

namespace zel::sys {

// This process's ID, as the operating system numbers it (a log stamp, a
// guard entry).  The current answer each time, so a forked child gets its
// own.
[[nodiscard]] long ProcessId();

// The local time (the machine's time zone) of seconds since the epoch into
// *out, thread-safely.  False when it cannot be told (*out is then
// unspecified).
[[nodiscard]] bool LocalTime(std::time_t seconds, std::tm* out);

}  // namespace zel::sys
