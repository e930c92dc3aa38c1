// Small facts about the running process that code above platform/ asks for
// without wanting the rest of process.h.  Nothing here fails or allocates.
#pragma once

namespace zel::sys {

// This process's ID, as the operating system numbers it (a log stamp, a
// guard entry).  The current answer each time, so a forked child gets its
// own.
[[nodiscard]] long ProcessId();

}  // namespace zel::sys
