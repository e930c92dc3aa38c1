// Heap strings, trimming, splitting and the conversions to wide text, BSTR,
// byte streams and files.
#include "support/strings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <string>

#include "platform/fs.h"
#include "tests/support/recording_sink.h"

namespace {

using zel::test::ReadFile;
using zel::test::ScratchDir;
using zel::test::WriteFile;
using zel::test::support::RecordingSink;

class StringsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr); }
    void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
};

TEST_F(StringsTest, CopyStringNoneEmptyTrimAndSelfCopy) {
    CStringHolder s;
    ASSERT_EQ(CopyString("  some text \t", &s, true), S_OK);
    EXPECT_STREQ(s.get(), "some text");
    // A source of none frees the string.
    ASSERT_EQ(CopyString(nullptr, &s, false), S_OK);
    EXPECT_EQ(s.get(), nullptr);
    // The empty text stays a string, also when trimmed.
    ASSERT_EQ(CopyString("", &s, true), S_OK);
    ASSERT_NE(s.get(), nullptr);
    EXPECT_STREQ(s.get(), "");
    // Copying a tail of the string onto itself.
    ASSERT_EQ(CopyString("abc:def", &s, false), S_OK);
    ASSERT_EQ(CopyString(s.get() + 4, &s, false), S_OK);
    EXPECT_STREQ(s.get(), "def");
    ASSERT_EQ(GetString(" x ", s.Out(), true), S_OK);
    EXPECT_STREQ(s.get(), "x");
}

TEST_F(StringsTest, MissingPointerIsReportedOnceWithContextAndCatalogue) {
    RecordingSink sink;
    EXPECT_EQ(CopyString("a", nullptr, false), zel::codes::kInvalidArg);
    ASSERT_EQ(sink.entries.size(), 1u);
    EXPECT_EQ(sink.entries[0].code, zel::codes::kInvalidArg);
    EXPECT_EQ(sink.entries[0].context, "CopyString");
    EXPECT_EQ(sink.entries[0].id, 225u);
    EXPECT_EQ(AllocStringLen(-1, nullptr), zel::codes::kInvalidArg);
    EXPECT_EQ(CopyValue(nullptr, &sink, 1), zel::codes::kInvalidArg);
    EXPECT_EQ(FreeString(nullptr), S_OK);
    EXPECT_EQ(sink.entries.size(), 3u);
}

TEST_F(StringsTest, AppendStringGrowsNoneAndItself) {
    CStringHolder s;
    ASSERT_EQ(AppendString(nullptr, &s), S_OK);
    EXPECT_EQ(s.get(), nullptr);
    ASSERT_EQ(AppendString("ab", &s), S_OK);
    ASSERT_EQ(AppendString("cd", &s), S_OK);
    EXPECT_STREQ(s.get(), "abcd");
    ASSERT_EQ(AppendString(s.get() + 1, &s), S_OK);
    EXPECT_STREQ(s.get(), "abcdbcd");
}

TEST_F(StringsTest, MakeStringRanges) {
    const char* text = "  hello world ";
    CStringHolder s;
    ASSERT_EQ(MakeString(text, text, s.Out(), false), S_OK);
    ASSERT_NE(s.get(), nullptr);
    EXPECT_STREQ(s.get(), "");
    ASSERT_EQ(MakeString(text, text + 8, s.Out(), true), S_OK);
    EXPECT_STREQ(s.get(), "hello");
    ASSERT_EQ(MakeString(text + 8, nullptr, s.Out(), false), S_OK);
    EXPECT_STREQ(s.get(), "world ");
    ASSERT_EQ(MakeString(nullptr, nullptr, s.Out(), false), S_OK);
    EXPECT_EQ(s.get(), nullptr);

    RecordingSink sink;
    EXPECT_EQ(MakeString(text + 3, text + 2, s.Out(), false), zel::codes::kInvalidArg);
    EXPECT_EQ(MakeString(nullptr, text, s.Out(), false), zel::codes::kInvalidArg);
    EXPECT_EQ(s.get(), nullptr);
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[0].context, "MakeString");
}

