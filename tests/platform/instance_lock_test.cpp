// The single-instance lock: one holder at a time, named in its pid file,
// released when the holder lets go, and never blocked by a file that a
// dead holder left behind.
#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = zel::fs;
using zel::test::ReadFile;

TEST(InstanceLock, OneHolderAtATime) {
    zel::test::ScratchDir dir;
    const std::string path = dir / "prog.pid";
    const std::string self = std::to_string(zel::proc::CurrentProcessId());
    // A holder that died left its pid behind: no obstacle.
    zel::test::WriteFile(path, "999999\n");

    fs::InstanceLock first;
    pid_t holder = -1;
    ASSERT_EQ(fs::LockPidFile(path, &first, &holder), 0);
    EXPECT_TRUE(first);
    EXPECT_EQ(ReadFile(path), self + "\n");

    // Refused, also under another spelling of the same file, and told who
    // holds it.
    for (const std::string& spelling : {path, dir.path() + "/./prog.pid"}) {
        fs::InstanceLock second;
        holder = -1;
        EXPECT_EQ(fs::LockPidFile(spelling, &second, &holder), EWOULDBLOCK) << spelling;
        EXPECT_FALSE(second);
        EXPECT_EQ(std::to_string(holder), self);
    }
    EXPECT_EQ(ReadFile(path), self + "\n");

    // Moving the lock keeps it held; letting it go frees it.
    fs::InstanceLock moved = std::move(first);
    fs::InstanceLock other;
    EXPECT_EQ(fs::LockPidFile(path, &other, &holder), EWOULDBLOCK);
    moved = fs::InstanceLock();
    EXPECT_EQ(fs::LockPidFile(path, &other, &holder), 0);
    EXPECT_TRUE(other);
}

}  // namespace
