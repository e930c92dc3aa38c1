// Logs that could block a process for ever: a lock that is a stale directory
// that can never be removed, and a FIFO in the log file's place.  Opening
// the log and appending to it must carry on (the append is dropped) instead
// of waiting.  Each runs in a child process with a deadline.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "log/event_log.h"
#include "support/lock.h"
#include "tests/common/child.h"
#include "tests/common/scratch.h"

namespace {

class EventLogStaleLock : public zel::test::ScratchRoot {};

TEST_F(EventLogStaleLock, UnremovableStaleLockNeitherBlocksOpenNorAppends) {
    const std::string file = CommPath("client.log");
    const std::string lock_file = LockFilePath(file.c_str());
    ASSERT_TRUE(std::filesystem::create_directory(lock_file));
    zel::test::Age(lock_file, 120);
    const int rc = zel::test::RunInChild(
        [&] {
            CEventLog log;
            if (!log.Open(file.c_str(), false)) return 1;
            (void)ReportCode(&log, MakeResult(0x801F811D), "Test::Run", 225);
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(std::filesystem::is_directory(lock_file));
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
