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

    EXPECT_TRUE(fs::IsDirectory(link));
    EXPECT_FALSE(fs::IsDirectory(file));
    // A link whose target is gone is still a name in the way.
    EXPECT_TRUE(fs::Exists(dangling));

    EXPECT_EQ(fs::RemoveFile(sub), EISDIR);
    EXPECT_EQ(fs::RemoveFile(link), 0);  // the link, never the directory
    EXPECT_TRUE(fs::IsDirectory(sub));
    EXPECT_EQ(fs::RemoveFile(link), ENOENT);
}

}  // namespace
