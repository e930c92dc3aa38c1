// Lock files: one process at a time on a resource, across processes and
// threads, with no other inter-process primitive.
//
// The lock of a resource path is a file named path + ".qvzel_lock", created
// exclusively (O_CREAT|O_EXCL) next to the resource and removed by whoever
// holds it.  Its age is its modification time.  A process that dies holding
// a lock leaves the file behind.  Plain locks are empty: nothing records the
// holder; `Lock` callers take one over once it is older than their stale
// limit, `TryLock` and `LockWithRetries` callers never do.  Recorded locks
// (the *Recorded functions) hold one line naming their holder, "qvzel-holder
// <pid> <start time>"; such a lock is taken over as soon as that process has
// ended (a kill, a reboot), and while it runs only by `LockRecorded`, which
// keeps the age limit of `Lock` for a holder that hangs.  A lock file that
// names no holder (empty, or anything else) is taken over by the recorded
// functions only when their caller gives an age limit for it.
// Waiting polls about once a second.  Paths are limited only by the
// operating system.
#pragma once

#include <string>

#include "platform/fs.h"

inline constexpr char kLockSuffix[] = ".qvzel_lock";
// Appended to a lock file's name for the short-lived companion that guards
// the removal of a stale lock.
inline constexpr char kTakeOverSuffix[] = ".takeover";

// path + ".qvzel_lock" (an owned string; empty for a missing path).
std::string LockFilePath(const char* path);

// One attempt: true when the lock file was created, false when it exists or
// cannot be created.  Never waits.
[[nodiscard]] bool TryLock(const char* path);

// Takes the lock, waiting as long as it takes: attempts about one second
// apart, and a lock file older than stale_minutes (never, when 0 or below) is
// removed and the attempt repeated at once.  Returns true once held.  Returns
// false only when waiting cannot cure what is in the way: the lock file cannot
// be created at all (missing path or directory, no permission, read-only
// file system), or a stale one cannot be removed (a directory in its place,
// another user's lock in a sticky directory).  Then nothing is held.
[[nodiscard]] bool Lock(const char* path, int stale_minutes);

// As Lock, but the lock file names this process as its holder, and a lock
// file in the way is taken over at once when it names a holder that has
// ended, whatever stale_minutes says.  A running holder's lock, and one that
// names no holder (an empty one of a plain Lock caller, one whose record is
// unreadable), is taken over as by Lock once older than stale_minutes
// (never, when 0 or below).  Returns as Lock does.
[[nodiscard]] bool LockRecorded(const char* path, int stale_minutes);

// Up to extra_attempts + 1 attempts (a negative count counts as 0), about one
// second apart.  True when held; false when every attempt found the lock
// taken, or at once when the lock file cannot be created at all.  Never takes
// a lock over.
[[nodiscard]] bool LockWithRetries(const char* path, int extra_attempts);

// Removes the lock file of path.  No result and no ownership check.
void Unlock(const char* path);

// As TryLock, but the lock file names this process as its holder.  When the
// record cannot be written (a full disk) the lock is held all the same, as
// an unrecorded one.
[[nodiscard]] bool TryLockRecorded(const char* path);

// Recorded locks of many resources of one directory, each taken as by
// TryLockRecorded, for one holder that takes them all at once (the upload's
// packing pass): the holder's record is written once, and each lock file is
// another name of that one file (platform/fs.h SharedContent), so a lock
// costs a link rather than a new file.  Every lock file reads as one of
// TryLockRecorded, and is given back the same way, by Unlock.  Copying is
// refused; the object owns the record's file until it is destroyed.
class CRecordedLocks {
  public:
    // dir: the directory that the resources' lock files are in.
    explicit CRecordedLocks(const std::string& dir);
    CRecordedLocks(const CRecordedLocks&) = delete;
    CRecordedLocks& operator=(const CRecordedLocks&) = delete;

    // As TryLockRecorded(path).
    [[nodiscard]] bool TryLock(const char* path);

  private:
    zel::fs::SharedContent record_;
};

// As LockWithRetries, recording this process as the holder, except that a
// lock file in the way is taken over at once (and the attempt repeated)
// when it names a holder that has ended, or names none and is older than
// unrecorded_seconds (never, when 0 or below).  A lock of a running holder
// is never taken over.  False when every attempt found the lock taken, or at
// once when the lock file can be neither created nor taken over.
[[nodiscard]] bool LockWithRetriesRecorded(const char* path, int extra_attempts,
                                           int unrecorded_seconds);

// Removes path's lock file when it is abandoned by the rule of
// LockWithRetriesRecorded (a recorded holder that has ended; with
// unrecorded_seconds above 0, also a lock naming no holder that is older).
// Never removes a lock of a running holder, nor a lock that another process
// took meanwhile.  A take-over companion left by a process that ended
// inside its step goes too.  True when no lock file of path is left.
[[nodiscard]] bool RemoveAbandonedLock(const char* path, int unrecorded_seconds);

// Holds the lock of one resource path for the length of a scope: whatever
// way the scope is left, a lock taken through the holder is given back.
// Copying is refused; the holder keeps its own copy of the path and of the
// lock file's name (made when constructed, which may throw std::bad_alloc),
// so that Release and the destructor never allocate.
class CLockHolder {
  public:
    explicit CLockHolder(const char* path);
    ~CLockHolder();
    CLockHolder(const CLockHolder&) = delete;
    CLockHolder& operator=(const CLockHolder&) = delete;

    // As the free functions of the same names; true when now held.  A lock
    // still held from an earlier call is given back first.
    [[nodiscard]] bool Lock(int stale_minutes);
    [[nodiscard]] bool LockRecorded(int stale_minutes);
    [[nodiscard]] bool LockWithRetries(int extra_attempts);
    [[nodiscard]] bool LockWithRetriesRecorded(int extra_attempts, int unrecorded_seconds);
    // Gives the lock back now, if held.
    void Release();
    [[nodiscard]] bool held() const { return held_; }

  private:
    std::string path_;
    std::string lock_file_;
    bool held_ = false;
};

// True when the lock file (the full name, suffix included) may be taken over:
// never when minutes is 0 or below; always when its attributes cannot be read
// (it has just disappeared); else when it is more than minutes * 60 seconds
// old.
[[nodiscard]] bool IsLockStale(const char* lock_file, int minutes);
