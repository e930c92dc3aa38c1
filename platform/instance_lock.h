// Single-instance lock: one holder per pid file, so that a second copy of a
// program on the same system root can refuse to start and say who runs.
//
// Linux: an flock on the pid file.  The lock belongs to the open file
// description, so it ends when the holder exits in any way (even SIGKILL).
// Windows: a named mutex (in the Global namespace, so that a service and a
// program in a user's session meet), named after the pid file's full path;
// it is released when the holder ends in any way, and the pid file only
// tells who holds it.  The mutex belongs to the thread that took it: take
// the lock on a thread that lives as long as the lock is needed (the main
// thread).
//
// Either way a file left behind by a dead holder never blocks the next
// start.  Nothing throws.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace zel::fs {

// A held lock; released when the object goes.  Movable, not copyable.
class InstanceLock {
  public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(InstanceLock&&) noexcept;
    InstanceLock& operator=(InstanceLock&&) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    explicit operator bool() const { return state_ != nullptr; }

  private:
    friend int LockPidFile(const std::string& path, InstanceLock* out, pid_t* holder);
    struct State;  // each system's handle (unix/ and windows/instance_lock.cpp)
    std::unique_ptr<State> state_;
};

// Takes the lock of the pid file at path (the file is created, mode 0644,
// when missing).  On success returns 0, *out holds the lock (started
// programs never inherit it) and the file holds this process's pid as one
// decimal line.  When another process holds the lock returns EWOULDBLOCK
// and sets *holder to the pid named in the file (0 when it cannot be read
// yet); any other failure returns its errno.  *out is empty whenever the
// result is not 0.
[[nodiscard]] int LockPidFile(const std::string& path, InstanceLock* out, pid_t* holder);

// The process that holds the lock of the pid file at path, found without
// taking the lock or disturbing a holder: its pid; 0 when none holds it.
// Linux: the kernel's table of held locks (/proc/locks) names it; where
// there is no such table, the pid the file names counts when that process
// still runs under a name that starts with `program`.  Windows: the named
// mutex exists only while a holder has it; the holder is then the pid the
// file records, judged as recorded lock holders are (proc::HasEnded), and 0
// when the file names no process that still runs.
[[nodiscard]] pid_t LockHolder(const std::string& path, const std::string& program);

}  // namespace zel::fs
