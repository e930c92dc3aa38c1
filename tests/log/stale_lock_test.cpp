// Logs that could block a process for ever: a writer that died holding the
// file's lock, a lock file an earlier version left (even one that can never
// be removed), and a FIFO in the log file's place.  Opening the log and
// appending to it must carry on instead of waiting.  Each runs in a child
// process with a deadline.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "log/event_log.h"
#include "platform/fs.h"
#include "support/lock.h"
#include "tests/common/child.h"
#include "tests/common/scratch.h"

namespace {

class EventLogStaleLock : public zel::test::ScratchRoot {};

// The log takes no lock file any more: one left behind by an earlier
// version, here a directory that could never be removed, neither holds the
// log up nor keeps the record out, and is left as it is.
TEST_F(EventLogStaleLock, ALockFileLeftBehindNeitherBlocksNorDropsRecords) {
    const std::string file = CommPath("client.log");
    const std::string lock_file = LockFilePath(file.c_str());
    ASSERT_TRUE(std::filesystem::create_directory(lock_file));
    const int rc = zel::test::RunInChild(
        [&] {
            CEventLog log;
            if (!log.Open(file.c_str(), false)) return 1;
            (void)ReportCode(&log, MakeResult(0x801F811D), "Test::Run", 225);
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(zel::test::ReadFile(file).find("Context: Test::Run"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(lock_file));
}

// A writer killed while it holds the file's lock gives it back as it dies:
// the next append goes through at once, with no stale wait.
TEST_F(EventLogStaleLock, AWriterKilledHoldingTheLockHoldsNobodyUp) {
    const std::string file = CommPath("client.log");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        zel::fs::UniqueFd fd;
        if (zel::fs::OpenForAppending(file, &fd) != 0 || zel::fs::LockExclusive(fd.get()) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "x", 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    // Held: an append waits.
    zel::fs::UniqueFd probe;
    ASSERT_EQ(zel::fs::OpenForAppending(file, &probe), 0);
    EXPECT_EQ(zel::fs::TryLockExclusive(probe.get()), EWOULDBLOCK);
    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    const int rc = zel::test::RunInChild(
        [&] {
            CEventLog log;
            if (!log.Open(file.c_str(), false)) return 1;
            (void)ReportCode(&log, MakeResult(0x801F811D), "Test::Run", 225);
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(zel::test::ReadFile(file).find("Context: Test::Run"), std::string::npos);
}

TEST_F(EventLogStaleLock, FifoInTheLogFilesPlaceNeitherBlocksOpenNorAppends) {
    const std::string file = CommPath("client.log");
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    const int rc = zel::test::RunInChild(
        [&] {
            CEventLog log;
            (void)log.Open(file.c_str(), false);
            (void)ReportCode(&log, MakeResult(0x801F811D), "Test::Run", 225);
            CEventLog kept;
            (void)kept.Open(file.c_str(), true);
            (void)ReportCode(&kept, MakeResult(0x801F811D), "Test::Run", 225);
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
}

}  // namespace
