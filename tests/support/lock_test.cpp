// Lock files: exclusive creation, waiting, staleness and take-over, with a
// real second process for the take-over of a lock left by a dead holder.
#include "support/lock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "tests/common/records.h"
#include "tests/common/scratch.h"
#include "tests/support/run_locks_helper.h"

namespace {

using zel::test::Age;
using zel::test::AgeOf;
using zel::test::FileExists;
using zel::test::LocksHelper;
using zel::test::RecordOf;
using zel::test::RunLocksHelper;
using zel::test::ScratchRoot;

using LockTest = ScratchRoot;

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
    // The holder lets go once this thread is waiting inside Lock.
    const pid_t self = ::gettid();
    std::atomic<bool> released{false};
    std::thread holder([&] {
        if (zel::test::WaitUntil([&] { return zel::test::ThreadSleeping(self); }, 30000)) {
            released = true;
            Unlock(resource.c_str());
        }
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
    ASSERT_EQ(RunLocksHelper({"hold", resource}), 0);
    ASSERT_TRUE(FileExists(lock_file));
    Age(lock_file, 120);

    EXPECT_EQ(RunLocksHelper({"retry", resource, "1"}), 1);
    EXPECT_TRUE(FileExists(lock_file));
    EXPECT_GE(AgeOf(lock_file), 119);

    EXPECT_FALSE(LockWithRetries(resource.c_str(), 0));

    EXPECT_EQ(RunLocksHelper({"lock", resource, "1"}), 0);  // took it over, then unlocked
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

TEST_F(LockTest, LockHolderGivesTheLockBackOnEveryWayOut) {
    const std::string resource = Path("qvzel.down.guard");
    {
        CLockHolder holder(resource.c_str());
        ASSERT_TRUE(holder.LockWithRetries(0));
        EXPECT_TRUE(holder.held());
        EXPECT_TRUE(FileExists(LockFilePath(resource.c_str())));
    }
    EXPECT_FALSE(FileExists(LockFilePath(resource.c_str())));
    {
        CLockHolder first(resource.c_str());
        ASSERT_TRUE(first.Lock(1));
        CLockHolder second(resource.c_str());
        EXPECT_FALSE(second.LockWithRetries(0));
        // The holder that did not get the lock must not remove the other's.
    }
    EXPECT_FALSE(FileExists(LockFilePath(resource.c_str())));
    CLockHolder early(resource.c_str());
    ASSERT_TRUE(early.LockWithRetries(0));
    early.Release();
    EXPECT_FALSE(FileExists(LockFilePath(resource.c_str())));
    ASSERT_TRUE(TryLock(resource.c_str()));  // released holders leave others' locks alone
    early.Release();
    EXPECT_TRUE(FileExists(LockFilePath(resource.c_str())));
    Unlock(resource.c_str());
}

// ---- Recorded locks ---------------------------------------------------------

// A taker killed after removing a stale lock but before its companion leaves
// the companion and no stale lock to lead anyone back to it: whoever next
// takes or clears the lock clears it, but only once its maker has ended.
TEST_F(LockTest, CompanionOfAnEndedTakerGoesWithTheNextTakeOrClear) {
    const std::string resource = CommPath("qvzel.up.guard");
    const std::string lock_file = resource + ".qvzel_lock";
    const std::string companion = lock_file + ".takeover";
    ASSERT_EQ(RunLocksHelper({"hold-recorded", resource}), 0);  // an ended process's record
    const std::string ended = zel::test::ReadFile(lock_file);
    ASSERT_TRUE(std::filesystem::remove(lock_file));
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    const std::string running = RecordOf(self.pid, self.start);

    const std::vector<std::function<bool()>> takers = {
        [&] { return TryLockRecorded(resource.c_str()); },
        [&] { return LockWithRetriesRecorded(resource.c_str(), 0, 0); },
        [&] { return LockRecorded(resource.c_str(), 1); },
        [&] { return RemoveAbandonedLock(resource.c_str(), 0); },
    };
    for (std::size_t i = 0; i < takers.size(); ++i) {
        zel::test::WriteFile(companion, running);  // a taker inside its step
        ASSERT_TRUE(takers[i]()) << i;
        EXPECT_EQ(zel::test::ReadFile(companion), running) << i;
        Unlock(resource.c_str());
        zel::test::WriteFile(companion, ended);
        ASSERT_TRUE(takers[i]()) << i;
        EXPECT_FALSE(FileExists(companion)) << i;
        Unlock(resource.c_str());
    }
}

TEST_F(LockTest, RecordedLockOfAnEndedHolderIsTakenOverAtOnce) {
    const std::string resource = CommPath("qvzel.up.guard");
    const std::string lock_file = resource + ".qvzel_lock";
    ASSERT_EQ(RunLocksHelper({"hold-recorded", resource}), 0);  // exits holding it
    const std::string left = zel::test::ReadFile(lock_file);
    EXPECT_EQ(left.rfind("qvzel-holder ", 0), 0u) << left;
    // Plain callers still never take it over.
    EXPECT_FALSE(LockWithRetries(resource.c_str(), 0));
    EXPECT_FALSE(IsLockStale(lock_file.c_str(), 1));

    // Taken over at the first attempt, however young, and now names us.
    ASSERT_TRUE(LockWithRetriesRecorded(resource.c_str(), 0, 0));
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    EXPECT_EQ(zel::test::ReadFile(lock_file), RecordOf(self.pid, self.start));
    EXPECT_NE(self.start, 0u);
    EXPECT_FALSE(FileExists(lock_file + ".takeover"));

    // This process is running: no one takes it over, however old.
    Age(lock_file, 100000);
    EXPECT_EQ(RunLocksHelper({"retry-recorded", resource, "1", "10"}), 1);
    EXPECT_TRUE(FileExists(lock_file));
    EXPECT_FALSE(RemoveAbandonedLock(resource.c_str(), 10));
    Unlock(resource.c_str());

    // Left again by an ended holder: RemoveAbandonedLock clears it.
    ASSERT_EQ(RunLocksHelper({"hold-recorded", resource}), 0);
    EXPECT_TRUE(RemoveAbandonedLock(resource.c_str(), 0));
    EXPECT_FALSE(FileExists(lock_file));
    EXPECT_TRUE(RemoveAbandonedLock(resource.c_str(), 0));  // nothing there: true
}

// The waiting form: an ended holder's lock at once, whatever the age limit;
// any other once older than the limit, as Lock does.
TEST_F(LockTest, LockRecordedTakesOverAnEndedHolderAtOnceAndOthersByAge) {
    const std::string resource = CommPath("DOWNLOCK");
    const std::string lock_file = resource + ".qvzel_lock";
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    ASSERT_EQ(RunLocksHelper({"hold-recorded", resource}), 0);
    ASSERT_TRUE(LockRecorded(resource.c_str(), 0));
    EXPECT_EQ(zel::test::ReadFile(lock_file), RecordOf(self.pid, self.start));
    // A running holder (here: ourselves) that hangs, and a lock naming none.
    for (const std::string& content : {RecordOf(self.pid, self.start), std::string()}) {
        // A new file each time: the one we hold may share its inode with our
        // template, which our next attempt touches.
        Unlock(resource.c_str());
        zel::test::WriteFile(lock_file, content);
        Age(lock_file, 62);
        ASSERT_TRUE(LockRecorded(resource.c_str(), 1));
        EXPECT_EQ(zel::test::ReadFile(lock_file), RecordOf(self.pid, self.start));
        EXPECT_LE(AgeOf(lock_file), 5);
    }
    Unlock(resource.c_str());
    EXPECT_FALSE(LockRecorded(Path("no-such-dir/x").c_str(), 1));
}

TEST_F(LockTest, ReusedOrEndedPidsInARecordAreToldApartFromRunningHolders) {
    const std::string resource = Path("NAME.TXT");
    const std::string lock_file = resource + ".qvzel_lock";
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    // Our pid with another start time: the pid was handed on, the holder
    // ended.
    zel::test::WriteFile(lock_file, RecordOf(self.pid, self.start + 1));
    EXPECT_TRUE(RemoveAbandonedLock(resource.c_str(), 0));
    // A holder that has ended but not been collected yet (a zombie).
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    zel::test::WriteFile(lock_file, RecordOf(child, 0));
    ASSERT_TRUE(
        zel::test::WaitUntil([&] { return RemoveAbandonedLock(resource.c_str(), 0); }, 5000));
    ::waitpid(child, nullptr, 0);
    // A recorded start time of 0 (unknown) compares the pid only.
    zel::test::WriteFile(lock_file, RecordOf(self.pid, 0));
    EXPECT_FALSE(RemoveAbandonedLock(resource.c_str(), 0));
    // Init runs as another user for most callers: still running.
    zel::test::WriteFile(lock_file, RecordOf(1, 0));
    EXPECT_FALSE(RemoveAbandonedLock(resource.c_str(), 0));
    EXPECT_TRUE(FileExists(lock_file));
}

TEST_F(LockTest, LockNamingNoHolderIsTakenOverOnlyByAgeWhenAsked) {
    const std::string resource = Path("ORDERS.DAT");
    const std::string lock_file = resource + ".qvzel_lock";
    // Made by someone else (empty, or any other text): never abandoned
    // without an age limit, however old.
    for (const char* content :
         {"", "held by the order system\n", "qvzel-holder 12x 3\n", "qvzel-holder 0 0\n"}) {
        zel::test::WriteFile(lock_file, content);
        Age(lock_file, 100000);
        EXPECT_FALSE(RemoveAbandonedLock(resource.c_str(), 0)) << content;
        EXPECT_EQ(zel::test::ReadFile(lock_file), content);
    }
    // With a limit: a young one stays, an older one is taken over.
    zel::test::WriteFile(lock_file, "");
    EXPECT_FALSE(LockWithRetriesRecorded(resource.c_str(), 0, 10));
    EXPECT_EQ(zel::test::ReadFile(lock_file), "");
    Age(lock_file, 12);
    ASSERT_TRUE(LockWithRetriesRecorded(resource.c_str(), 0, 10));
    EXPECT_EQ(zel::test::ReadFile(lock_file).rfind("qvzel-holder ", 0), 0u);
    Unlock(resource.c_str());
    // A directory in the lock's place is never removed: refused at once.
    ASSERT_TRUE(std::filesystem::create_directory(lock_file));
    Age(lock_file, 100);
    EXPECT_FALSE(LockWithRetriesRecorded(resource.c_str(), 3, 10));
    EXPECT_TRUE(std::filesystem::is_directory(lock_file));
}

// Four processes find the lock of an ended holder at the same moment: one
// takes it over, the others find it held and never remove the winner's.
TEST_F(LockTest, TakersRacingForAnAbandonedLockLeaveOneHolder) {
    const std::string resource = CommPath("qvzel.down.guard");
    const std::string lock_file = resource + ".qvzel_lock";
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(RunLocksHelper({"hold-recorded", resource}), 0);
        const std::string tag = std::to_string(round);
        const std::string go = Path("go" + tag);
        const std::string stop = Path("stop" + tag);
        std::vector<LocksHelper> racers;
        for (int p = 0; p < 4; ++p) {
            racers.emplace_back(std::vector<std::string>{
                "race-recorded", resource, go, Path("out" + tag + "." + std::to_string(p)), stop});
        }
        zel::test::WriteFile(go, "");
        ASSERT_TRUE(zel::test::WaitUntil(
            [&] {
                for (int p = 0; p < 4; ++p) {
                    if (!FileExists(Path("out" + tag + "." + std::to_string(p)))) return false;
                }
                return true;
            },
            20000));
        int won = 0;
        for (int p = 0; p < 4; ++p) {
            const std::string out =
                zel::test::ReadFile(Path("out" + tag + "." + std::to_string(p)));
            if (out == "won") ++won;
        }
        EXPECT_EQ(won, 1);
        EXPECT_TRUE(FileExists(lock_file));  // the winner's, still in place
        zel::test::WriteFile(stop, "");
        for (LocksHelper& racer : racers) EXPECT_EQ(racer.Wait(), 0);
        EXPECT_FALSE(FileExists(lock_file));
        EXPECT_FALSE(FileExists(lock_file + ".takeover"));
    }
}

// The packing pass's locks: one holder record under many names.  Each name
// reads and behaves as a lock of TryLockRecorded; giving every one back and
// taking one again must work (the record file has no name left then).
TEST_F(LockTest, RecordedLocksOfOneHolderAreOneRecordUnderManyNames) {
    const zel::proc::ProcessIdentity self = zel::proc::SelfIdentity();
    for (bool links : {true, false}) {
        SCOPED_TRACE(links ? "links" : "one file per lock");
        zel::fs::test_hooks::ForceNoTmpfile(!links);
        const std::string dir = Path(links ? "up" : "up-plain");
        std::filesystem::create_directories(dir);
        CRecordedLocks locks(dir);
        const std::vector<std::string> files = {dir + "/A.TXT", dir + "/B.TXT", dir + "/C D.TXT"};
        for (const std::string& f : files) ASSERT_TRUE(locks.TryLock(f.c_str())) << f;
        struct stat first {};
        ASSERT_EQ(::stat((files[0] + ".qvzel_lock").c_str(), &first), 0);
        for (const std::string& f : files) {
            const std::string lock_file = f + ".qvzel_lock";
            EXPECT_EQ(zel::test::ReadFile(lock_file), RecordOf(self.pid, self.start));
            struct stat st {};
            ASSERT_EQ(::stat(lock_file.c_str(), &st), 0);
            if (f != files[0]) {
                EXPECT_EQ(st.st_ino == first.st_ino, links) << f;
            }
            EXPECT_EQ(st.st_nlink, links ? 3u : 1u) << f;
            // Held, as any recorded lock of a running holder.
            EXPECT_FALSE(locks.TryLock(f.c_str()));
            EXPECT_FALSE(TryLockRecorded(f.c_str()));
            EXPECT_FALSE(RemoveAbandonedLock(f.c_str(), 1));
            EXPECT_FALSE(FileExists(lock_file + ".takeover"));
        }
        // Another holder's lock is in the way like any other.
        ASSERT_TRUE(TryLockRecorded((dir + "/E.TXT").c_str()));
        EXPECT_FALSE(locks.TryLock((dir + "/E.TXT").c_str()));
        Unlock((dir + "/E.TXT").c_str());
        EXPECT_FALSE(locks.TryLock((dir + "/missing/F.TXT").c_str()));

        Unlock(files[1].c_str());
        EXPECT_FALSE(FileExists(files[1] + ".qvzel_lock"));
        EXPECT_TRUE(FileExists(files[0] + ".qvzel_lock"));
        for (const std::string& f : files) Unlock(f.c_str());
        // Every name gone: the next lock is a record of its own again.
        ASSERT_TRUE(locks.TryLock(files[2].c_str()));
        EXPECT_EQ(zel::test::ReadFile(files[2] + ".qvzel_lock"), RecordOf(self.pid, self.start));
        Unlock(files[2].c_str());
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                                std::filesystem::directory_iterator()),
                  0);
    }
    zel::fs::test_hooks::ForceNoTmpfile(false);
}

