// What else makes a name reach beyond one entry of a directory on Windows:
// the other separator, drive and stream marks, device names (with any
// extension), names the system would shorten, and characters it refuses.
#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"

namespace {

namespace fs = zel::fs;

TEST(WindowsNames, OnlyAPlainNameIsOneEntry) {
    for (const std::string name : {"..\\up", "a\\b", "C:evil", "file.txt:stream", "nul", "NUL.txt",
                                   "con", "Com1", "lpt9.log", "aux .txt", "name.", "name ", "a|b",
                                   "a?b", "a*b", "a<b", "a>b", "a\"b", "a\tb"})
        EXPECT_FALSE(fs::IsEntryName(name)) << name;
    // Names that only begin like a device are plain names.
    for (const std::string name : {"console.txt", "nullable", "com10", "lpt", "PARTS.DAT"})
        EXPECT_TRUE(fs::IsEntryName(name)) << name;
}

}  // namespace
