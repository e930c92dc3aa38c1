// Looking at names (kinds, links, removal) and keeping a log file's tail in
// place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fs.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = zel::fs;
using zel::test::ReadFile;
using zel::test::WriteFile;

TEST(FsStatus, KindsLinksAndRemovalOfNamesOnly) {
    zel::test::ScratchDir dir;
    const std::string file = dir / "file";
    const std::string sub = dir / "sub";
    const std::string link = dir / "link";
    const std::string dangling = dir / "dangling";
    WriteFile(file, "12345");
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(sub.c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink((dir / "missing").c_str(), dangling.c_str()), 0);

    fs::FileStatus st;
    ASSERT_EQ(fs::StatusOf(file, &st), 0);
    EXPECT_EQ(st.kind, fs::FileKind::kRegular);
    EXPECT_EQ(st.size, 5);
    EXPECT_EQ(fs::StatusOf(link, &st), 0);
    EXPECT_EQ(st.kind, fs::FileKind::kDirectory);
    EXPECT_EQ(fs::StatusOf(link, &st, fs::Links::kRefuse), 0);
    EXPECT_EQ(st.kind, fs::FileKind::kLink);
    EXPECT_EQ(fs::StatusOf(dir / "missing", &st), ENOENT);

    EXPECT_TRUE(fs::PathIsDirectory(link));
    EXPECT_FALSE(fs::PathIsDirectory(file));
    // A link whose target is gone is still a name in the way.
    EXPECT_FALSE(fs::PathExists(dangling));
    EXPECT_TRUE(fs::PathExistsNoFollow(dangling));

    EXPECT_EQ(fs::RemoveNonDirectory(sub), EISDIR);
    EXPECT_EQ(fs::RemoveNonDirectory(link), 0);  // the link, never the directory
    EXPECT_TRUE(fs::PathIsDirectory(sub));
    EXPECT_EQ(fs::RemoveNonDirectory(link), ENOENT);
}

TEST(FsKeepTail, CutsOnlyAboveTheLimitInPlaceAndNeverThroughALink) {
    zel::test::ScratchDir dir;
    const std::string log = dir / "log";
    WriteFile(log, std::string(6, 'a') + std::string(4, 'b'));
    EXPECT_EQ(fs::KeepTail(log, 10, 4), 0);
    EXPECT_EQ(ReadFile(log).size(), 10u) << "a file of exactly the limit stays whole";

    // An appender that opened the file before the cut keeps writing to it,
    // after the kept tail.
    const int appender = ::open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(appender, 0);
    WriteFile(log, std::string(7, 'a') + std::string(4, 'b'));
    EXPECT_EQ(fs::KeepTail(log, 10, 4), 0);
    EXPECT_EQ(ReadFile(log), "bbbb");
    ASSERT_EQ(::write(appender, "c", 1), 1);
    ::close(appender);
    EXPECT_EQ(ReadFile(log), "bbbbc");

    const std::string big = dir / "big";
    const std::string link = dir / "link";
    WriteFile(big, std::string(20, 'x'));
    ASSERT_EQ(::symlink(big.c_str(), link.c_str()), 0);
    EXPECT_EQ(fs::KeepTail(link, 10, 4), ELOOP);
    EXPECT_EQ(ReadFile(big).size(), 20u);
    EXPECT_EQ(fs::KeepTail(dir / "none", 10, 4), ENOENT);
    EXPECT_EQ(fs::KeepTail(big, 4, 10), EINVAL);
}

}  // namespace
