// Single-instance lock on a pid file (see instance_lock.h).
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
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

namespace zel::fs {
namespace {

// The pid of the process holding an flock on the file (device, inode), from
// /proc/locks lines such as "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF".
// Waiters ("1: -> FLOCK ...") hold nothing.  0 when none holds one, -1 when
// there is no table to look at.
long FlockHolder(unsigned long long dev, unsigned long long ino) {
    std::string table;
    if (ReadWholeFile("/proc/locks", &table) != 0) return -1;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, type, mode, access, id;
        long pid = 0;
        fields >> number >> type;
        if (type != "FLOCK") continue;
        if (!(fields >> mode >> access >> pid >> id)) continue;
        unsigned major_no = 0, minor_no = 0;
        unsigned long long inode = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%llu", &major_no, &minor_no, &inode) != 3) continue;
        if (major_no == DeviceMajor(dev) && minor_no == DeviceMinor(dev) && inode == ino)
            return pid;
    }
    return 0;
}

}  // namespace

pid_t LockHolder(const std::string& path, const std::string& program) {
    FileStatus st;
    if (StatusOf(path, &st) != 0) return 0;
    long holder = FlockHolder(st.device, st.inode);
    if (holder < 0) {
        // No lock table to look at: trust a named process that still runs
        // under the program's name.
        std::string text;
        const long pid =
            ReadWholeFile(path, &text) == 0 ? std::strtol(text.c_str(), nullptr, 10) : 0;
        std::string comm;
        if (pid > 0 && ReadWholeFile("/proc/" + std::to_string(pid) + "/comm", &comm) == 0 &&
            comm.rfind(program, 0) == 0) {
            holder = pid;
        } else {
            holder = 0;
        }
    }
    return static_cast<pid_t>(holder);
}

}  // namespace zel::fs
