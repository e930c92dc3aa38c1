// The few POSIX calls the test scaffolding makes (a scratch directory, the
// environment, a file's times), over the Windows C runtime.  Included ahead
// of every test source of the Windows build by CMake; the tests of the
// libraries themselves reach the system only through platform/.  It
// includes no Windows header, so that the tests see the system's own types
// only as the libraries' headers give them.
#pragma once

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/utime.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif

// setenv and unsetenv: the C runtime's environment, which getenv reads.
inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

// mkdir with a mode (ignored: Windows has only the read-only attribute).
inline int mkdir(const char* path, int /*mode*/) {
    return _mkdir(path);
}

// The effective user: never the superuser here (the read-only attribute
// binds an administrator too).
inline int geteuid() {
    return 1000;
}

// utimes: both times to the given seconds.
inline int utimes(const char* path, const struct timeval times[2]) {
    struct __utimbuf64 t;
    t.actime = times[0].tv_sec;
    t.modtime = times[1].tv_sec;
    return _utime64(path, &t);
}

// Declared so that a suite's Linux-only cases still compile; those cases
// are not run on Windows (LINUX_ONLY_CASES), and these always fail.
inline int symlink(const char* /*target*/, const char* /*link*/) {
    errno = EPERM;
    return -1;
}
inline int gettid() {
    return 0;
}
inline int mkfifo(const char* /*path*/, int /*mode*/) {
    errno = ENOSYS;
    return -1;
}

// mkdtemp: the trailing "XXXXXX" replaced until a new directory is made.
inline char* mkdtemp(char* templ) {
    const std::size_t n = std::strlen(templ);
    if (n < 6 || std::strcmp(templ + n - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        unsigned v = static_cast<unsigned>(now) * 2654435761u ^
                     (static_cast<unsigned>(_getpid()) << 16) ^ (++counter * 40503u);
        for (int i = 0; i < 6; ++i) {
            templ[n - 6 + i] = "abcdefghijklmnopqrstuvwxyz0123456789"[v % 36];
            v /= 36;
        }
        if (_mkdir(templ) == 0) return templ;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// timegm: the inverse of gmtime, which the C runtime calls _mkgmtime.
inline time_t timegm(struct tm* tm) {
    return _mkgmtime(tm);
}
