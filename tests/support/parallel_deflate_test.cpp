// Packing on several threads: whatever the size and the thread count, the
// result is one gzip member that the real gzip program and the system's own
// reader unpack to the original bytes.
#include "support/parallel_deflate.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "support/compress.h"
#include "tests/support/recording_sink.h"

namespace {

using zel::pack::kParallelBlock;
using zel::test::ReadFile;
using zel::test::ScratchDir;
using zel::test::WriteFile;

int RunShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Text-like runs broken by noise: compressible, with matches that reach back
// across block boundaries.
std::string Mixed(std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 99;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(i % 97 < 80 ? "dealer order line "[i % 18] : (x >> 16) & 0xFF);
    }
    return s;
}

std::string Random(std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 7;
    for (char& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// Packs plain with DeflateInParallel on the given number of threads into
// packed; the call's result.
int Pack(const std::string& plain, const std::string& packed, unsigned threads, int level = 6) {
    zel::fs::UniqueFd in, out;
    if (zel::fs::OpenForReading(plain, &in) != 0) return -1;
    if (zel::fs::CreateForWriting(packed, &out) != 0) return -1;
    return zel::pack::DeflateInParallel(in.get(), out.get(), level, threads);
}

void ExpectUnpacksTo(const ScratchDir& dir, const std::string& packed, const std::string& data,
                     const std::string& what) {
    ASSERT_EQ(RunShell("gzip -t '" + packed + "'"), 0) << what;
    ASSERT_EQ(RunShell("gzip -d -c '" + packed + "' > '" + (dir / "by-gzip") + "'"), 0) << what;
    EXPECT_TRUE(ReadFile(dir / "by-gzip") == data) << what;
    ASSERT_EQ(DecompressFile(packed.c_str(), (dir / "by-reader").c_str()), kCompressOk) << what;
    EXPECT_TRUE(ReadFile(dir / "by-reader") == data) << what;
}

TEST(ParallelDeflate, SizesAroundBlockBoundariesUnpackToTheOriginal) {
    ScratchDir dir;
    const std::size_t b = kParallelBlock;
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, b - 1, b, b + 1, 2 * b, 5 * b + 7, 9 * b}) {
        const std::string data = Mixed(size);
        WriteFile(dir / "plain", data);
        for (unsigned threads : {1u, 2u, 3u}) {
            const std::string what =
                std::to_string(size) + " bytes, " + std::to_string(threads) + " threads";
            ASSERT_EQ(Pack(dir / "plain", dir / "packed", threads), kCompressOk) << what;
            ExpectUnpacksTo(dir, dir / "packed", data, what);
        }
    }
}

TEST(ParallelDeflate, IncompressibleAndUniformDataAtEveryLevelKind) {
    ScratchDir dir;
    const std::string noise = Random(3 * kParallelBlock + 11);
    const std::string zeros(4 * kParallelBlock, '\0');
    for (const std::string* data : {&noise, &zeros}) {
        WriteFile(dir / "plain", *data);
        for (int level : {1, 6, 9}) {
            const std::string what =
                std::to_string(data->size()) + " bytes at " + std::to_string(level);
            ASSERT_EQ(Pack(dir / "plain", dir / "packed", 2, level), kCompressOk) << what;
            ExpectUnpacksTo(dir, dir / "packed", *data, what);
        }
    }
    // Priming each block with the one before keeps uniform data as small as
    // one stream makes it.
    EXPECT_LT(ReadFile(dir / "packed").size(), zeros.size() / 500);
}

// A large file goes the parallel way through CompressFile, and its packed
// copy is recognised as such.
TEST(ParallelDeflate, CompressFilePacksALargeFileThatUnpacksExactly) {
    ScratchDir dir;
    const std::string data = Mixed(static_cast<std::size_t>(zel::pack::kParallelThreshold) * 3 + 5);
    WriteFile(dir / "big", data);
    ASSERT_EQ(CompressFile((dir / "big").c_str(), (dir / "big.dtz").c_str(), 6), kCompressOk);
    ExpectUnpacksTo(dir, dir / "big.dtz", data, "big");
    EXPECT_TRUE(IsPackedCopyOf((dir / "big.dtz").c_str(), (dir / "big").c_str()));
    EXPECT_LT(ReadFile(dir / "big.dtz").size(), data.size() / 2);
}

}  // namespace
