// ".dtz" packing and unpacking, checked against the real gzip program.
#include "support/compress.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "support/files.h"
#include "support/parallel_deflate.h"
#include "tests/support/recording_sink.h"

namespace {

using zel::test::ReadFile;
using zel::test::ScratchDir;
using zel::test::WriteFile;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int RunShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// Compressible but not trivial content of the given size.
std::string SampleData(std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(i % 64 < 48 ? 'a' + (i / 64) % 26 : (x >> 16) & 0xFF);
    }
    return s;
}

// Runs fn in a child whose files may not grow beyond limit bytes, so that
// writing fails the way a full disk makes it fail.  Returns fn's result.
template <typename Fn>
int InChildWithFileLimit(rlim_t limit, Fn fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CompressFile, OutputUnpacksWithGzip) {
    ScratchDir dir;
    const std::string data = SampleData(700000);
    WriteFile(dir / "up.txt", data);
    ASSERT_EQ(CompressFile((dir / "up.txt").c_str(), (dir / "up.txt.dtz").c_str(), 6), 0);
    const std::string packed = ReadFile(dir / "up.txt.dtz");
    ASSERT_GE(packed.size(), 18u);
    EXPECT_EQ(packed.substr(0, 4), std::string("\x1F\x8B\x08\x00", 4));
    EXPECT_LT(packed.size(), data.size());
    ASSERT_EQ(RunShell("gzip -d -c " + Quote(dir / "up.txt.dtz") + " > " + Quote(dir / "out")), 0);
    EXPECT_EQ(ReadFile(dir / "out"), data);
}

// Small files packed one after another share their thread's deflate
// stream: each is still a gzip member of its own bytes alone, whatever came
// before it (another level, a failed file), and the CRC-32 and version
// reported are those of the file as written; a later write changes the
// version.  A file packed on every core reports nothing.
TEST(CompressFile, ReusedStreamPacksEachFileAloneAndReportsWhatItWrote) {
    ScratchDir dir;
    const std::size_t sizes[] = {1, 4096, 40000, 0, 70000, 3};
    const int levels[] = {6, 6, 1, 6, 9, 6};
    for (int i = 0; i < 6; ++i) {
        if (i == 3) {
            // A write failing midway (here, in this process, by a file-size
            // limit): the next file gets a stream set up anew.
            WriteFile(dir / "big", SampleData(300000));
            rlimit old{};
            ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
            const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{100, old.rlim_max};
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
            const int rc =
                CompressFile((dir / "big").c_str(), (dir / "big.dtz").c_str(), 6, nullptr);
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
            ::signal(SIGXFSZ, old_handler);
            EXPECT_EQ(rc, kCompressWriteFailed);
            EXPECT_FALSE(Exists(dir / "big.dtz"));
        }
        const std::string name = "f" + std::to_string(i);
        const std::string data = SampleData(sizes[i]) + name;
        WriteFile(dir / name, data);
        PackedFacts facts;
        facts.known = true;
        ASSERT_EQ(
            CompressFile((dir / name).c_str(), (dir / (name + ".dtz")).c_str(), levels[i], &facts),
            0)
            << i;
        ASSERT_EQ(RunShell("gzip -d -c " + Quote(dir / (name + ".dtz")) + " > " + Quote(dir / "o")),
                  0)
            << i;
        EXPECT_EQ(ReadFile(dir / "o"), data) << i;
        ASSERT_TRUE(facts.known) << i;
        std::uint32_t crc = 0;
        ASSERT_EQ(ComputeCheckSumCRC32((dir / (name + ".dtz")).c_str(), &crc), S_OK);
        EXPECT_EQ(facts.crc, crc) << i;
        zel::fs::UniqueFd fd;
        ASSERT_EQ(zel::fs::OpenForReading(dir / (name + ".dtz"), &fd), 0);
        zel::fs::FileVersion version;
        ASSERT_EQ(zel::fs::VersionOf(fd.get(), &version), 0);
        EXPECT_TRUE(version == facts.version) << i;
    }
    // Written to after packing: another version.
    {
        zel::fs::UniqueFd fd;
        ASSERT_EQ(zel::fs::OpenForAppending(dir / "f1.dtz", &fd), 0);
        zel::fs::FileVersion before, after;
        ASSERT_EQ(zel::fs::VersionOf(fd.get(), &before), 0);
        ASSERT_EQ(zel::fs::WriteAll(fd.get(), "x", 1), 0);
        ASSERT_EQ(zel::fs::VersionOf(fd.get(), &after), 0);
        EXPECT_FALSE(before == after);
    }
    if (zel::pack::PackingThreads() > 1) {
        WriteFile(dir / "large", SampleData(zel::pack::kParallelThreshold + 5));
        PackedFacts facts;
        facts.known = true;
        ASSERT_EQ(CompressFile((dir / "large").c_str(), (dir / "large.dtz").c_str(), 6, &facts), 0);
        EXPECT_FALSE(facts.known);
    }
}

