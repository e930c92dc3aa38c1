// Single-instance lock on a pid file (see instance_lock.h).
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <new>
#include <string>

#include "platform/fs.h"

namespace zel::fs {
namespace {

// The pid named in the file's first line; 0 when there is none.
pid_t ReadPid(int fd) {
    char buf[32];
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    long value = 0;
    auto [end, ec] = std::from_chars(buf, buf + n, value);
    if (ec != std::errc() || end == buf || value <= 0) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

struct InstanceLock::State {
    UniqueFd fd;  // holds the flock
};

InstanceLock::InstanceLock() = default;
InstanceLock::~InstanceLock() = default;
InstanceLock::InstanceLock(InstanceLock&&) noexcept = default;
InstanceLock& InstanceLock::operator=(InstanceLock&&) noexcept = default;

int LockPidFile(const std::string& path, InstanceLock* out, pid_t* holder) {
    *out = InstanceLock();
    if (holder != nullptr) *holder = 0;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return errno;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK && holder != nullptr) *holder = ReadPid(fd.get());
        return err;
    }
    // Ours now: replace whatever pid a previous holder left.
    const std::string line = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0) return errno;
    ssize_t written = ::pwrite(fd.get(), line.data(), line.size(), 0);
    if (written < 0) return errno;
    if (static_cast<std::size_t>(written) != line.size()) return EIO;
    out->state_.reset(new (std::nothrow) InstanceLock::State{std::move(fd)});
    return out->state_ ? 0 : ENOMEM;
}

}  // namespace zel::fs