// A killed pass leaves its names of the one record; they go as soon as the
// holder has ended, each on its own.
TEST_F(LockTest, RecordedLocksLeftByAnEndedPassAreTakenOver) {
    const std::string dir = Path("up");
    std::filesystem::create_directories(dir);
    const pid_t child = ::fork();
    if (child == 0) {
        CRecordedLocks locks(dir);
        const bool ok = locks.TryLock((dir + "/A").c_str()) && locks.TryLock((dir + "/B").c_str());
        ::_exit(ok ? 0 : 1);  // leaves both locks behind
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(FileExists(dir + "/A.qvzel_lock"));
    EXPECT_EQ(zel::test::ReadFile(dir + "/B.qvzel_lock")
                  .rfind("qvzel-holder " + std::to_string(child) + " ", 0),
              0u);
    EXPECT_TRUE(RemoveAbandonedLock((dir + "/A").c_str(), 0));
    EXPECT_FALSE(FileExists(dir + "/A.qvzel_lock"));
    EXPECT_TRUE(FileExists(dir + "/B.qvzel_lock"));
    CRecordedLocks mine(dir);
    EXPECT_FALSE(mine.TryLock((dir + "/B").c_str()));
    EXPECT_TRUE(RemoveAbandonedLock((dir + "/B").c_str(), 0));
    EXPECT_TRUE(mine.TryLock((dir + "/B").c_str()));
    Unlock((dir + "/B").c_str());
}

}  // namespace
