// Small facts about the running process, its standard streams and the local
// clock that code above platform/ asks for without wanting the rest of
// process.h.  Nothing here allocates.
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

// The process's standard streams.
enum class StandardStream { kInput, kOutput, kError };

// True when the stream is an interactive terminal (a console on Windows), so
// that a program may draw on it what scripts and logs must never receive.
// False for files, pipes, /dev/null and a closed stream.
[[nodiscard]] bool IsTerminal(StandardStream stream);

// The width in columns of the terminal the stream is, or 0 when it is none
// or the width cannot be told.
[[nodiscard]] int TerminalColumns(StandardStream stream);

}  // namespace zel::sys
