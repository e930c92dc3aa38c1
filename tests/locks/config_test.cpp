// ferrun.conf lookups: defaults kept on every kind of missing or unusable
// value, and the plain-text search with its known quirks.
#include "support/config.h"

#include <climits>
#include <cstring>

#include "scratch.h"

namespace {

using locktest::ScratchTest;
using locktest::WriteFile;

class ConfigTest : public ScratchTest {
  protected:
    int Number(const std::string& content, const char* key, int fallback) {
        WriteFile(conf_, content);
        int value = fallback;
        ReadConfigNumber(conf_.c_str(), key, &value);
        return value;
    }
    std::string Text(const std::string& content, const char* key, const char* fallback) {
        WriteFile(conf_, content);
        char buffer[kConfigTextMax + 1];
        std::strcpy(buffer, fallback);
        ReadConfigText(conf_.c_str(), key, buffer);
        return buffer;
    }
    void SetUp() override {
        ScratchTest::SetUp();
        conf_ = ConfigFilePath();
    }
    std::string conf_;
};

TEST_F(ConfigTest, FileLivesInTheInstallDirectory) {
    EXPECT_EQ(ConfigFilePath(), zel::paths::CommDir() + "/ferrun.conf");
}

TEST_F(ConfigTest, MissingOrEmptyFileKeepsDefaults) {
    int value = 6;
    ReadConfigNumber(conf_.c_str(), "compression", &value);
    EXPECT_EQ(value, 6);
    char buffer[kConfigTextMax + 1] = "DEFAULT";
    ReadConfigText(conf_.c_str(), "poll_contract", buffer);
    EXPECT_STREQ(buffer, "DEFAULT");

    EXPECT_EQ(Number("", "compression", 6), 6);
    EXPECT_EQ(Text("", "poll_contract", "DEFAULT"), "DEFAULT");
}

TEST_F(ConfigTest, NumberValues) {
    EXPECT_EQ(Number("compression=9\n", "compression", 6), 9);
    EXPECT_EQ(Number("a=1\r\ncompression=0\r\n", "compression", 6), 0);
    // Trailing text after the digits is ignored.
    EXPECT_EQ(Number("write_timeout=1999ms\n", "write_timeout", 330000), 1999);
    // A negative value keeps the default.
    EXPECT_EQ(Number("guard_count=-2\n", "guard_count", 3), 3);
    // A blank after "=" is skipped by the conversion ...
    EXPECT_EQ(Number("compression= 4\n", "compression", 6), 4);
    // ... a blank before it is the skipped character, and "=" stops the
    // conversion at once: the value reads as 0.
    EXPECT_EQ(Number("compression =4\n", "compression", 6), 0);
    // No digits at all read as 0.
    EXPECT_EQ(Number("dumpmsg=yes\n", "dumpmsg", 7), 0);
    // Absent key.
    EXPECT_EQ(Number("compression=9\n", "guard_count", 3), 3);
    // A value beyond the integer range saturates instead of wrapping.
    EXPECT_EQ(Number("read_timeout=99999999999999999999\n", "read_timeout", 1), INT_MAX);
}

TEST_F(ConfigTest, NumberOnTheLastLineNeedsItsLineFeed) {
    EXPECT_EQ(Number("dumpmsg=1\ncompression=9", "compression", 6), 6);
    EXPECT_EQ(Number("dumpmsg=1\ncompression=9", "dumpmsg", 0), 1);
    // The key as the very last bytes of the file: nothing after it to skip.
    EXPECT_EQ(Number("compression", "compression", 6), 6);
    EXPECT_EQ(Number("compression=", "compression", 6), 6);
}

TEST_F(ConfigTest, KeyIsFoundWhereverItsTextFirstAppears) {
    // Inside a longer word first: read from there.
    EXPECT_EQ(Number("nocompression=2\ncompression=9\n", "compression", 6), 2);
    // Case matters.
    EXPECT_EQ(Number("COMPRESSION=2\ncompression=9\n", "compression", 6), 9);
}

TEST_F(ConfigTest, TextValues) {
    EXPECT_EQ(Text("poll_contract=ABC123\n", "poll_contract", ""), "ABC123");
    // Untrimmed, up to CR or LF.
    EXPECT_EQ(Text("poll_contract= A B \r\nx=1\n", "poll_contract", ""), " A B ");
    // The last line without a line break is read.
    EXPECT_EQ(Text("x=1\npoll_contract=Z9", "poll_contract", ""), "Z9");
    // An empty value replaces the default.
    EXPECT_EQ(Text("poll_contract=\n", "poll_contract", "OLD"), "");
    // The key must be followed directly by "=".
    EXPECT_EQ(Text("poll_contract ABC\npoll_contract=XYZ\n", "poll_contract", ""), "XYZ");
    EXPECT_EQ(Text("poll_contract =ABC\n", "poll_contract", "OLD"), "OLD");
}

TEST_F(ConfigTest, TextLongerThanTheBufferIsRefused) {
    const std::string fits(kConfigTextMax, 'a');
    EXPECT_EQ(Text("poll_contract=" + fits + "\n", "poll_contract", "OLD"), fits);
    EXPECT_EQ(Text("poll_contract=" + fits + "b\n", "poll_contract", "OLD"), "OLD");
}

TEST_F(ConfigTest, EveryLookupReadsTheFileAfresh) {
    EXPECT_EQ(Number("compression=1\n", "compression", 6), 1);
    EXPECT_EQ(Number("compression=8\n", "compression", 6), 8);
}

TEST_F(ConfigTest, MissingArgumentsChangeNothing) {
    WriteFile(conf_, "compression=9\n");
    int value = 6;
    ReadConfigNumber(nullptr, "compression", &value);
    ReadConfigNumber(conf_.c_str(), nullptr, &value);
    ReadConfigNumber(conf_.c_str(), "", &value);
    ReadConfigNumber(conf_.c_str(), "compression", nullptr);
    EXPECT_EQ(value, 6);
}

}  // namespace
