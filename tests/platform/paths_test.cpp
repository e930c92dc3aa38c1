// System root mapping.
#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

class RootEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = getenv("QVIS_ROOT");
        had_ = old != nullptr;
        if (had_) old_ = old;
    }
    void TearDown() override {
        if (had_)
            setenv("QVIS_ROOT", old_.c_str(), 1);
        else
            unsetenv("QVIS_ROOT");
    }
    bool had_ = false;
    std::string old_;
};

TEST_F(RootEnv, DefaultAndOverride) {
    unsetenv("QVIS_ROOT");
    EXPECT_EQ(zel::paths::Root(), ZEL_TEST_DEFAULT_ROOT);
    setenv("QVIS_ROOT", "", 1);
    EXPECT_EQ(zel::paths::Root(), ZEL_TEST_DEFAULT_ROOT);
    setenv("QVIS_ROOT", "/tmp/x//", 1);
    EXPECT_EQ(zel::paths::Root(), "/tmp/x");
    EXPECT_EQ(zel::paths::CommDir(), "/tmp/x/Apps/QVIS/PROG/COMM");
    EXPECT_EQ(zel::paths::DownloadDir(), "/tmp/x/Apps/QVIS/PROG/COMM/DOWNLOAD");
    EXPECT_EQ(zel::paths::PubDir(), "/tmp/x/Apps/QVIS/home/anon_ftp/pub");
    EXPECT_EQ(zel::paths::JobLogFile(), "/tmp/x/qvzel.log");
    EXPECT_EQ(zel::paths::RegistryFile(), "/tmp/x/registry.db");
    setenv("QVIS_ROOT", "/", 1);
    EXPECT_EQ(zel::paths::ResponseFile(), "/response.txt");
}

// Whether a path depends on the current directory, as the system reads it:
// a Windows path with a drive is absolute there, and a relative one on
// Linux.
TEST(PathsIsAbsolute, AsTheSystemReadsIt) {
    EXPECT_TRUE(zel::paths::IsAbsolute("/tmp/x"));
    EXPECT_FALSE(zel::paths::IsAbsolute(""));
    EXPECT_FALSE(zel::paths::IsAbsolute("CMN"));
    EXPECT_FALSE(zel::paths::IsAbsolute("./CMN"));
    // The system whose root is a drive reads drives and backslashes.
    const bool drive = std::string(ZEL_TEST_DEFAULT_ROOT) == "C:";
    EXPECT_EQ(zel::paths::IsAbsolute("C:/Apps/QVIS"), drive);
    EXPECT_EQ(zel::paths::IsAbsolute("Z:\\tmp\\CMN"), drive);
    EXPECT_EQ(zel::paths::IsAbsolute("\\\\server\\share"), drive);
    if (drive) {
        EXPECT_FALSE(zel::paths::IsAbsolute("C:relative"));
        EXPECT_FALSE(zel::paths::IsAbsolute("C:"));
    }
}

TEST(PathsJoin, SingleSeparator) {
    EXPECT_EQ(zel::paths::Join("a", "b"), "a/b");
    EXPECT_EQ(zel::paths::Join("a/", "b"), "a/b");
    EXPECT_EQ(zel::paths::Join("", "b"), "b");
}

}  // namespace