TEST_F(StringsTest, TrimRemovesOnlySpacesAndTabs) {
    char a[] = " \t in  ner\t \r";
    EXPECT_EQ(Trim(a), 1);
    EXPECT_STREQ(a, "in  ner\t \r");  // the CR is no blank, so what precedes it stays
    char b[] = " \t  ";
    EXPECT_EQ(Trim(b), 1);
    EXPECT_STREQ(b, "");
    char c[] = "\xC3\xA9 \xE2\x82\xAC ";  // "é €"
    Trim(c);
    EXPECT_STREQ(c, "\xC3\xA9 \xE2\x82\xAC");
    // An invalid byte counts as one character and is kept.
    char d[] = " \xFF  ";
    Trim(d);
    EXPECT_STREQ(d, "\xFF");

    RecordingSink sink;
    EXPECT_EQ(Trim(nullptr), 0);
    char* none = nullptr;
    EXPECT_EQ(TrimWithMemUseCheck(&none), zel::codes::kInvalidArg);
    EXPECT_EQ(sink.entries.size(), 2u);
}

TEST_F(StringsTest, SplitStringCases) {
    CStringHolder l;
    CStringHolder r;
    ASSERT_EQ(SplitString(" user : pass word ", ':', 0, l.Out(), r.Out()), S_OK);
    EXPECT_STREQ(l.get(), "user");
    EXPECT_STREQ(r.get(), "pass word");

    // Two separators: count -1 and count 1 both split at the second.
    for (long count : {-1L, 1L}) {
        ASSERT_EQ(SplitString("a:b:c", ':', count, l.Out(), r.Out()), S_OK);
        EXPECT_STREQ(l.get(), "a:b");
        EXPECT_STREQ(r.get(), "c");
    }
    // Not enough separators: the whole text left, none right.
    ASSERT_EQ(SplitString(" host:80 ", ':', 1, l.Out(), r.Out()), S_OK);
    EXPECT_STREQ(l.get(), "host:80");
    EXPECT_EQ(r.get(), nullptr);
    ASSERT_EQ(SplitString("nosep", ':', -1, l.Out(), r.Out()), S_OK);
    EXPECT_STREQ(l.get(), "nosep");
    EXPECT_EQ(r.get(), nullptr);
    // Separator at the end: an empty right part, not none.
    ASSERT_EQ(SplitString("key:", ':', 0, l.Out(), r.Out()), S_OK);
    EXPECT_STREQ(r.get(), "");
    // None in: 1, both outputs none.
    EXPECT_EQ(SplitString(nullptr, ':', 0, l.Out(), r.Out()), S_FALSE);
    EXPECT_EQ(l.get(), nullptr);
    EXPECT_EQ(r.get(), nullptr);
    // A multibyte separator is matched as a whole character.
    ASSERT_EQ(SplitString("a\xC3\xA9"
                          "b",
                          0xC3A9, 0, l.Out(), r.Out()),
              S_OK);
    EXPECT_STREQ(l.get(), "a");
    EXPECT_STREQ(r.get(), "b");
    // ...and a single byte value never matches inside a multibyte character.
    ASSERT_EQ(SplitString("a\xC3\xA9"
                          "b",
                          0xA9, 0, l.Out(), r.Out()),
              S_OK);
    EXPECT_STREQ(l.get(),
                 "a\xC3\xA9"
                 "b");
    EXPECT_EQ(r.get(), nullptr);

    RecordingSink sink;
    EXPECT_EQ(SplitString("a:b", ':', 0, nullptr, r.Out()), zel::codes::kInvalidArg);
    EXPECT_EQ(sink.entries.size(), 1u);
}

TEST_F(StringsTest, EndsWithCharStepsOverWholeCharacters) {
    EXPECT_TRUE(EndsWithChar("/tmp/", '/'));
    EXPECT_FALSE(EndsWithChar("", '/'));
    EXPECT_FALSE(EndsWithChar(nullptr, '/'));
    EXPECT_TRUE(EndsWithChar("x\xE2\x82\xAC", 0xE282AC));
    EXPECT_FALSE(EndsWithChar("x\xE2\x82\xAC", 0xAC));
}

