// Readers of named files meet a FIFO or a directory where a file should be:
// each refuses it at once with its "cannot open" result instead of blocking
// for ever (FIFO) or failing later with a read error (directory).  Each call
// runs in a child process with a deadline, so a regression fails the test
// rather than hanging the suite.  Also: packing or unpacking a file onto
// itself is refused before the source is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/compress.h"
#include "support/files.h"
#include "support/strings.h"
#include "tests/common/child.h"
#include "tests/support/recording_sink.h"

namespace {

using zel::test::ReadFile;
using zel::test::RunInChild;
using zel::test::ScratchDir;
using zel::test::WriteFile;
using zel::test::support::RecordingSink;

constexpr int kDeadlineMs = 5000;

class NonRegularTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
        ASSERT_TRUE(std::filesystem::create_directory(dir_ / "folder"));
    }
    // Both odd kinds of file, for tests that treat them alike.
    std::vector<std::string> Odd() const { return {dir_ / "fifo", dir_ / "folder"}; }
    ScratchDir dir_;
};

TEST_F(NonRegularTest, StringAndChecksumReadersGiveOpenFailure) {
    for (const std::string& path : Odd()) {
        const int rc = RunInChild(
            [&] {
                RecordingSink sink;
                char* text = nullptr;
                if (GetStringDataFromFile(path.c_str(), false, &text) != zel::codes::kOpenFile)
                    return 1;
                if (text != nullptr) return 2;
                std::uint32_t crc = 7;
                if (ComputeCheckSumCRC32(path.c_str(), &crc) != zel::codes::kOpenFile) return 3;
                if (crc != 7) return 4;
                // Reported once each, with catalogue 144 "Unable to open file."
                if (sink.entries.size() != 2 || sink.entries[0].id != 144 ||
                    sink.entries[1].context != "ComputeCheckSumCRC32")
                    return 5;
                // Writing never truncates or blocks on them either.
                if (WriteStringToFile(path.c_str(), "x") != zel::codes::kOpenFile) return 6;
                return 0;
            },
            kDeadlineMs);
        EXPECT_EQ(rc, 0) << path;
    }
}

TEST_F(NonRegularTest, PackingAndUnpackingRefuseThemAsSource) {
    WriteFile(dir_ / "out", "untouched");
    for (const std::string& path : Odd()) {
        const int rc = RunInChild(
            [&] {
                if (CompressFile(path.c_str(), (dir_ / "out").c_str(), 6) !=
                    kCompressSourceOpenFailed)
                    return 1;
                if (DecompressFile(path.c_str(), (dir_ / "out").c_str()) !=
                    kCompressSourceOpenFailed)
                    return 2;
                return 0;
            },
            kDeadlineMs);
        EXPECT_EQ(rc, 0) << path;
    }
    EXPECT_EQ(ReadFile(dir_ / "out"), "untouched");
    // A FIFO as the destination is not opened for writing (that would block
    // until a reader came).
    WriteFile(dir_ / "src", "data");
    const int rc = RunInChild(
        [&] {
            if (DecompressFile((dir_ / "src").c_str(), (dir_ / "fifo").c_str()) !=
                kCompressDestCreateFailed)
                return 1;
            return CompressFile((dir_ / "src").c_str(), (dir_ / "fifo").c_str(), 6) ==
                           kCompressDestCreateFailed
                       ? 0
                       : 2;
        },
        kDeadlineMs);
    EXPECT_EQ(rc, 0);
}

TEST(OwnSource, PackingOrUnpackingAFileOntoItselfIsRefusedAndKeepsIt) {
    ScratchDir dir;
    const std::string plain = dir / "plain.txt";
    const std::string packed = dir / "plain.txt.dtz";
    WriteFile(plain, "some text to pack\n");
    ASSERT_EQ(CompressFile(plain.c_str(), packed.c_str(), 6), kCompressOk);
    const std::string packed_bytes = ReadFile(packed);

    // The same name, a second name (hard link) and a symbolic link all name
    // the source itself.
    ASSERT_EQ(::link(packed.c_str(), (dir / "hard.dtz").c_str()), 0);
    ASSERT_EQ(::symlink(packed.c_str(), (dir / "soft.dtz").c_str()), 0);
    for (const std::string& dest : {packed, dir / "hard.dtz", dir / "soft.dtz"}) {
        EXPECT_EQ(DecompressFile(packed.c_str(), dest.c_str()), kCompressDestCreateFailed) << dest;
        EXPECT_EQ(ReadFile(packed), packed_bytes) << dest;
    }
    EXPECT_EQ(CompressFile(plain.c_str(), plain.c_str(), 6), kCompressDestCreateFailed);
    EXPECT_EQ(ReadFile(plain), "some text to pack\n");
    // A different file of the same content is no obstacle.
    ASSERT_EQ(DecompressFile(packed.c_str(), (dir / "back.txt").c_str()), kCompressOk);
    EXPECT_EQ(ReadFile(dir / "back.txt"), "some text to pack\n");
}

}  // namespace
