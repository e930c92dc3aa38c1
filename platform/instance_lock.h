// Single-instance lock: an flock on a pid file, so that a second copy of a
// program on the same system root can refuse to start and say who runs.
//
// The lock belongs to the open file description, so it ends when the holder
// exits in any way (even SIGKILL); a file left behind by a dead holder never
// blocks the next start.  Nothing throws.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/fs.h"

namespace zel::fs {

// Opens (creating, mode 0644) the pid file at path and takes an exclusive,
// non-blocking flock on it.  On success returns 0, *out owns the descriptor
// (close-on-exec, so started jobs never inherit the lock) and the file holds
// this process's pid as one decimal line.  When another process holds the
// lock returns EWOULDBLOCK and sets *holder to the pid named in the file (0
// when it cannot be read yet); any other failure returns its errno.  *out
// is empty whenever the result is not 0.
[[nodiscard]] int LockPidFile(const std::string& path, UniqueFd* out, pid_t* holder);

}  // namespace zel::fs