TEST(CompressFile, EmptyFileAndExtremeLevels) {
    ScratchDir dir;
    WriteFile(dir / "empty", "");
    ASSERT_EQ(CompressFile((dir / "empty").c_str(), (dir / "empty.dtz").c_str(), 6), 0);
    EXPECT_EQ(RunShell("gzip -t " + Quote(dir / "empty.dtz")), 0);
    ASSERT_EQ(DecompressFile((dir / "empty.dtz").c_str(), (dir / "back").c_str()), 0);
    EXPECT_TRUE(Exists(dir / "back"));
    EXPECT_EQ(ReadFile(dir / "back"), "");

    const std::string data = SampleData(50000);
    WriteFile(dir / "f", data);
    for (int level : {0, 9, 10, -3}) {
        const std::string out = dir / ("f" + std::to_string(level) + ".dtz");
        ASSERT_EQ(CompressFile((dir / "f").c_str(), out.c_str(), level), 0) << level;
        ASSERT_EQ(RunShell("gzip -d -c " + Quote(out) + " > " + Quote(dir / "o")), 0) << level;
        EXPECT_EQ(ReadFile(dir / "o"), data) << level;
    }
    // Level 0 stores: the packed file is larger than its content.
    EXPECT_GT(ReadFile(dir / "f0.dtz").size(), data.size());
}

TEST(CompressFile, FailuresLeaveNoDestination) {
    ScratchDir dir;
    EXPECT_EQ(CompressFile((dir / "missing").c_str(), (dir / "m.dtz").c_str(), 6), 1);
    EXPECT_EQ(CompressFile(dir.path().c_str(), (dir / "d.dtz").c_str(), 6), 1);
    EXPECT_FALSE(Exists(dir / "m.dtz"));
    WriteFile(dir / "src", SampleData(1000));
    EXPECT_EQ(CompressFile((dir / "src").c_str(), (dir / "no/dir/x.dtz").c_str(), 6), 2);

    // Incompressible data beyond the file size limit: writing fails.
    WriteFile(dir / "big", SampleData(400000));
    const std::string dest = dir / "big.dtz";
    const int rc = InChildWithFileLimit(
        4096, [&] { return CompressFile((dir / "big").c_str(), dest.c_str(), 0); });
    EXPECT_EQ(rc, 3);
    EXPECT_FALSE(Exists(dest));
}

