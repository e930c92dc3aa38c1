// Whole-file calls of the file layer: regular files only on reading, write
// loops that end, atomic replacement, line splitting and number parsing.
// Calls that could block run in a child process with a deadline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "platform/fs.h"
#include "tests/common/child.h"
#include "tests/common/scratch.h"
#include "tests/common/write_faults.h"

namespace {

namespace fs = zel::fs;
using zel::test::kChildHung;
using zel::test::ReadFile;
using zel::test::RunInChild;
using zel::test::WriteFile;

class FsFilesTest : public ::testing::Test {
  protected:
    std::string P(const std::string& name) const { return scratch_ / name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(scratch_.path()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    zel::test::ScratchDir scratch_{"zelfsfiles"};
};

TEST_F(FsFilesTest, ReadingRefusesAnythingButARegularFile) {
    ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directory(P("dir")));
    WriteFile(P("file"), std::string("a\0b", 3));
    // A FIFO without a writer would block an ordinary open for ever.
    const int rc = RunInChild(
        [&] {
            std::string out = "kept";
            fs::UniqueFd fd;
            if (fs::OpenForReading(P("fifo"), &fd) != ENXIO || fd) return 1;
            if (fs::ReadWholeFile(P("fifo"), &out) != ENXIO || out != "kept") return 2;
            if (fs::ReadWholeFile(P("dir"), &out) != EISDIR || out != "kept") return 3;
            if (fs::ReadWholeFile(P("missing"), &out) != ENOENT) return 4;
            fs::UniqueFd w;
            if (fs::CreateForWriting(P("fifo"), &w) == 0) return 5;
            if (fs::CreateForWriting(P("dir"), &w) != EISDIR) return 6;
            return 0;
        },
        5000);
    EXPECT_EQ(rc, 0);
    std::string out;
    ASSERT_EQ(fs::ReadWholeFile(P("file"), &out), 0);
    EXPECT_EQ(out, std::string("a\0b", 3));
    // A link to a regular file is followed.
    ASSERT_EQ(::symlink(P("file").c_str(), P("link").c_str()), 0);
    ASSERT_EQ(fs::ReadWholeFile(P("link"), &out), 0);
    EXPECT_EQ(out.size(), 3u);
}

TEST_F(FsFilesTest, CreateForWritingTruncatesAndCreateExclusiveRefusesAnExistingName) {
    WriteFile(P("f"), "old content");
    fs::UniqueFd fd;
    ASSERT_EQ(fs::CreateForWriting(P("f"), &fd), 0);
    ASSERT_EQ(fs::WriteAll(fd.get(), "new", 3), 0);
    fd.reset();
    EXPECT_EQ(ReadFile(P("f")), "new");
    EXPECT_EQ(fs::CreateExclusive(P("f")), EEXIST);
    ASSERT_TRUE(std::filesystem::create_directory(P("d")));
    EXPECT_EQ(fs::CreateExclusive(P("d")), EEXIST);
    EXPECT_EQ(fs::CreateExclusive(P("x"), &fd), 0);
    EXPECT_TRUE(fd);
}

TEST_F(FsFilesTest, AWriteThatStoresNothingEndsTheLoopWithAnError) {
    const int rc = RunInChild(
        [&] {
            fs::UniqueFd fd;
            if (fs::CreateForWriting(P("f"), &fd) != 0) return 1;
            zel::test::ZeroWrites zero;
            return fs::WriteAll(fd.get(), "abc", 3) == EIO ? 0 : 2;
        },
        5000);
    EXPECT_EQ(rc, 0) << "kChildHung (" << kChildHung << ") means the loop never ended";
}

TEST_F(FsFilesTest, ReplaceFileAtomically) {
    WriteFile(P("f"), "old");
    ASSERT_EQ(fs::ReplaceFileAtomically(P("f"), "new content", 0640), 0);
    EXPECT_EQ(ReadFile(P("f")), "new content");
    struct stat st;
    ASSERT_EQ(::stat(P("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(fs::ReplaceFileAtomically(P("new"), ""), 0);
    EXPECT_EQ(ReadFile(P("new")), "");
    EXPECT_EQ(Names(), (std::vector<std::string>{"f", "new"}));

    // A failed write leaves the old file whole and no temporary behind.
    const int rc = RunInChild(
        [&] {
            zel::test::ZeroWrites zero;
            return fs::ReplaceFileAtomically(P("f"), "lost") == EIO ? 0 : 1;
        },
        5000);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(P("f")), "new content");
    // A directory in the name's place cannot be replaced.
    ASSERT_TRUE(std::filesystem::create_directory(P("d")));
    EXPECT_NE(fs::ReplaceFileAtomically(P("d"), "x"), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"d", "f", "new"}));
    EXPECT_EQ(fs::ReplaceFileAtomically(P("nodir/f"), "x"), ENOENT);
}

TEST(FsText, TextModeAndLineSplitting) {
    EXPECT_EQ(fs::ToTextMode("a\nb\r\n\n"), "a\r\nb\r\r\n\r\n");
    using V = std::vector<std::string_view>;
    const std::string_view mixed("a\r\nb\n\rc\rd\ne");
    EXPECT_EQ(fs::SplitLines(mixed, fs::LineEnds::kCrOrLf), (V{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(fs::SplitLines("", fs::LineEnds::kCrOrLf), V{});
    // Two like ends are two lines; a trailing end adds no empty line.
    EXPECT_EQ(fs::SplitLines("a\n\nb\r\r", fs::LineEnds::kCrOrLf), (V{"a", "", "b", ""}));
    const std::string_view zeros("a\0b\0\nc", 6);
    EXPECT_EQ(fs::SplitLines(zeros, fs::LineEnds::kCrOrLf),
              (V{std::string_view("a\0b\0", 4), "c"}));
    EXPECT_EQ(fs::SplitLines(zeros, fs::LineEnds::kCrOrLfOrZero), (V{"a", "b", "", "c"}));
}

TEST(FsText, DecimalPrefixReadsLikeAtoiAndSaturates) {
    EXPECT_EQ(fs::ParseDecimalPrefix("  \t42xyz", INT_MAX), 42);
    EXPECT_EQ(fs::ParseDecimalPrefix("-17", INT_MAX), -17);
    EXPECT_EQ(fs::ParseDecimalPrefix("+5", INT_MAX), 5);
    EXPECT_EQ(fs::ParseDecimalPrefix("=5", INT_MAX), 0);
    EXPECT_EQ(fs::ParseDecimalPrefix("", INT_MAX), 0);
    EXPECT_EQ(fs::ParseDecimalPrefix("- 5", INT_MAX), 0);
    EXPECT_EQ(fs::ParseDecimalPrefix("2147483647", INT_MAX), INT_MAX);
    EXPECT_EQ(fs::ParseDecimalPrefix("99999999999999999999999", INT_MAX), INT_MAX);
    EXPECT_EQ(fs::ParseDecimalPrefix("-99999999999999999999999", INT_MAX), -INT_MAX);
    EXPECT_EQ(fs::ParseDecimalPrefix("7", 5), 5);
    EXPECT_EQ(fs::ParseDecimalPrefix("12", 15), 12);
    EXPECT_EQ(fs::ParseDecimalPrefix("16", 15), 15);
}

}  // namespace