TEST_F(StringsTest, WideAndBstrConversions) {
    CStringHolder s;
    ASSERT_EQ(GetStringFromWSTR(nullptr, s.Out(), false), S_OK);
    ASSERT_NE(s.get(), nullptr);
    EXPECT_STREQ(s.get(), "");
    ASSERT_EQ(GetStringFromWSTR(u" Gr\u00FC\u00DFe \u20AC ", s.Out(), true), S_OK);
    EXPECT_STREQ(s.get(),
                 "Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC");

    zel::CBstr b;
    ASSERT_EQ(GetBSTRFromString(nullptr, b.Out()), S_OK);
    EXPECT_EQ(b.get(), nullptr);
    ASSERT_EQ(GetBSTRFromString("\xE2\x82\xAC"
                                "1",
                                b.Out()),
              S_OK);
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(SysStringLen(b.get()), 2u);  // UTF-16 units, not bytes
    EXPECT_EQ(b.get()[0], u'\u20AC');
    EXPECT_EQ(b.get()[2], 0);
    // Round trip back.
    ASSERT_EQ(GetStringFromWSTR(b.get(), s.Out(), false), S_OK);
    EXPECT_STREQ(s.get(),
                 "\xE2\x82\xAC"
                 "1");

    RecordingSink sink;
    const char16_t lone_surrogate[] = {u'a', 0xD800, u'b', 0};
    ASSERT_EQ(CopyString("keep", &s, false), S_OK);
    EXPECT_EQ(CopyStringFromWSTR(lone_surrogate, &s, false), zel::codes::kWideToMultibyte);
    EXPECT_STREQ(s.get(), "keep");
    EXPECT_EQ(GetBSTRFromString("bad \xFF byte", b.Out()), zel::codes::kMultibyteToWide);
    EXPECT_EQ(b.get(), nullptr);
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[0].id, 146u);
    EXPECT_EQ(sink.entries[1].id, 224u);

    // In the "C" locale text beyond ASCII has no multibyte form.
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(GetStringFromWSTR(u"\u20AC", s.Out(), false), zel::codes::kWideToMultibyte);
    ASSERT_EQ(GetStringFromWSTR(u"plain", s.Out(), false), S_OK);
    EXPECT_STREQ(s.get(), "plain");

    BSTR freed = SysAllocString(u"x");
    EXPECT_EQ(FreeBSTR(&freed), S_OK);
    EXPECT_EQ(freed, nullptr);
}

// A byte stream over a real file, as the content stream will be.
class FileStream : public IByteStream {
  public:
    explicit FileStream(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {}
    HRESULT GetLength(std::int32_t* length) override {
        if (fail_length) return MakeResult(0x802080FC);
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) return MakeResult(0x802080FC);
        *length = static_cast<std::int32_t>(st.st_size);
        return S_OK;
    }
    HRESULT Seek(int origin, std::int32_t offset, std::int32_t* pos) override {
        const int whence = origin == 2 ? SEEK_SET : origin == 3 ? SEEK_END : SEEK_CUR;
        const off_t p = ::lseek(fd_.get(), offset, whence);
        if (p < 0) return MakeResult(0x80208101);
        if (pos != nullptr) *pos = static_cast<std::int32_t>(p);
        return S_OK;
    }
    HRESULT Read(void* buffer, std::int32_t count, std::int32_t* got) override {
        // Hand out small pieces, as a stream may.
        const ssize_t n = ::read(fd_.get(), buffer, count > 5 ? 5 : count);
        if (n < 0) return MakeResult(0x802080FD);
        *got = static_cast<std::int32_t>(n);
        return S_OK;
    }
    bool fail_length = false;

  private:
    zel::fs::UniqueFd fd_;
};

