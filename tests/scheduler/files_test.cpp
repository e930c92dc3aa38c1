// The schedule service's whole-file calls against files that misbehave: a
// write that stores nothing, and a FIFO where a file should be.  Each call
// runs in a child process with a deadline, so a loop that never ends fails
// the test instead of hanging the suite.
#include "scheduler/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "tests/common/child.h"
#include "tests/common/scratch.h"
#include "tests/common/write_faults.h"

namespace {

using zel::test::ReadFile;
using zel::test::RunInChild;
using zel::test::WriteFile;

TEST(ScheduleFiles, WriteThatStoresNothingFailsAndKeepsTheOldFile) {
    zel::test::ScratchDir dir;
    const std::string path = dir / "crontab.dat";
    WriteFile(path, "old schedule\r\n");
    const int rc = RunInChild(
        [&] {
            zel::test::ZeroWrites zero;
            return zel::cron::WriteFileReplacing(path, "new schedule\r\n") != 0 ? 0 : 1;
        },
        5000);
    EXPECT_EQ(rc, 0) << "the writer did not end, or reported success";
    EXPECT_EQ(ReadFile(path), "old schedule\r\n");
    std::size_t names = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++names;
    }
    EXPECT_EQ(names, 1u) << "a temporary file was left behind";
}

TEST(ScheduleFiles, FifoInTheControlFilesPlaceIsRefusedAtOnce) {
    zel::test::ScratchDir dir;
    const std::string path = dir / "CONTROL";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int rc = RunInChild(
        [&] {
            std::string text = "kept";
            return zel::cron::ReadWholeFile(path, &text) == ENXIO && text == "kept" ? 0 : 1;
        },
        5000);
    EXPECT_EQ(rc, 0);
}

}  // namespace
