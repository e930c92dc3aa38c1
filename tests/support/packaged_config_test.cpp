// The ferrun.conf that the Debian package and the Windows installer ship:
// every key is shown commented with its default.  The lookups search the
// whole file as plain text, comments included, so the shipped file must
// read as the defaults (a commented "key=" or a key named in a comment
// above its line would be found instead), and removing the "#" of one
// key's line must make that line's value the one read.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/config.h"
#include "tests/common/scratch.h"

namespace {

struct ShownKey {
    std::string key;
    std::string value;  // as shown; empty for a text key shown without "="
    std::size_t line;
    bool number;
};

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

class PackagedConfig : public zel::test::ScratchRoot {
  protected:
    int Number(const std::string& text, const std::string& key, int fallback) {
        zel::test::WriteFile(ConfigFilePath(), text);
        int value = fallback;
        ReadConfigNumber(ConfigFilePath().c_str(), key.c_str(), &value);
        return value;
    }
    std::string Text(const std::string& text, const std::string& key, const char* fallback) {
        zel::test::WriteFile(ConfigFilePath(), text);
        char buffer[kConfigTextMax + 1];
        std::snprintf(buffer, sizeof buffer, "%s", fallback);
        ReadConfigText(ConfigFilePath().c_str(), key.c_str(), buffer);
        return buffer;
    }
};

TEST_F(PackagedConfig, ReadsAsDefaultsAndEachKeyTakesEffectOnceUncommented) {
    const std::vector<std::string> lines = Lines(ZEL_PACKAGED_CONF);
    ASSERT_FALSE(lines.empty()) << ZEL_PACKAGED_CONF;
    const std::regex shown("#([a-z_]+)(=(.*))?");
    std::vector<ShownKey> keys;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (!std::regex_match(lines[i], m, shown)) continue;
        const std::string value = m[3].str();
        const bool number =
            !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
        // A text key must be shown without "=": "#key=" reads as an empty value.
        EXPECT_TRUE(number || !m[2].matched) << "line " << i + 1 << ": " << lines[i];
        keys.push_back({m[1].str(), value, i, number});
    }
    // Every key a program reads.
    for (const char* key :
         {"compression", "read_timeout", "write_timeout", "guard_count", "guard_timeout",
          "connect_timeout", "idle_timeout", "min_speed", "request_deadline", "uplock_minutes",
          "downlock_minutes", "proclock_minutes", "dumpmsg", "poll_contract"}) {
        bool found = false;
        for (const ShownKey& k : keys) found = found || k.key == key;
        EXPECT_TRUE(found) << key << " is not shown";
    }

    const std::string shipped = Joined(lines);
    for (const ShownKey& k : keys) {
        std::vector<std::string> edited = lines;
        if (k.number) {
            const int shown_value = std::stoi(k.value);
            const int sentinel = shown_value + 1000;
            const int as_shipped = Number(shipped, k.key, sentinel);
            EXPECT_TRUE(as_shipped == sentinel || as_shipped == shown_value)
                << k.key << " reads as " << as_shipped << " from the shipped file";
            const int set = shown_value + 7;
            edited[k.line] = k.key + "=" + std::to_string(set);
            EXPECT_EQ(Number(Joined(edited), k.key, sentinel), set) << k.key << " uncommented";
        } else {
            EXPECT_EQ(Text(shipped, k.key, "CONTROL'S"), "CONTROL'S") << k.key;
            edited[k.line] = k.key + "=DLR99";
            EXPECT_EQ(Text(Joined(edited), k.key, "CONTROL'S"), "DLR99") << k.key << " uncommented";
        }
    }
}

}  // namespace
