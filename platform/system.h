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

// A named point at which the fault campaign (tests/faults/run.sh) may stop
// this process, to kill it exactly there.  When the environment variable
// ZEL_STOP_AT is "NAME" or "NAME:N" and name is NAME, the process stops
// itself (SIGSTOP) on the Nth pass (the first without ":N"), for whoever set
// the variable to find it stopped and kill it; on Windows it ends at once
// with exit code 137, as a killed process would.  Without the variable
// each call costs one comparison.  Safe from any thread.
void StopPoint(const char* name);

// The local time (the machine's time zone) of seconds since the epoch into
// *out, thread-safely.  False when it cannot be told (*out is then
// unspecified).
[[nodiscard]] bool LocalTime(std::time_t seconds, std::tm* out);

}  // namespace zel::sys
