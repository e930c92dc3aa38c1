// Directory creation, path joining, CRC-32 of files and XML tag values.
#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/recording_sink.h"

namespace {

using zel::test::ScratchDir;
using zel::test::WriteFile;
using zel::test::support::RecordingSink;

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs a block with the current directory changed, restoring it afterwards.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& dir) {
        char buf[4096];
        if (::getcwd(buf, sizeof buf) != nullptr) old_ = buf;
        EXPECT_EQ(::chdir(dir.c_str()), 0);
    }
    ~ScopedCwd() {
        if (!old_.empty()) (void)::chdir(old_.c_str());
    }

  private:
    std::string old_;
};

TEST(IsCreateDirReqd, AnswersForMissingDirectoryAndFile) {
    ScratchDir dir;
    WriteFile(dir / "file", "x");
    EXPECT_EQ(IsCreateDirReqd((dir / "missing").c_str()), 0);
    EXPECT_EQ(IsCreateDirReqd(dir.path().c_str()), 1);
    RecordingSink sink;
    EXPECT_EQ(IsCreateDirReqd((dir / "file").c_str()), zel::codes::kInvalidDirectory);
    EXPECT_EQ(IsCreateDirReqd((dir / "file/").c_str()), zel::codes::kInvalidDirectory);
    EXPECT_EQ(IsCreateDirReqd(""), zel::codes::kInvalidArg);
    ASSERT_EQ(sink.entries.size(), 3u);
    EXPECT_EQ(sink.entries[0].context, "IsCreateDirReqd");
    EXPECT_EQ(sink.entries[0].id, 148u);
}

TEST(CheckDirectory, CreatesMissingLevelsAndReturnsTheFullPath) {
    ScratchDir dir;
    CStringHolder full;
    ASSERT_EQ(CheckDirectory(dir.path().c_str(), full.Out()), S_OK);
    EXPECT_EQ(full.c_str(), dir.path());

    const std::string deep = dir / "a/b/c";
    ASSERT_EQ(CheckDirectory(deep.c_str(), full.Out()), S_OK);
    EXPECT_EQ(full.c_str(), deep);
    EXPECT_TRUE(IsDir(dir / "a") && IsDir(dir / "a/b") && IsDir(deep));

    // A trailing "/" is kept, "." and ".." are resolved.
    ASSERT_EQ(CheckDirectory((dir / "a/./x/../y/").c_str(), full.Out()), S_OK);
    EXPECT_EQ(full.c_str(), dir / "a/y/");
    EXPECT_TRUE(IsDir(dir / "a/y"));
    EXPECT_FALSE(IsDir(dir / "a/x"));

    // Blanks after the name (a hand-typed setting): the path handed back is
    // trimmed, so the directory made must be that very path.
    ASSERT_EQ(CheckDirectory((dir / "typed \t ").c_str(), full.Out()), S_OK);
    EXPECT_EQ(full.c_str(), dir / "typed");
    EXPECT_TRUE(IsDir(dir / "typed"));
}

TEST(CheckDirectory, RelativePathIsMadeAbsolute) {
    ScratchDir dir;
    ScopedCwd cwd(dir.path());
    CStringHolder full;
    ASSERT_EQ(CheckDirectory("rel/sub", full.Out()), S_OK);
    ASSERT_NE(full.get(), nullptr);
    EXPECT_EQ(full.get()[0], '/');
    EXPECT_TRUE(IsDir(dir / "rel/sub"));
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::stat(full.get(), &a), 0);
    ASSERT_EQ(::stat((dir / "rel/sub").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST(CheckDirectory, FailsOnFilesInTheWay) {
    ScratchDir dir;
    WriteFile(dir / "file", "x");
    RecordingSink sink;
    CStringHolder full;
    EXPECT_EQ(CheckDirectory((dir / "file").c_str(), full.Out()), zel::codes::kInvalidDirectory);
    EXPECT_EQ(CheckDirectory((dir / "file/below/more").c_str(), full.Out()),
              zel::codes::kInvalidDirectory);
    EXPECT_EQ(full.get(), nullptr);
    // Reported once each, by the routine that found it.
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[1].context, "IsCreateDirReqd");

    sink.entries.clear();
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(CheckDirectory((dir / "denied/x").c_str(), full.Out()),
                  zel::codes::kCreateDirectory);
        ASSERT_EQ(sink.entries.size(), 1u);
        EXPECT_EQ(sink.entries[0].context, "CheckDirectory");
        EXPECT_EQ(sink.entries[0].id, 147u);
    }
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
}