// A link is never packed (the upload must not send what it points to), and
// a packed copy is told from any other file of the packed name.
TEST(CompressFile, LinksAreNotPackedAndPackedCopiesAreRecognised) {
    ScratchDir dir;
    WriteFile(dir / "outside", "secret");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(CompressFile((dir / "link").c_str(), (dir / "link.dtz").c_str(), 6), 1);
    EXPECT_FALSE(Exists(dir / "link.dtz"));

    const std::string data = SampleData(100000);
    WriteFile(dir / "a", data);
    ASSERT_EQ(CompressFile((dir / "a").c_str(), (dir / "a.dtz").c_str(), 1), 0);
    EXPECT_TRUE(IsPackedCopyOf((dir / "a.dtz").c_str(), (dir / "a").c_str()));
    WriteFile(dir / "longer", data + "x");
    WriteFile(dir / "shorter", data.substr(0, data.size() - 1));
    WriteFile(dir / "plain", data);  // the same bytes, but not packed
    EXPECT_FALSE(IsPackedCopyOf((dir / "a.dtz").c_str(), (dir / "longer").c_str()));
    EXPECT_FALSE(IsPackedCopyOf((dir / "a.dtz").c_str(), (dir / "shorter").c_str()));
    EXPECT_FALSE(IsPackedCopyOf((dir / "plain").c_str(), (dir / "a").c_str()));
    EXPECT_FALSE(IsPackedCopyOf((dir / "missing").c_str(), (dir / "a").c_str()));
    // Damaged: the trailer's checksum no longer matches.
    std::string damaged = ReadFile(dir / "a.dtz");
    damaged[damaged.size() - 6] ^= 1;
    WriteFile(dir / "damaged.dtz", damaged);
    EXPECT_FALSE(IsPackedCopyOf((dir / "damaged.dtz").c_str(), (dir / "a").c_str()));
    // Empty files: a packed empty file is a copy of one.
    WriteFile(dir / "e", "");
    ASSERT_EQ(CompressFile((dir / "e").c_str(), (dir / "e.dtz").c_str(), 6), 0);
    EXPECT_TRUE(IsPackedCopyOf((dir / "e.dtz").c_str(), (dir / "e").c_str()));
    EXPECT_FALSE(IsPackedCopyOf((dir / "e").c_str(), (dir / "e").c_str()));
}

TEST(DecompressFile, UnpacksGzipOutputAndCopiesPlainFiles) {
    ScratchDir dir;
    const std::string data = SampleData(300000);
    WriteFile(dir / "down", data);
    ASSERT_EQ(RunShell("gzip -c " + Quote(dir / "down") + " > " + Quote(dir / "down.dtz")), 0);
    ASSERT_EQ(DecompressFile((dir / "down.dtz").c_str(), (dir / "placed").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "placed"), data);

    const std::string plain = "not gzip at all\r\n\x1F binary \x00 tail";
    WriteFile(dir / "plain.dtz", plain);
    ASSERT_EQ(DecompressFile((dir / "plain.dtz").c_str(), (dir / "copy").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "copy"), plain);

    // The destination is replaced, not appended to.
    WriteFile(dir / "small", "x");
    ASSERT_EQ(CompressFile((dir / "small").c_str(), (dir / "small.dtz").c_str(), 6), 0);
    ASSERT_EQ(DecompressFile((dir / "small.dtz").c_str(), (dir / "copy").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "copy"), "x");
}

TEST(DecompressFile, DamagedInputGivesFourAndNoDestination) {
    ScratchDir dir;
    const std::string data = SampleData(200000);
    WriteFile(dir / "f", data);
    ASSERT_EQ(CompressFile((dir / "f").c_str(), (dir / "f.dtz").c_str(), 6), 0);
    const std::string packed = ReadFile(dir / "f.dtz");

    // Cut short inside the deflate data, and cut short inside the trailer.
    for (std::size_t keep : {packed.size() / 2, packed.size() - 3}) {
        WriteFile(dir / "cut.dtz", packed.substr(0, keep));
        EXPECT_EQ(DecompressFile((dir / "cut.dtz").c_str(), (dir / "out").c_str()), 4) << keep;
        EXPECT_FALSE(Exists(dir / "out"));
    }
    // A wrong checksum in the trailer.
    std::string bad = packed;
    bad[bad.size() - 8] = static_cast<char>(bad[bad.size() - 8] ^ 0x55);
    WriteFile(dir / "bad.dtz", bad);
    EXPECT_EQ(DecompressFile((dir / "bad.dtz").c_str(), (dir / "out").c_str()), 4);
    EXPECT_FALSE(Exists(dir / "out"));
}

