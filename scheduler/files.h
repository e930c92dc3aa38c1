// Whole-file reading and replacing for the schedule service's small text
// files (the schedule, pending changes, the control file, the unit file).
// Both return 0 or an errno value and never throw.
#pragma once

#include <string>

namespace zel::cron {

// Reads the whole file into *out (owned by the caller; filled only on
// success).  Anything but a regular file (a FIFO, a directory) is refused
// with EISDIR or ENXIO instead of blocking the service.
[[nodiscard]] int ReadWholeFile(const std::string& path, std::string* out);

// Replaces the file's content as a whole: a temporary file beside it
// (mode 0644), flushed, then renamed over it, so that a crash or a full disk
// never leaves a half-written file behind.  A write that stores nothing is a
// failure (EIO), not a reason to try again for ever.  On failure the old file
// is untouched and the temporary file removed.
[[nodiscard]] int WriteFileReplacing(const std::string& path, const std::string& text);

}  // namespace zel::cron
