// Names and entries of the file layer: the absolute form of a path, the one
// rule of what exists, making directories, and appending among writers that
// take turns by the file's lock (also when the name is given to a new file
// meanwhile), with the in-place cut of a large file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/fs.h"
#include "tests/common/scratch.h"

namespace {

namespace fs = zel::fs;
using zel::test::ReadFile;
using zel::test::WriteFile;

class FsEntriesTest : public ::testing::Test {
  protected:
    std::string P(const std::string& name) const { return scratch_ / name; }
    zel::test::ScratchDir scratch_{"zelfsentries"};
};

TEST_F(FsEntriesTest, AbsolutePathResolvesByNameOnly) {
    std::string out = "kept";
    EXPECT_EQ(fs::AbsolutePath("", &out), EINVAL);
    EXPECT_EQ(out, "kept");
    ASSERT_EQ(fs::AbsolutePath("/a//b/./c/../d", &out), 0);
    EXPECT_EQ(out, "/a/b/d");
    ASSERT_EQ(fs::AbsolutePath("/a/b/", &out), 0);
    EXPECT_EQ(out, "/a/b/");  // asks for a directory: the "/" stays
    ASSERT_EQ(fs::AbsolutePath("/../..", &out), 0);
    EXPECT_EQ(out, "/");
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(scratch_.path());
    const int err = fs::AbsolutePath("x/../y", &out);
    std::filesystem::current_path(cwd);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(out, P("y"));
    EXPECT_EQ(fs::AbsolutePath("/" + std::string(5000, 'n'), &out), ENAMETOOLONG);
}

// Exists: something has the name, a dangling link too (it still blocks an
// exclusive create).  IsDirectory follows links.
TEST_F(FsEntriesTest, ExistsCountsEveryNameIsDirectoryFollowsLinks) {
    ASSERT_EQ(::symlink(P("nowhere").c_str(), P("dangling").c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(P("dir")));
    ASSERT_EQ(::symlink(P("dir").c_str(), P("to-dir").c_str()), 0);
    EXPECT_TRUE(fs::Exists(P("dangling")));
    EXPECT_EQ(fs::CreateExclusive(P("dangling")), EEXIST);
    EXPECT_FALSE(fs::Exists(P("missing")));
    EXPECT_FALSE(fs::Exists(P("missing/below")));
    EXPECT_TRUE(fs::IsDirectory(P("to-dir")));
    EXPECT_FALSE(fs::IsDirectory(P("dangling")));
    EXPECT_FALSE(fs::IsDirectory(""));
    fs::FileInfo info;
    ASSERT_EQ(fs::GetEntryInfo(P("to-dir"), &info), 0);
    EXPECT_EQ(info.type, fs::FileInfo::Type::kLink);
    ASSERT_EQ(fs::GetFileInfo(P("to-dir"), &info), 0);
    EXPECT_EQ(info.type, fs::FileInfo::Type::kDirectory);
    EXPECT_EQ(fs::RemoveFile(P("dangling")), 0);
    EXPECT_EQ(fs::RemoveFile(P("dangling")), ENOENT);
}

TEST_F(FsEntriesTest, MakeDirectoriesMakesEveryMissingLevel) {
    EXPECT_EQ(fs::MakeDirectories(P("a/b//c/")), 0);
    EXPECT_TRUE(fs::IsDirectory(P("a/b/c")));
    EXPECT_EQ(fs::MakeDirectories(P("a/b/c")), 0);  // there already
    EXPECT_EQ(fs::MakeDirectory(P("a")), 0);
    WriteFile(P("a/file"), "x");
    EXPECT_EQ(fs::MakeDirectory(P("a/file")), EEXIST);
    EXPECT_EQ(fs::MakeDirectories(P("a/file/d")), ENOTDIR);
    EXPECT_FALSE(fs::Exists(P("a/file/d")));
}

// A writer waiting for the lock while the holder gives the name to a new
// file (as a cut by replacement does) appends to the new file, not to the
// one that no longer has a name.
TEST_F(FsEntriesTest, LockedAppendLandsInTheFileUnderTheName) {
    const std::string log = P("log");
    WriteFile(log, "old\n");
    fs::UniqueFd holder;
    ASSERT_EQ(fs::OpenForAppending(log, &holder), 0);
    ASSERT_EQ(fs::LockExclusive(holder.get()), 0);
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{-1};
    std::thread writer([&] {
        tid = ::gettid();
        fs::UniqueFd fd;
        int err = fs::OpenLockedForAppending(log.c_str(), &fd, fs::Links::kRefuse);
        if (err == 0) err = fs::WriteAll(fd.get(), "line\n", 5);
        result = err;
    });
    ASSERT_TRUE(zel::test::WaitUntil(
        [&] { return result != -1 || (tid != 0 && zel::test::ThreadSleeping(tid)); }, 30000));
    EXPECT_EQ(result, -1);  // waiting for the holder
    WriteFile(P("new"), "new\n");
    ASSERT_EQ(::rename(P("new").c_str(), log.c_str()), 0);
    holder.reset();
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(log), "new\nline\n");
}

TEST_F(FsEntriesTest, CutToTailKeepsTheLastBytesInPlace) {
    const std::string file = P("big");
    WriteFile(file, "0123456789");
    fs::UniqueFd fd;
    ASSERT_EQ(fs::OpenForUpdating(file.c_str(), &fd), 0);
    EXPECT_EQ(fs::CutToTail(fd.get(), 10, 4), 0);  // not above the limit
    EXPECT_EQ(ReadFile(file), "0123456789");
    EXPECT_EQ(fs::CutToTail(fd.get(), 9, 4), 0);
    EXPECT_EQ(ReadFile(file), "6789");
    EXPECT_EQ(fs::CutToTail(fd.get(), 1, 4), EINVAL);  // a limit below what is kept
}

}  // namespace