// A member cut after inflate has taken its last input byte but still holds
// output back: zlib's gzread ends such a file as if it were complete.  Every
// cut of a highly compressible member, at any level, is a read failure.
TEST(DecompressFile, EveryCutOfAMemberGivesFour) {
    ScratchDir dir;
    WriteFile(dir / "zeros", std::string(40000, '\0'));
    for (int level : {1, 6, 9}) {
        ASSERT_EQ(CompressFile((dir / "zeros").c_str(), (dir / "z.dtz").c_str(), level), 0);
        const std::string packed = ReadFile(dir / "z.dtz");
        for (std::size_t keep = 2; keep < packed.size(); ++keep) {
            WriteFile(dir / "cut.dtz", packed.substr(0, keep));
            EXPECT_EQ(DecompressFile((dir / "cut.dtz").c_str(), (dir / "out").c_str()), 4)
                << "level " << level << ", " << keep << " of " << packed.size() << " bytes";
            EXPECT_FALSE(Exists(dir / "out"));
        }
        // A second member cut short behind a whole one fails as well.
        WriteFile(dir / "two.dtz", packed + packed.substr(0, packed.size() - 15));
        EXPECT_EQ(DecompressFile((dir / "two.dtz").c_str(), (dir / "out").c_str()), 4);
        EXPECT_FALSE(Exists(dir / "out"));
        // Whole members, one after the other, and bytes after them that do
        // not start another member, unpack as before.
        WriteFile(dir / "two.dtz", packed + packed + "trailing");
        ASSERT_EQ(DecompressFile((dir / "two.dtz").c_str(), (dir / "out").c_str()), 0);
        EXPECT_EQ(ReadFile(dir / "out"), std::string(80000, '\0'));
    }
}

TEST(DecompressFile, OpenCreateAndWriteFailures) {
    ScratchDir dir;
    EXPECT_EQ(DecompressFile((dir / "missing.dtz").c_str(), (dir / "out").c_str()), 1);
    EXPECT_FALSE(Exists(dir / "out"));
    // A directory is no compressed file: refused before the destination is
    // touched, so a file already standing there survives.
    ASSERT_EQ(::mkdir((dir / "folder.dtz").c_str(), 0700), 0);
    WriteFile(dir / "folder", "keep me");
    EXPECT_EQ(DecompressFile((dir / "folder.dtz").c_str(), (dir / "folder").c_str()), 1);
    EXPECT_EQ(ReadFile(dir / "folder"), "keep me");
    WriteFile(dir / "f", SampleData(300000));
    ASSERT_EQ(CompressFile((dir / "f").c_str(), (dir / "f.dtz").c_str(), 6), 0);
    EXPECT_EQ(DecompressFile((dir / "f.dtz").c_str(), (dir / "no/dir/out").c_str()), 2);

    const std::string dest = dir / "limited";
    const int rc = InChildWithFileLimit(
        10000, [&] { return DecompressFile((dir / "f.dtz").c_str(), dest.c_str()); });
    EXPECT_EQ(rc, 3);
    EXPECT_FALSE(Exists(dest));
}

TEST(ReadCompressionLevel, FromConfigurationOrDefault) {
    ScratchDir dir;
    EXPECT_EQ(ReadCompressionLevel((dir / "ferrun.conf").c_str()), 6);
    WriteFile(dir / "ferrun.conf", "write_timeout=1000\ncompression=2\n");
    EXPECT_EQ(ReadCompressionLevel((dir / "ferrun.conf").c_str()), 2);
    WriteFile(dir / "ferrun.conf", "compression=0\n");
    EXPECT_EQ(ReadCompressionLevel((dir / "ferrun.conf").c_str()), 0);
}

}  // namespace
