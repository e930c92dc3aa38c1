// ferrun.conf lookups: defaults kept on every kind of missing or unusable
// value, and the plain-text search with its known quirks.
#include "support/config.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "tests/common/scratch.h"

namespace {

class ConfigTest : public zel::test::ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        conf_ = ConfigFilePath();
    }
    int Number(const std::string& content, const char* key, int fallback) {
        zel::test::WriteFile(conf_, content);
        int value = fallback;
        ReadConfigNumber(conf_.c_str(), key, &value);
        return value;
    }
    std::string Text(const std::string& content, const char* key, const char* fallback) {
        zel::test::WriteFile(conf_, content);
        char buffer[kConfigTextMax + 1];
        std::snprintf(buffer, sizeof buffer, "%s", fallback);
        ReadConfigText(conf_.c_str(), key, buffer);
        return buffer;
    }
    std::string conf_;
};

TEST_F(ConfigTest, MissingFileKeepsDefaults) {
    EXPECT_EQ(conf_, zel::paths::CommDir() + "/ferrun.conf");
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
    const struct {
        const char* content;
        const char* key;
        int fallback;
        int expected;
    } cases[] = {
        {"compression=9\n", "compression", 6, 9},
        {"a=1\r\ncompression=0\r\n", "compression", 6, 0},
        {"write_timeout=1999ms\n", "write_timeout", 330000, 1999},  // trailing text ignored
        {"guard_count=-2\n", "guard_count", 3, 3},                  // negative: default
        {"compression= 4\n", "compression", 6, 4},                  // blank after "=" skipped
        {"compression =4\n", "compression", 6, 0},          // blank before: "=" stops the digits
        {"dumpmsg=yes\n", "dumpmsg", 7, 0},                 // no digits read as 0
        {"compression=9\n", "guard_count", 3, 3},           // absent key
        {"dumpmsg=1\ncompression=9", "compression", 6, 6},  // last line without line feed
        {"compression", "compression", 6, 6},               // nothing after the key at all
        {"compression=", "compression", 6, 6},
        {"nocompression=2\ncompression=9\n", "compression", 6, 2},            // found inside a word
        {"COMPRESSION=2\ncompression=9\n", "compression", 6, 9},              // case matters
        {"read_timeout=99999999999999999999\n", "read_timeout", 1, INT_MAX},  // saturates
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Number(c.content, c.key, c.fallback), c.expected) << c.content;
    }
}

TEST_F(ConfigTest, TextValues) {
    EXPECT_EQ(Text("poll_contract=ABC123\n", "poll_contract", ""), "ABC123");
    // Untrimmed, up to CR or LF, or to the end of the file.
    EXPECT_EQ(Text("poll_contract= A B \r\nx=1\n", "poll_contract", ""), " A B ");
    EXPECT_EQ(Text("x=1\npoll_contract=Z9", "poll_contract", ""), "Z9");
    EXPECT_EQ(Text("poll_contract=\n", "poll_contract", "OLD"), "");
    // The key must be followed directly by "=".
    EXPECT_EQ(Text("poll_contract ABC\npoll_contract=XYZ\n", "poll_contract", ""), "XYZ");
    EXPECT_EQ(Text("poll_contract =ABC\n", "poll_contract", "OLD"), "OLD");
    // At most 67 characters; a longer value is refused.
    const std::string fits(kConfigTextMax, 'a');
    EXPECT_EQ(Text("poll_contract=" + fits + "\n", "poll_contract", "OLD"), fits);
    EXPECT_EQ(Text("poll_contract=" + fits + "b\n", "poll_contract", "OLD"), "OLD");
}

TEST_F(ConfigTest, SeveralNumbersFromOneReadingAsEachAlone) {
    const std::string content = "idle_timeout=30\nconnect_timeout=-4\nx_connect_timeout=9\n";
    int connect = 60, idle = 300, missing = 5;
    zel::test::WriteFile(conf_, content);
    ReadConfigNumbers(conf_.c_str(),
                      {{"connect_timeout", &connect}, {"idle_timeout", &idle}, {"none", &missing}});
    EXPECT_EQ(connect, Number(content, "connect_timeout", 60));  // -4 ignored: 60 stays
    EXPECT_EQ(connect, 60);
    EXPECT_EQ(idle, 30);
    EXPECT_EQ(missing, 5);
}

TEST_F(ConfigTest, EveryLookupReadsTheFileAfresh) {
    EXPECT_EQ(Number("compression=1\n", "compression", 6), 1);
    EXPECT_EQ(Number("compression=8\n", "compression", 6), 8);
}

}  // namespace
