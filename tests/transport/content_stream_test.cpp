// The file-backed content stream: modes, positions, lengths, redirection and
// whole-file copies, on real files in a scratch directory.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/result_codes.h"
#include "tests/common/scratch.h"
#include "transport/internet_access.h"

using zel::test::ScratchRoot;
using namespace zel::codes;
using Stream = CInternetAccess::CContentStream;

namespace {

class ContentStreamTest : public ScratchRoot {
  protected:
    static std::string ReadAll(Stream& s) {
        std::int32_t pos = -1;
        EXPECT_EQ(s.Seek(2, 0, &pos), S_OK);
        std::string out;
        std::vector<char> buf(100000);
        for (;;) {
            std::int32_t n = 0;
            EXPECT_EQ(s.Read(buf.data(), static_cast<std::int32_t>(buf.size()), &n), S_OK);
            if (n <= 0) break;
            out.append(buf.data(), static_cast<std::size_t>(n));
        }
        return out;
    }
    static std::string Bytes(std::size_t n) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
        return s;
    }
};

TEST_F(ContentStreamTest, FreshStreamIsEmptyAndSeekOriginsWork) {
    Stream s(nullptr);
    std::int32_t len = -1, pos = -1, mode = 0;
    ASSERT_EQ(s.GetLength(&len), S_OK);
    EXPECT_EQ(len, 0);
    ASSERT_EQ(s.GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 3);
    std::int32_t n = 0;
    ASSERT_EQ(s.Write("0123456789abcdefghij", 20, &n), S_OK);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(s.Seek(2, 0, &pos), S_OK);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(s.Seek(3, 0, &pos), S_OK);
    EXPECT_EQ(pos, 20);
    EXPECT_EQ(s.Seek(2, 7, &pos), S_OK);
    EXPECT_EQ(s.Seek(1, 0, &pos), S_OK);
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(s.Seek(1, 3, &pos), S_OK);
    EXPECT_EQ(pos, 10);
    EXPECT_EQ(s.Seek(2, -1, &pos), kStreamSeek);
    char buf[4] = {};
    ASSERT_EQ(s.Read(buf, 3, &n), S_OK);
    EXPECT_EQ(std::string(buf, 3), "abc");
    // The anonymous backing file never shows up in the temporary directory.
    EXPECT_TRUE(std::filesystem::is_empty(Path("tmp")));
}

TEST_F(ContentStreamTest, ModeViolationsChangeNothing) {
    Stream s(nullptr);
    std::int32_t n = 0, len = -1;
    ASSERT_EQ(s.Write("abc", 3, &n), S_OK);
    ASSERT_EQ(s.SetMode(1), S_OK);
    EXPECT_EQ(s.Write("xyz", 3, &n), kStreamReadOnly);
    EXPECT_EQ(s.SetLength(0), kStreamReadOnly);
    EXPECT_EQ(s.Write(Path("whatever").c_str()), kStreamReadOnly);
    Stream other(nullptr);
    EXPECT_EQ(s.Write(&other), kStreamReadOnly);
    ASSERT_EQ(s.GetLength(&len), S_OK);
    EXPECT_EQ(len, 3);

    ASSERT_EQ(s.SetMode(2), S_OK);
    char buf[4];
    EXPECT_EQ(s.Read(buf, 3, &n), kStreamWriteOnly);
    EXPECT_EQ(s.SetMode(0), kInvalidArg);
    EXPECT_EQ(s.SetMode(4), kInvalidArg);
    std::int32_t mode = 0;
    ASSERT_EQ(s.GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 2);
}

TEST_F(ContentStreamTest, InvalidArguments) {
    Stream s(nullptr);
    std::int32_t n = 0;
    char buf[4];
    EXPECT_EQ(s.Read(nullptr, 3, &n), kInvalidArg);
    EXPECT_EQ(s.Read(buf, -1, &n), kInvalidArg);
    EXPECT_EQ(s.Write(static_cast<const void*>(nullptr), 3, &n), kInvalidArg);
    EXPECT_EQ(s.Write(buf, -1, &n), kInvalidArg);
    EXPECT_EQ(s.Write(static_cast<const char*>(nullptr)), kInvalidArg);
    EXPECT_EQ(s.Write(static_cast<Stream*>(nullptr)), kInvalidArg);
    EXPECT_EQ(s.GetLength(nullptr), kInvalidArg);
    EXPECT_EQ(s.GetCurrentPos(nullptr), kInvalidArg);
    EXPECT_EQ(s.SetRedirect(nullptr, false, false), kInvalidArg);
}