TEST_F(StringsTest, ByteStreamReadsFromTheBeginning) {
    ScratchDir dir;
    WriteFile(dir / "body", "<x>stream text</x>");
    FileStream stream(dir / "body");
    std::int32_t pos = 0;
    ASSERT_EQ(stream.Seek(2, 7, &pos), S_OK);  // left somewhere in the middle
    CStringHolder s;
    ASSERT_EQ(GetStringFromByteStream(&stream, false, s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "<x>stream text</x>");

    // UTF-16LE of "é€" plus one odd trailing byte: the text before it is
    // converted and nothing past the buffer is read.
    WriteFile(dir / "wide", std::string("\xE9\x00\xAC\x20", 4) + "A");
    FileStream wide(dir / "wide");
    ASSERT_EQ(GetStringFromByteStream(&wide, true, s.Out()), S_OK);
    EXPECT_STREQ(s.get(),
                 "\xC3\xA9\xE2\x82\xAC"
                 "A");

    zel::CBstr b;
    ASSERT_EQ(GetBSTRFromByteStream(&stream, false, b.Out()), S_OK);
    EXPECT_EQ(SysStringLen(b.get()), 18u);

    // The stream's own failure comes back unchanged and is not reported again.
    RecordingSink sink;
    stream.fail_length = true;
    EXPECT_EQ(GetStringFromByteStream(&stream, false, s.Out()), MakeResult(0x802080FC));
    EXPECT_EQ(s.get(), nullptr);
    EXPECT_TRUE(sink.entries.empty());
    EXPECT_EQ(GetStringFromByteStream(nullptr, false, s.Out()), zel::codes::kInvalidArg);
}

TEST_F(StringsTest, FilesReadAndWrittenInTextMode) {
    ScratchDir dir;
    const std::string path = dir / "data.txt";
    // Text mode on writing: every LF is stored as CR LF, a CR as it stands.
    ASSERT_EQ(WriteStringToFile(path.c_str(), "a\nb\r\rx\n"), S_OK);
    EXPECT_EQ(ReadFile(path), "a\r\nb\r\rx\r\n");
    WriteFile(path, "line1\r\nline2\r\rx\n");
    CStringHolder s;
    ASSERT_EQ(GetStringDataFromFile(path.c_str(), false, s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "line1\nline2\r\rx\n");
    // What is written comes back as it was given.
    ASSERT_EQ(WriteStringToFile(path.c_str(), "one\ntwo\n"), S_OK);
    ASSERT_EQ(GetStringDataFromFile(path.c_str(), false, s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "one\ntwo\n");

    WriteFile(dir / "empty", "");
    ASSERT_EQ(GetStringDataFromFile((dir / "empty").c_str(), false, s.Out()), S_OK);
    ASSERT_NE(s.get(), nullptr);
    EXPECT_STREQ(s.get(), "");

    // UTF-16LE "a" CR LF "b": the CR goes per character, not per byte.
    WriteFile(dir / "wide", std::string("a\0\r\0\n\0b\0", 8));
    ASSERT_EQ(GetStringDataFromFile((dir / "wide").c_str(), true, s.Out()), S_OK);
    EXPECT_STREQ(s.get(), "a\nb");

    RecordingSink sink;
    EXPECT_EQ(GetStringDataFromFile((dir / "missing").c_str(), false, s.Out()),
              zel::codes::kOpenFile);
    EXPECT_EQ(WriteStringToFile((dir / "no/such/dir").c_str(), "x"), zel::codes::kOpenFile);
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[0].context, "GetStringDataFromFile");
    EXPECT_EQ(sink.entries[0].id, 144u);
    EXPECT_EQ(sink.entries[1].context, "WriteStringToFile");
}

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old, had_ = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST_F(StringsTest, TmpFileNameCreatesAFileInTheTemporaryDirectory) {
    ScratchDir dir;
    {
        ScopedEnv env("TMPDIR", dir.path());
        CStringHolder a;
        CStringHolder b;
        ASSERT_EQ(GetTmpFileName(a.Out()), S_OK);
        ASSERT_EQ(GetTmpFileName(b.Out()), S_OK);
        EXPECT_EQ(std::string(a.get()).rfind(dir / "TMP", 0), 0u);
        EXPECT_STRNE(a.get(), b.get());
        struct stat st {};
        ASSERT_EQ(::stat(a.get(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 0);
    }
    {
        ScopedEnv env("TMPDIR", dir / "missing");
        RecordingSink sink;
        CStringHolder c;
        EXPECT_EQ(GetTmpFileName(c.Out()), zel::codes::kTempFile);
        EXPECT_EQ(c.get(), nullptr);
        ASSERT_EQ(sink.entries.size(), 1u);
        EXPECT_EQ(sink.entries[0].id, 143u);
    }
}

TEST(OneLine, LineBreaksEndTheTextOrBecomeOneBlank) {
    // A status line ends at its first break, whatever kind.
    EXPECT_EQ(OneLine(" Not Found\rFAKE\r\n", LineBreak::kEndsText), "Not Found");
    EXPECT_EQ(OneLine("text/xml\nX: y", LineBreak::kEndsText), "text/xml");
    EXPECT_EQ(OneLine("\r\nlater", LineBreak::kEndsText), "");
    // A free text keeps every word: a run of breaks (CR LF, LF CR, lone
    // ones) is one blank, and a text laid out on lines still says something.
    EXPECT_EQ(OneLine("a\r\nb\n\r\n\rc\rd", LineBreak::kBecomesBlank), "a b c d");
    EXPECT_EQ(OneLine("\n   no files\t\r\n ", LineBreak::kBecomesBlank), "no files");
    EXPECT_EQ(OneLine("tab\tinside  kept", LineBreak::kBecomesBlank), "tab\tinside  kept");
    EXPECT_EQ(OneLine("", LineBreak::kBecomesBlank), "");
}

TEST(SupportMessages, CodesMapToTheirCatalogueEntries) {
    EXPECT_EQ(zel::codes::MessageIdFor(MakeResult(0x8020811B)), 148u);
    EXPECT_EQ(zel::codes::MessageIdFor(MakeResult(0x8020811C)), 147u);
    EXPECT_EQ(zel::codes::MessageIdFor(MakeResult(0x80208118)), 224u);
    EXPECT_EQ(zel::codes::MessageIdFor(MakeResult(0x80201234)), 0u);  // no such code
}

}  // namespace
