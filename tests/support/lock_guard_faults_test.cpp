// Lock, guard and configuration files the file system will not let be
// handled the usual way: a stale lock that cannot be removed, a FIFO or
// directory where a file should be, a guard rewrite that fails half-way (as
// on a full disk).  Each must end the call with its failure or its default,
// never hang it or lose entries.  Calls that used to hang run in a child
// process with a deadline.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/config.h"
#include "support/guard.h"
#include "support/lock.h"
#include "tests/common/child.h"
#include "tests/common/scratch.h"

namespace {

using zel::test::Age;
using zel::test::FileExists;
using zel::test::ReadFile;
using zel::test::RunInChild;
using zel::test::ScratchRoot;
using zel::test::WriteFile;

constexpr int kDeadlineMs = 10000;

class LockGuardFaults : public ScratchRoot {
  protected:
    static std::string Entry(long seconds_ago, const std::string& text) {
        return std::to_string(static_cast<long long>(std::time(nullptr)) - seconds_ago) + " 4242 " +
               text + "\r\n";
    }
};

TEST_F(LockGuardFaults, StaleDirectoryInTheLocksPlaceEndsLockWithFalse) {
    const std::string resource = Path("client.log");
    const std::string lock_file = LockFilePath(resource.c_str());
    ASSERT_TRUE(std::filesystem::create_directory(lock_file));
    WriteFile(lock_file + "/inside", "");  // not even an empty directory
    Age(lock_file, 120);
    const int rc = RunInChild([&] { return Lock(resource.c_str(), 1) ? 1 : 0; }, kDeadlineMs);
    EXPECT_EQ(rc, 0) << "Lock waited (or took the lock) despite a directory it cannot remove";
    EXPECT_TRUE(std::filesystem::is_directory(lock_file));
    EXPECT_FALSE(FileExists(lock_file + ".takeover"));
}

// Another user's stale lock in a sticky directory cannot be removed by this
// user.  Tests run as root, which may remove anything, so the waiter is a
// child process that gives up root for "nobody".
TEST_F(LockGuardFaults, OtherUsersStaleLockInAStickyDirectoryEndsLockWithFalse) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    const std::string sticky = Path("sticky");
    ASSERT_TRUE(std::filesystem::create_directory(sticky));
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const std::string resource = sticky + "/UPLOCK";
    ASSERT_TRUE(TryLock(resource.c_str()));  // root's lock
    Age(LockFilePath(resource.c_str()), 120);
    const int rc = RunInChild(
        [&] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
            return Lock(resource.c_str(), 1) ? 1 : 0;
        },
        kDeadlineMs);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(FileExists(LockFilePath(resource.c_str())));
    EXPECT_FALSE(FileExists(LockFilePath(resource.c_str()) + ".takeover"));
    Unlock(resource.c_str());
}

TEST_F(LockGuardFaults, FifoOrDirectoryAsConfigurationFileKeepsTheDefaults) {
    const std::string conf = ConfigFilePath();
    for (bool fifo : {true, false}) {
        if (fifo) {
            ASSERT_EQ(::mkfifo(conf.c_str(), 0600), 0);
        } else {
            ASSERT_TRUE(std::filesystem::create_directory(conf));
        }
        const int rc = RunInChild(
            [&] {
                int number = 17;
                ReadConfigNumber(conf.c_str(), "guard_count", &number);
                char text[kConfigTextMax + 1] = "default";
                ReadConfigText(conf.c_str(), "poll_contract", text);
                return number == 17 && std::strcmp(text, "default") == 0 ? 0 : 1;
            },
            kDeadlineMs);
        EXPECT_EQ(rc, 0) << (fifo ? "fifo" : "directory");
        std::filesystem::remove(conf);
    }
}

TEST_F(LockGuardFaults, FifoAsGuardFileNeitherBlocksNorLeavesTheLock) {
    const std::string guard = CommPath("qvzel.down.guard");
    ASSERT_EQ(::mkfifo(guard.c_str(), 0600), 0);
    const int rc = RunInChild(
        [&] {
            if (!GuardAcquire(guard.c_str(), "read_timeout", 6900000, "FILE.DTZ")) return 1;
            GuardRelease(guard.c_str(), "OTHER.DTZ");
            return 0;
        },
        kDeadlineMs);
    ASSERT_EQ(rc, 0);
    EXPECT_FALSE(FileExists(guard + ".qvzel_lock"));
    // Later runs still work: the entry made then denies the same file.
    EXPECT_FALSE(GuardAcquire(guard.c_str(), "read_timeout", 6900000, "FILE.DTZ"));
    EXPECT_TRUE(GuardAcquire(guard.c_str(), "read_timeout", 6900000, "NEXT.DTZ"));
}

// A rewrite that cannot be written out whole (here: the file-size limit, as
// a full disk would) must leave every entry that was there.
TEST_F(LockGuardFaults, FailedGuardRewriteKeepsEveryEntry) {
    const std::string guard = CommPath("qvzel.up.guard");
    std::string old;
    for (int i = 0; i < 20; ++i) old += Entry(10, "/dealer/UPLOAD/FILE" + std::to_string(i));
    WriteFile(guard, old);
    const int rc = RunInChild(
        [&] {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {64, 64};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
            (void)GuardAcquire(guard.c_str(), "write_timeout", 330000, "/dealer/UPLOAD/NEW");
            GuardRelease(guard.c_str(), "/dealer/UPLOAD/FILE3");
            return 0;
        },
        kDeadlineMs);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(guard), old);
    EXPECT_FALSE(FileExists(guard + ".qvzel_lock"));
    // So the live entries still deny their files to the next run.
    EXPECT_FALSE(GuardAcquire(guard.c_str(), "write_timeout", 330000, "/dealer/UPLOAD/FILE3"));
    std::size_t names = 0;
    for (const auto& e : std::filesystem::directory_iterator(zel::paths::CommDir())) {
        (void)e;
        ++names;
    }
    EXPECT_EQ(names, 1u) << "a temporary file was left behind";
}

}  // namespace