TEST_F(ContentStreamTest, SetLengthPlacesThePosition) {
    Stream s(nullptr);
    std::int32_t n = 0, pos = -1, len = -1;
    ASSERT_EQ(s.Write(Bytes(20).data(), 20, &n), S_OK);
    ASSERT_EQ(s.Seek(2, 15, &pos), S_OK);
    ASSERT_EQ(s.SetLength(10), S_OK);
    ASSERT_EQ(s.GetCurrentPos(&pos), S_OK);
    EXPECT_EQ(pos, 9);
    ASSERT_EQ(s.GetLength(&len), S_OK);
    EXPECT_EQ(len, 10);

    ASSERT_EQ(s.Write(Bytes(10).data(), 10, &n), S_OK);  // at 9: length 19
    ASSERT_EQ(s.Seek(2, 5, &pos), S_OK);
    ASSERT_EQ(s.SetLength(30), S_OK);  // zero-extends, position stays
    ASSERT_EQ(s.GetCurrentPos(&pos), S_OK);
    EXPECT_EQ(pos, 5);
    std::string all = ReadAll(s);
    ASSERT_EQ(all.size(), 30u);
    EXPECT_EQ(all.substr(19), std::string(11, '\0'));

    ASSERT_EQ(s.SetLength(0), S_OK);
    ASSERT_EQ(s.GetLength(&len), S_OK);
    ASSERT_EQ(s.GetCurrentPos(&pos), S_OK);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(pos, 0);
}

TEST_F(ContentStreamTest, RedirectionAndBackToTheTemporaryFile) {
    Stream s(nullptr);
    std::int32_t n = 0, pos = -1, len = -1, mode = 0;
    ASSERT_EQ(s.Write("temp", 4, &n), S_OK);

    // Read-only redirection of a missing file fails; the stream stays on its
    // temporary file.
    EXPECT_EQ(s.SetRedirect(Path("missing").c_str(), false, true), kStreamRedirect);
    EXPECT_FALSE(std::filesystem::exists(Path("missing")));
    ASSERT_EQ(s.GetLength(&len), S_OK);
    EXPECT_EQ(len, 4);

    // Without the read-only flag a missing file is created empty.
    ASSERT_EQ(s.SetRedirect(Path("new").c_str(), false, false), S_OK);
    EXPECT_TRUE(std::filesystem::exists(Path("new")));
    ASSERT_EQ(s.GetLength(&len), S_OK);
    EXPECT_EQ(len, 0);

    // Append keeps an existing file and starts at its end; replacing a
    // redirection needs no CloseRedirect.
    std::string hundred = Bytes(100);
    WriteFile(Path("existing"), hundred);
    ASSERT_EQ(s.SetRedirect(Path("existing").c_str(), true, false), S_OK);
    ASSERT_EQ(s.GetCurrentPos(&pos), S_OK);
    EXPECT_EQ(pos, 100);
    ASSERT_EQ(s.Write("tail", 4, &n), S_OK);
    EXPECT_EQ(ReadFile(Path("existing")), hundred + "tail");

    // Without append an existing file is truncated.
    ASSERT_EQ(s.SetRedirect(Path("existing").c_str(), false, false), S_OK);
    EXPECT_EQ(ReadFile(Path("existing")), "");

    // A read-only redirection sets the redirect mode only.
    WriteFile(Path("ro"), "read me");
    ASSERT_EQ(s.SetRedirect(Path("ro").c_str(), false, true), S_OK);
    ASSERT_EQ(s.GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(s.Write("x", 1, &n), kStreamReadOnly);
    EXPECT_EQ(ReadAll(s), "read me");
    EXPECT_EQ(ReadFile(Path("ro")), "read me");

    EXPECT_EQ(s.CloseRedirect(), S_OK);
    ASSERT_EQ(s.GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(ReadAll(s), "temp");
}

// A FIFO in the redirection's place is refused at once, in every mode: a
// read-only open would otherwise wait for a writer for ever.
TEST_F(ContentStreamTest, RedirectionRefusesAFifoWithoutBlocking) {
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    Stream s(nullptr);
    EXPECT_EQ(s.SetRedirect(Path("fifo").c_str(), false, true), kStreamRedirect);
    EXPECT_EQ(s.SetRedirect(Path("fifo").c_str(), false, false), kStreamRedirect);
    EXPECT_EQ(s.SetRedirect(Path("fifo").c_str(), true, false), kStreamRedirect);
    std::int32_t mode = 0;
    ASSERT_EQ(s.GetMode(&mode), S_OK);
    EXPECT_EQ(mode, 3);
}

TEST_F(ContentStreamTest, WholeFileAndStreamCopies) {
    Stream s(nullptr);
    std::int32_t n = 0, pos = -1;
    WriteFile(Path("empty"), "");
    EXPECT_EQ(s.Write(Path("empty").c_str()), S_OK);
    EXPECT_EQ(ReadAll(s), "");
    EXPECT_EQ(s.Write(Path("no-such-file").c_str()), kFileOpen);

    // 600,000 bytes: more than two chunks.
    std::string big = Bytes(600000);
    WriteFile(Path("big"), big);
    ASSERT_EQ(s.Write(Path("big").c_str()), S_OK);
    EXPECT_EQ(ReadAll(s), big);

    // A stream copy reads the source from its current position.
    Stream copy(nullptr);
    ASSERT_EQ(copy.Write("head:", 5, &n), S_OK);
    ASSERT_EQ(s.Seek(2, 0, &pos), S_OK);
    ASSERT_EQ(copy.Write(&s), S_OK);
    EXPECT_EQ(ReadAll(copy), "head:" + big);

    Stream part(nullptr);
    ASSERT_EQ(s.Seek(2, 100, &pos), S_OK);
    ASSERT_EQ(part.Write(&s), S_OK);
    EXPECT_EQ(ReadAll(part), big.substr(100));
}

}  // namespace
