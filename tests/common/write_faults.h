// Fault injection for tests of write loops: while a ZeroWrites object lives,
// every write(2) made through the C library's "write" symbol by this thread
// stores nothing and returns 0, as a broken file system or device may.
// The definitions are here, not inline: include this header in exactly one
// source file of a test program.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

namespace zel::test {
inline thread_local bool g_zero_writes = false;

class ZeroWrites {
  public:
    ZeroWrites() { g_zero_writes = true; }
    ~ZeroWrites() { g_zero_writes = false; }
    ZeroWrites(const ZeroWrites&) = delete;
    ZeroWrites& operator=(const ZeroWrites&) = delete;
};
}  // namespace zel::test

// Takes the place of the C library's write for the whole test program.
extern "C" ssize_t write(int fd, const void* buf, std::size_t count) {
    if (zel::test::g_zero_writes && count > 0) return 0;
    return static_cast<ssize_t>(::syscall(SYS_write, fd, buf, count));
}
