// Per-test scratch system root for the directory suites: the shared scratch
// root (QVIS_ROOT and TMPDIR, install directory made), a debug-mode client
// log in it as the thread's current log, and small helpers for the registry
// store.  Everything is removed when the test ends.
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
#include "tests/common/registry_seed.h"
#include "tests/common/scratch.h"

namespace zel::test::directory {

inline const std::string kServers = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";
inline const std::string kQueries = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Queries";

class DirectoryTest : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        if (HasFatalFailure()) return;
        // The registry of a scratch root starts empty; on Windows it is the
        // machine's (the wine prefix's) one, so the cached records of the
        // case before are taken away.
        ForgetCachedDirectory();
        log_ = std::make_unique<CEventLog>();
        ASSERT_TRUE(log_->Open(LogPath().c_str(), false));
        log_->SetDebugMessages(true);
        SetCurrentLog(log_.get());
    }
    void TearDown() override {
        SetCurrentLog(nullptr);
        log_.reset();
        ForgetCachedDirectory();
    }

    static void ForgetCachedDirectory() {
        for (const std::string& key : {kServers, kQueries}) {
            const zel::reg::Status st = zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, key);
            EXPECT_TRUE(st == zel::reg::kSuccess || st == zel::reg::kNotFound) << key << " " << st;
        }
    }

    std::string LogPath() const { return dir_ + "/client.log"; }
    std::string CommFile(const std::string& name) const { return CommPath(name); }

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

    std::unique_ptr<CEventLog> log_;
};

}  // namespace zel::test::directory
