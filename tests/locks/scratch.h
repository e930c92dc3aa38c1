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
#include "tests/common/scratch.h"

namespace zeltest {

class ScratchTest : public zel::test::ScratchRoot {};
using zel::test::ReadFile;
using zel::test::WriteFile;

inline bool Exists(const std::string& path) {
    return zel::test::FileExists(path);
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
    return zel::test::BuildPath(relative);
}

}  // namespace zeltest