TEST(GetFullFileName, JoinsWithOneSeparator) {
    CStringHolder s;
    ASSERT_EQ(GetFullFileName(" /data/in ", " name .txt", s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "/data/in/ name .txt");
    ASSERT_EQ(GetFullFileName("/data/in/", "f", s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "/data/in/f");
    RecordingSink sink;
    EXPECT_EQ(GetFullFileName(nullptr, "f", s.Out()), zel::codes::kInvalidArg);
    EXPECT_EQ(s.get(), nullptr);
    ASSERT_EQ(sink.entries.size(), 1u);
    EXPECT_EQ(sink.entries[0].context, "GetFullFileName");
}

TEST(ComputeCheckSumCRC32, KnownValuesAndFailures) {
    ScratchDir dir;
    std::uint32_t crc = 1;
    WriteFile(dir / "empty", "");
    ASSERT_EQ(ComputeCheckSumCRC32((dir / "empty").c_str(), &crc), S_OK);
    EXPECT_EQ(crc, 0u);
    WriteFile(dir / "check", "123456789");
    ASSERT_EQ(ComputeCheckSumCRC32((dir / "check").c_str(), &crc), S_OK);
    EXPECT_EQ(crc, 0xCBF43926u);

    // Larger than one block, and binary (CR LF kept): same as one-shot crc32.
    std::string big(262144 * 2 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 7 + i / 300) & 0xFF);
    big[5] = '\r';
    big[6] = '\n';
    WriteFile(dir / "big", big);
    ASSERT_EQ(ComputeCheckSumCRC32((dir / "big").c_str(), &crc), S_OK);
    const auto expected = static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(big.data()), static_cast<uInt>(big.size())));
    EXPECT_EQ(crc, expected);

    RecordingSink sink;
    crc = 42;
    EXPECT_EQ(ComputeCheckSumCRC32((dir / "missing").c_str(), &crc), zel::codes::kOpenFile);
    // A directory is not a file that can be opened.
    EXPECT_EQ(ComputeCheckSumCRC32(dir.path().c_str(), &crc), zel::codes::kOpenFile);
    EXPECT_EQ(crc, 42u);
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[0].id, 144u);
    EXPECT_EQ(sink.entries[1].id, 144u);
    EXPECT_EQ(sink.entries[1].context, "ComputeCheckSumCRC32");
}

TEST(GetTagValue, ExtractsBoundedValues) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s", "unchanged");
    EXPECT_EQ(GetTagValue("SRVIP", "<a><SRVIP>10.0.0.1</SRVIP></a>", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "10.0.0.1");
    EXPECT_EQ(GetTagValue("SURL", "<SURL></SURL>", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "");

    std::snprintf(buf, sizeof buf, "%s", "unchanged");
    EXPECT_EQ(GetTagValue("SURL", "<SURL>no end", buf, sizeof buf), 0);
    EXPECT_EQ(GetTagValue("SURL", "no start</SURL>", buf, sizeof buf), 0);
    // A closing tag before the opening one does not end the value.
    EXPECT_EQ(GetTagValue("S", "</S><S>v", buf, sizeof buf), 0);
    EXPECT_EQ(GetTagValue("S", "</S><S>v</S>", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "v");
    std::snprintf(buf, sizeof buf, "%s", "unchanged");
    // 15 characters fit 16 bytes, 16 do not.
    EXPECT_EQ(GetTagValue("T", "<T>123456789012345</T>", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "123456789012345");
    std::snprintf(buf, sizeof buf, "%s", "unchanged");
    EXPECT_EQ(GetTagValue("T", "<T>1234567890123456</T>", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "unchanged");
    const std::string long_name(61, 'n');
    const std::string text = "<" + long_name + ">v</" + long_name + ">";
    EXPECT_EQ(GetTagValue(long_name.c_str(), text.c_str(), buf, sizeof buf), 0);
    const std::string ok_name(60, 'n');
    const std::string ok_text = "<" + ok_name + ">v</" + ok_name + ">";
    EXPECT_EQ(GetTagValue(ok_name.c_str(), ok_text.c_str(), buf, sizeof buf), 1);
}

}  // namespace
