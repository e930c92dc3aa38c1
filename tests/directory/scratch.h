// Per-test scratch system root for the directory suites: a fresh mkdtemp
// directory that is QVIS_ROOT and TMPDIR, with the install directory made,
// a debug-mode client log in it as the thread's current log, and small
// helpers for the registry store.  Everything is removed when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "log/event_log.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace zel::test {

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-directory-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ + "/tmp");
        ::setenv("QVIS_ROOT", dir_.c_str(), 1);
        ::setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
        std::filesystem::create_directories(zel::paths::CommDir());
        log_ = std::make_unique<CEventLog>();
        ASSERT_TRUE(log_->Open(LogPath().c_str(), false));
        log_->SetDebugMessages(true);
        SetCurrentLog(log_.get());
    }
    void TearDown() override {
        SetCurrentLog(nullptr);
        log_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ::unsetenv("QVIS_ROOT");
        ::unsetenv("TMPDIR");
    }

    std::string LogPath() const { return dir_ + "/client.log"; }
    std::string CommFile(const std::string& name) const {
        return zel::paths::Join(zel::paths::CommDir(), name);
    }

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

    // Registry helpers below HKEY_LOCAL_MACHINE; they fail the test on error.
    static void SetSz(const std::string& key, const std::string& name, const std::string& data) {
        zel::reg::Key k;
        ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::LocalMachine, key, &k, nullptr), 0);
        ASSERT_EQ(zel::reg::SetString(k, name, data), 0);
    }
    static void SetDw(const std::string& key, const std::string& name, std::uint32_t data) {
        zel::reg::Key k;
        ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::LocalMachine, key, &k, nullptr), 0);
        ASSERT_EQ(zel::reg::SetDword(k, name, data), 0);
    }
    // The value as text ("<missing>" when absent; dwords in decimal).
    static std::string Value(const std::string& key, const std::string& name) {
        zel::reg::Key k;
        if (zel::reg::OpenKey(zel::reg::Hive::LocalMachine, key, &k) != 0) return "<missing>";
        zel::reg::ValueType type;
        if (zel::reg::QueryType(k, name, &type) != 0) return "<missing>";
        if (type == zel::reg::ValueType::Dword) {
            std::uint32_t v = 0;
            if (zel::reg::QueryDword(k, name, &v) != 0) return "<missing>";
            return std::to_string(v);
        }
        std::string s;
        if (zel::reg::QueryString(k, name, &s) != 0) return "<missing>";
        return s;
    }
    static bool KeyExists(const std::string& key) {
        zel::reg::Key k;
        return zel::reg::OpenKey(zel::reg::Hive::LocalMachine, key, &k) == 0;
    }

    std::string dir_;
    std::unique_ptr<CEventLog> log_;
};

inline const std::string kServers = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";
inline const std::string kQueries = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Queries";

}  // namespace zel::test
