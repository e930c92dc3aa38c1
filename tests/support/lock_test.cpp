// Lock files: exclusive creation, waiting, staleness and take-over, with a
// real second process for the take-over of a lock left by a dead holder.
#include "support/lock.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "platform/process.h"
#include "tests/common/scratch.h"

namespace {

using zel::test::Age;
using zel::test::AgeOf;
using zel::test::FileExists;
using zel::test::ScratchRoot;

class LockTest : public ScratchRoot {
  protected:
    int RunHelper(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {zel::test::BuildPath("tests/support/locks_helper")};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_t pid = 0;
        if (zel::proc::StartArgv(argv, {}, &pid) != 0) return -1;
        return zel::proc::Wait(pid);
    }
};

TEST_F(LockTest, TryLockCreatesOneEmptyFileNextToTheResource) {
    const std::string resource = Path("client.log");
    EXPECT_EQ(LockFilePath(resource.c_str()), resource + ".qvzel_lock");
    ASSERT_TRUE(TryLock(resource.c_str()));
    EXPECT_EQ(zel::test::ReadFile(resource + ".qvzel_lock"), "");
    EXPECT_FALSE(FileExists(resource));  // only the lock file is made
    EXPECT_FALSE(TryLock(resource.c_str()));
    Unlock(resource.c_str());
    EXPECT_FALSE(FileExists(resource + ".qvzel_lock"));
    EXPECT_TRUE(TryLock(resource.c_str()));
    Unlock(resource.c_str());
    Unlock(resource.c_str());  // no lock: harmless
}

TEST_F(LockTest, LockThatCanNeverBeCreatedIsNotWaitedFor) {
    const std::string resource = Path("no-such-dir/client.log");
    EXPECT_FALSE(TryLock(resource.c_str()));
    EXPECT_FALSE(LockWithRetries(resource.c_str(), 3));
    // Waiting could never help here: Lock must give up instead of spinning.
    EXPECT_FALSE(Lock(resource.c_str(), 1));
    EXPECT_FALSE(Lock(nullptr, 1));
    EXPECT_FALSE(TryLock(""));
}

TEST_F(LockTest, Staleness) {
    const std::string resource = Path("DOWNLOCK");
    const std::string lock_file = resource + ".qvzel_lock";
    // A lock file that is not there (any more) may be taken over.
    EXPECT_TRUE(IsLockStale(lock_file.c_str(), 1));
    ASSERT_TRUE(TryLock(resource.c_str()));
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), 1));
    // Two seconds past the minute: time() reads a coarse clock that may lag
    // the one the age was set from.
    Age(lock_file, 62);
    EXPECT_TRUE(IsLockStale(lock_file.c_str(), 1));
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), 2));
    // A limit of 0 or below never makes a lock stale, however old.
    Age(lock_file, 100000);
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), 0));
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), -5));
    EXPECT_FALSE(IsLockStale(Path("missing").c_str(), 0));
}

TEST_F(LockTest, LockWaitsForTheHolderToRelease) {
    const std::string resource = Path("UPLOCK");
    ASSERT_TRUE(TryLock(resource.c_str()));
    Age(resource + ".qvzel_lock", 3600);  // old, but a limit of 0 never takes over
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        released = true;
        Unlock(resource.c_str());
    });
    EXPECT_TRUE(Lock(resource.c_str(), 0));
    EXPECT_TRUE(released);
    holder.join();
    EXPECT_TRUE(FileExists(resource + ".qvzel_lock"));
    EXPECT_LE(AgeOf(resource + ".qvzel_lock"), 5);  // ours, not the old one
    Unlock(resource.c_str());
}

