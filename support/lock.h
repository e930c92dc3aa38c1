// Lock files: one process at a time on a resource, across processes and
// threads, with no other inter-process primitive.
//
// The lock of a resource path is an empty file named path + ".qvzel_lock",
// created exclusively (O_CREAT|O_EXCL) next to the resource and removed by
// whoever holds it; nothing records the holder.  Its age is its modification
// time.  A process that dies holding a lock leaves the file behind; `Lock`
// callers take it over once it is older than their stale limit, `TryLock` and
// `LockWithRetries` callers never do.  Waiting polls about once a second.
// Paths are limited only by the operating system.
#pragma once

#include <string>

inline constexpr char kLockSuffix[] = ".qvzel_lock";

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

// Up to extra_attempts + 1 attempts (a negative count counts as 0), about one
// second apart.  True when held; false when every attempt found the lock
// taken, or at once when the lock file cannot be created at all.  Never takes
// a lock over.
[[nodiscard]] bool LockWithRetries(const char* path, int extra_attempts);

// Removes the lock file of path.  No result and no ownership check.
void Unlock(const char* path);

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
    [[nodiscard]] bool LockWithRetries(int extra_attempts);
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
