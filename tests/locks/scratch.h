// Test scaffolding shared by the lock, guard, configuration and event log
// tests: a fresh scratch directory per test that stands for the system root,
// file helpers, and the path of a helper program that plays another process.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/paths.h"

namespace zeltest {

class ScratchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zel-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ASSERT_EQ(::setenv("QVIS_ROOT", dir_.c_str(), 1), 0);
        std::filesystem::create_directories(zel::paths::CommDir());
    }
    void TearDown() override {
        ::unsetenv("QVIS_ROOT");
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string CommPath(const std::string& name) const {
        return zel::paths::CommDir() + "/" + name;
    }

    std::string dir_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Sets the file's modification time seconds_ago seconds into the past.
inline void Age(const std::string& path, long seconds_ago) {
    struct timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= seconds_ago;
    times[1] = times[0];
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

inline long AgeOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long>(::time(nullptr) - st.st_mtime);
}

// A program built in the test tree, such as "tests/locks/locks_helper".
inline std::string HelperPath(const std::string& relative) {
    const char* build = std::getenv("ZEL_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/" + relative;
}

}  // namespace zeltest
