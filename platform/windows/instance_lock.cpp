// Single-instance lock on Windows (see instance_lock.h): a named mutex in
// the Global namespace, named after the pid file's full path, and the pid
// file beside it to say who holds it.
#include "platform/instance_lock.h"

#include <windows.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "platform/fs.h"
#include "platform/process.h"

namespace zel::fs {
namespace {

// Object names may hold any character but "\" and be up to MAX_PATH long.
constexpr std::size_t kLongestName = 200;

// The mutex's name: the path in one spelling (lower case, "/"), so that
// two spellings of one file meet; a long path by its hash.
std::string MutexName(const std::string& full_path) {
    std::string spelled = full_path;
    for (char& c : spelled) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    if (spelled.size() > kLongestName) {
        // FNV-1a, 64 bits: enough to keep the pid files of one machine apart.
        std::uint64_t hash = 14695981039346656037ull;
        for (char c : spelled) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ull;
        }
        char hex[17];
        for (int i = 15; i >= 0; --i) {
            hex[i] = "0123456789abcdef"[hash & 0xf];
            hash >>= 4;
        }
        hex[16] = '\0';
        spelled = std::string("hash:") + hex;
    }
    return "Global\\zelway-instance:" + spelled;
}

// The mutexes this process holds, by name.  A mutex may be taken again by
// the thread that holds it, so a second lock of one file within this
// process would succeed where the Linux flock refuses it.
std::mutex g_held_mutex;
std::set<std::string>& Held() {
    static std::set<std::string> held;
    return held;
}

// The pid named in the file's first line; 0 when there is none.
pid_t ReadPid(const std::string& path) {
    std::string text;
    if (ReadWholeFile(path, &text) != 0) return 0;
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() || value <= 0) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

struct InstanceLock::State {
    std::string name;
    HANDLE mutex = nullptr;  // owned by the thread that took the lock
    bool held = false;       // listed in Held()
    ~State() {
        if (mutex != nullptr) {
            if (held) (void)::ReleaseMutex(mutex);
            (void)::CloseHandle(mutex);
        }
        if (held) {
            std::lock_guard<std::mutex> lock(g_held_mutex);
            Held().erase(name);
        }
    }
};

InstanceLock::InstanceLock() = default;
InstanceLock::~InstanceLock() = default;
InstanceLock::InstanceLock(InstanceLock&&) noexcept = default;
InstanceLock& InstanceLock::operator=(InstanceLock&&) noexcept = default;

int LockPidFile(const std::string& path, InstanceLock* out, pid_t* holder) {
    *out = InstanceLock();
    if (holder != nullptr) *holder = 0;
    std::string full;
    if (int err = AbsolutePath(path, &full); err != 0) return err;
    std::unique_ptr<InstanceLock::State> state(new (std::nothrow) InstanceLock::State);
    if (!state) return ENOMEM;
    state->name = MutexName(full);
    {
        std::lock_guard<std::mutex> lock(g_held_mutex);
        if (Held().count(state->name) != 0) {
            if (holder != nullptr) *holder = static_cast<pid_t>(::GetCurrentProcessId());
            return EWOULDBLOCK;
        }
    }
    // Not inherited: started jobs must not keep the lock after the holder.
    state->mutex = ::CreateMutexA(nullptr, FALSE, state->name.c_str());
    bool held_elsewhere = false;
    if (state->mutex == nullptr) {
        // A mutex made by a holder of another account (the service, as
        // the local system) may be closed to us: it is held all the same.
        if (::GetLastError() != ERROR_ACCESS_DENIED) return EIO;
        held_elsewhere = true;
    } else {
        const DWORD r = ::WaitForSingleObject(state->mutex, 0);
        // Abandoned: the last holder ended without letting go; ours now.
        if (r == WAIT_TIMEOUT) {
            held_elsewhere = true;
        } else if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
            return EIO;
        }
    }
    if (held_elsewhere) {
        if (holder != nullptr) *holder = ReadPid(path);
        return EWOULDBLOCK;
    }
    {
        std::lock_guard<std::mutex> lock(g_held_mutex);
        Held().insert(state->name);
        state->held = true;
    }
    // Ours now: replace whatever pid a previous holder left.
    const std::string line = std::to_string(::GetCurrentProcessId()) + "\n";
    if (int err = ReplaceFileAtomically(path, line, 0644, Durability::kAtomicOnly); err != 0)
        return err;
    out->state_ = std::move(state);
    return 0;
}

}  // namespace zel::fs

namespace zel::fs {

pid_t LockHolder(const std::string& path, const std::string& /*program*/) {
    std::string full;
    if (AbsolutePath(path, &full) != 0) return 0;
    // Opening the mutex takes nothing: it exists only while some holder has
    // it open.  One of another account may be closed to us, but is there.
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, MutexName(full).c_str());
    if (mutex == nullptr) {
        if (::GetLastError() != ERROR_ACCESS_DENIED) return 0;
    } else {
        (void)::CloseHandle(mutex);
    }
    // Who holds it is what the file records, as for a recorded lock file:
    // a named process that has ended holds nothing.
    const pid_t pid = ReadPid(path);
    if (pid <= 0 || proc::HasEnded(proc::ProcessIdentity{pid, 0})) return 0;
    return pid;
}

}  // namespace zel::fs
