// Packing on several threads: whatever the size and the thread count, the
// result is one gzip member that the real gzip program and the system's own
// reader unpack to the original bytes.
#include "support/parallel_deflate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
        for (unsigned threads : {1u, 2u, 3u, 64u}) {
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

// A file whose reading fails part-way, with blocks already handed to the
// workers: the call reports the read failure (not a packed file) and comes
// back with its workers joined.  /proc/self/mem over a mapping whose last
// part is unmapped reads like such a file: the bytes, then EIO.
TEST(ParallelDeflate, AReadFailurePartWayIsReportedAsOne) {
    ScratchDir dir;
    const std::size_t readable = 5 * kParallelBlock + 1000;
    const std::size_t mapped = 7 * kParallelBlock;
    void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(map);
    const std::string data = Random(readable);
    std::memcpy(bytes, data.data(), readable);
    // Everything from the page after the readable bytes on goes.
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t cut = (readable + page - 1) / page * page;
    ASSERT_EQ(munmap(bytes + cut, mapped - cut), 0);
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(mem, 0);
    // The readable part does read: the failure comes part-way, not at once.
    unsigned char first[4096];
    ASSERT_EQ(pread(mem, first, sizeof first,
                    static_cast<off_t>(reinterpret_cast<std::uintptr_t>(bytes))),
              static_cast<ssize_t>(sizeof first));
    ASSERT_EQ(std::memcmp(first, data.data(), sizeof first), 0);
    ASSERT_EQ(lseek(mem, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(bytes)), SEEK_SET),
              static_cast<off_t>(reinterpret_cast<std::uintptr_t>(bytes)));
    zel::fs::UniqueFd out;
    ASSERT_EQ(zel::fs::CreateForWriting(dir / "packed", &out), 0);
    EXPECT_EQ(zel::pack::DeflateInParallel(mem, out.get(), 6, 3), kCompressReadFailed);
    close(mem);
    munmap(bytes, cut);
}

// A write that fails part-way (the file-size limit reached, with SIGXFSZ
// ignored so the write returns EFBIG) fails CompressFile's parallel path as a
// write failure, and no part of the packed file is left.
TEST(ParallelDeflate, AWriteFailurePartWayLeavesNoPackedFile) {
    ScratchDir dir;
    const std::string data = Random(static_cast<std::size_t>(zel::pack::kParallelThreshold) * 2);
    WriteFile(dir / "big", data);
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* const old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 3 * kParallelBlock / 2;  // past the first block, short of the second
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int rc = CompressFile((dir / "big").c_str(), (dir / "big.dtz").c_str(), 6);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(rc, kCompressWriteFailed);
    EXPECT_FALSE(zel::fs::Exists(dir / "big.dtz"));
}

// A file packed in parallel begins with the same header as one packed in one
// stream by zlib's gzip writer at the same level.
TEST(ParallelDeflate, HeaderIsZlibsOwnAtEveryLevelKind) {
    ScratchDir dir;
    WriteFile(dir / "small", Mixed(5000));
    WriteFile(dir / "plain", Mixed(2 * kParallelBlock));
    for (int level : {1, 6, 9}) {
        ASSERT_EQ(CompressFile((dir / "small").c_str(), (dir / "small.dtz").c_str(), level),
                  kCompressOk);
        ASSERT_EQ(Pack(dir / "plain", dir / "packed", 2, level), kCompressOk);
        EXPECT_EQ(ReadFile(dir / "packed").substr(0, 10), ReadFile(dir / "small.dtz").substr(0, 10))
            << "level " << level;
    }
}

}  // namespace
