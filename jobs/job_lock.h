// The per-job lock of qvzel_nt: one job of each kind at a time.
#pragma once

#include <string>

#include "support/lock.h"

namespace zel::jobs {

// The job lock of a base path (base + ".qvzel_lock").  Acquire waits until
// the lock is held.  The lock file names its holder (pid and start time), so
// that one left by a job that was killed (a reboot, a power cut) is taken
// over at once instead of holding back every job of its kind until it is
// age_minutes old; any other (a running holder's, or an empty one that
// names none) is taken over once it is older than age_minutes (never when
// 0 or less).  Acquire returns false only when waiting cannot help (the
// lock file cannot be created at all, or a stale one cannot be removed); the
// job then does not run.  The lock is given back when the JobLock goes, so
// every way out of a job releases it.
class JobLock {
  public:
    explicit JobLock(const std::string& base) : holder_(base.c_str()) {}

    [[nodiscard]] bool Acquire(int age_minutes) { return holder_.LockRecorded(age_minutes); }
    void Release() { holder_.Release(); }

  private:
    CLockHolder holder_;
};

}  // namespace zel::jobs
