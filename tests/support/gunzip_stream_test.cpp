// The streaming unpacker against the file unpacker: for every kind of input
// a ".dtz" body can be (good, several members, trailing bytes, not gzip at
// all, damaged, cut short, failing its check), fed in pieces of every size,
// the result and the bytes written must be exactly DecompressFile's.
#include "support/gunzip_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/compress.h"
#include "tests/common/scratch.h"

namespace {

using zel::test::ReadFile;
using zel::test::ScratchDir;
using zel::test::WriteFile;

std::string Gzip(const std::string& data, int level = 6) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, data.size()) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string Text(std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 7;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(i % 5 == 0 ? (x >> 16) & 0xFF : 'a' + (i / 7) % 26);
    }
    return s;
}

struct Outcome {
    int result;
    std::string bytes;  // what the destination holds ("" when deleted)
};

class GunzipStreamTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return dir_ / name; }
    ScratchDir dir_;

    Outcome ByFile(const std::string& input) {
        WriteFile(Path("in.dtz"), input);
        ::unlink(Path("out.file").c_str());
        const int rc = DecompressFile(Path("in.dtz").c_str(), Path("out.file").c_str());
        return {rc == kCompressOk ? kCompressOk : kCompressReadFailed,
                rc == kCompressOk ? ReadFile(Path("out.file")) : ""};
    }
    Outcome ByStream(const std::string& input, std::size_t piece) {
        zel::fs::UniqueFd out(
            ::open(Path("out.stream").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        EXPECT_TRUE(out);
        GunzipStream gz;
        EXPECT_TRUE(gz.Begin(out.get()));
        for (std::size_t at = 0; at < input.size(); at += piece) {
            EXPECT_TRUE(gz.Write(input.data() + at, std::min(piece, input.size() - at)));
        }
        const int rc = gz.Finish();
        out.reset();
        return {rc, rc == kCompressOk ? ReadFile(Path("out.stream")) : ""};
    }
};

TEST_F(GunzipStreamTest, EveryKindOfBodyEndsAsTheFileUnpackerEndsIt) {
    const std::string a = Text(300000);  // more than one output buffer
    const std::string b = Text(1000);
    const std::string ga = Gzip(a);
    const std::string gb = Gzip(b, 0);
    std::string bad_check = ga;
    bad_check[bad_check.size() - 6] ^= 0x55;  // the CRC-32 of the trailer
    std::string damaged = ga;
    damaged[ga.size() / 2] ^= 0xFF;
    const std::vector<std::pair<const char*, std::string>> inputs = {
        {"good", ga},
        {"empty member", Gzip("")},
        {"two members", ga + gb},
        {"trailing bytes", gb + "not another member"},
        {"trailing magic byte", gb + "\x1f"},
        {"trailing magic then junk", gb + std::string("\x1f\x8b") + "junk"},
        {"not gzip", "plain text, sent as it is\r\n"},
        {"one byte", "\x1f"},
        {"nothing", ""},
        {"magic only", "\x1f\x8b"},
        {"cut short", ga.substr(0, ga.size() - 100)},
        {"cut in the trailer", ga.substr(0, ga.size() - 3)},
        {"failing its check", bad_check},
        {"damaged", damaged},
    };
    for (const auto& [name, input] : inputs) {
        const Outcome expected = ByFile(input);
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4093},
                                  std::size_t{262144}, input.size() + 1}) {
            // Byte by byte through a large body only costs time.
            if (piece < 4 && input.size() > 20000) continue;
            const Outcome got = ByStream(input, piece);
            EXPECT_EQ(got.result, expected.result) << name << ", pieces of " << piece;
            EXPECT_TRUE(got.bytes == expected.bytes) << name << ", pieces of " << piece;
        }
    }
}

TEST_F(GunzipStreamTest, StartsOverCleanlyAndReportsAFailingWrite) {
    const std::string data = Text(5000);
    zel::fs::UniqueFd out(
        ::open(Path("o").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    GunzipStream gz;
    ASSERT_TRUE(gz.Begin(out.get()));
    const std::string packed = Gzip(data);
    ASSERT_TRUE(gz.Write(packed.data(), packed.size() / 2));  // a first attempt, cut off
    ASSERT_EQ(::ftruncate(out.get(), 0), 0);
    ASSERT_EQ(::lseek(out.get(), 0, SEEK_SET), 0);
    ASSERT_TRUE(gz.Begin(out.get()));
    ASSERT_TRUE(gz.Write(packed.data(), packed.size()));
    EXPECT_EQ(gz.Finish(), kCompressOk);
    EXPECT_EQ(ReadFile(Path("o")), data);

    zel::fs::UniqueFd read_only(::open(Path("o").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(gz.Begin(read_only.get()));
    EXPECT_FALSE(gz.Write(packed.data(), packed.size()));
    EXPECT_NE(gz.write_error(), 0);
    EXPECT_EQ(gz.Finish(), kCompressWriteFailed);
}

}  // namespace
