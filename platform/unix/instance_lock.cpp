// Single-instance lock on a pid file (see instance_lock.h).
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

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

int LockPidFile(const std::string& path, UniqueFd* out, pid_t* holder) {
    *out = UniqueFd();
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
    *out = std::move(fd);
    return 0;
}

}  // namespace zel::fs
