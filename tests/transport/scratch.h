// Per-test scratch directory for the transport suites: a fresh mkdtemp
// directory that is also the system root (QVIS_ROOT) and the temporary
// directory (TMPDIR), removed with its content when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zel::test {

class ScratchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-transport-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ + "/tmp");
        ::setenv("QVIS_ROOT", dir_.c_str(), 1);
        ::setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ::unsetenv("QVIS_ROOT");
        ::unsetenv("TMPDIR");
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    static void WriteFile(const std::string& path, const std::string& data) {
        std::ofstream f(path, std::ios::binary);
        f << data;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    std::string dir_;
};

}  // namespace zel::test