TEST_F(LockTest, LockWithRetriesCountsItsAttempts) {
    const std::string resource = Path("qvzel.up.guard");
    ASSERT_TRUE(TryLock(resource.c_str()));
    // The holder lets go as soon as this thread sleeps between attempts, so
    // an extra attempt succeeds, however slowly either thread is scheduled.
    const pid_t self = ::gettid();
    std::atomic<bool> over{false};
    auto release_once_waiting = [&] {
        if (zel::test::WaitUntil([&] { return over || zel::test::ThreadSleeping(self); }, 30000) &&
            !over)
            Unlock(resource.c_str());
    };
    // No extra attempt: one try and no wait, so the lock is never released.
    std::thread patient(release_once_waiting);
    EXPECT_FALSE(LockWithRetries(resource.c_str(), 0));
    over = true;
    patient.join();

    // One extra attempt, after the pause, finds the lock free.
    over = false;
    std::thread holder(release_once_waiting);
    EXPECT_TRUE(LockWithRetries(resource.c_str(), 1));
    over = true;
    holder.join();
    Unlock(resource.c_str());

    // The count comes from a hand-edited file and may be as large as an int
    // gets: a free lock is still taken at the first attempt.
    EXPECT_TRUE(LockWithRetries(resource.c_str(), INT_MAX));
    Unlock(resource.c_str());
}

// A holder that died leaves its lock behind: Lock takes it over once it is
// older than the limit, LockWithRetries never does.
TEST_F(LockTest, StaleLockOfADeadProcessIsTakenOverOnlyByLock) {
    const std::string resource = CommPath("PROCLOCK");
    const std::string lock_file = resource + ".qvzel_lock";
    ASSERT_EQ(RunHelper({"hold", resource}), 0);
    ASSERT_TRUE(FileExists(lock_file));
    Age(lock_file, 120);

    EXPECT_EQ(RunHelper({"retry", resource, "1"}), 1);
    EXPECT_TRUE(FileExists(lock_file));
    EXPECT_GE(AgeOf(lock_file), 119);

    EXPECT_FALSE(LockWithRetries(resource.c_str(), 0));

    EXPECT_EQ(RunHelper({"lock", resource, "1"}), 0);  // took it over, then unlocked
    EXPECT_FALSE(FileExists(lock_file));
    EXPECT_FALSE(FileExists(lock_file + ".takeover"));
}

TEST_F(LockTest, DanglingLinkInTheLocksPlaceIsAnOrdinaryStaleLock) {
    const std::string resource = Path("client.log");
    const std::string lock_file = resource + ".qvzel_lock";
    ASSERT_EQ(::symlink(Path("nowhere").c_str(), lock_file.c_str()), 0);
    EXPECT_FALSE(TryLock(resource.c_str()));
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), 1));  // present, and young
    struct timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 120;
    times[1] = times[0];
    ASSERT_EQ(::lutimes(lock_file.c_str(), times), 0);
    ASSERT_TRUE(Lock(resource.c_str(), 1));
    struct stat st;
    ASSERT_EQ(::lstat(lock_file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    Unlock(resource.c_str());
}

// A lock file whose name is close to the longest name the file system takes:
// the stale lock is still taken over.  Run in a child with an alarm, so that
// waiting for ever fails the test instead of hanging it.
TEST_F(LockTest, StaleLockWithAVeryLongNameIsTakenOver) {
    const std::string resource = Path(std::string(240, 'n'));
    const std::string lock_file = resource + ".qvzel_lock";
    ASSERT_TRUE(TryLock(resource.c_str()));
    Age(lock_file, 120);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(10);
        ::_exit(Lock(resource.c_str(), 1) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "Lock did not return";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(AgeOf(lock_file), 5);  // the child's fresh lock
    Unlock(resource.c_str());
}

TEST_F(LockTest, LockReplacesAStaleLockWithAFreshOne) {
    const std::string resource = Path("client.log");
    const std::string lock_file = resource + ".qvzel_lock";
    ASSERT_TRUE(TryLock(resource.c_str()));
    Age(lock_file, 121);
    ASSERT_TRUE(Lock(resource.c_str(), 1));
    EXPECT_LE(AgeOf(lock_file), 5);
    Unlock(resource.c_str());
}

}  // namespace
