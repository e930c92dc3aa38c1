// Seeding the registry store of the scratch system root with what a program
// or component under test reads: single values, and a cached server
// directory.  Header-only; every function fails the calling test on error.
// SeedServerDirectory needs the directory and log libraries linked.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "directory/server_directory.h"
#include "log/event_log.h"
#include "platform/registry.h"

namespace zel::test {

// Creates the key (and every key above it) when missing and stores the
// value under name ("" for the key's default value).
inline void SeedValue(const std::string& key, const std::string& name, const std::string& value,
                      reg::Hive hive = reg::Hive::LocalMachine) {
    reg::Key k;
    ASSERT_EQ(reg::CreateKey(hive, key, &k, nullptr), reg::kSuccess) << key;
    ASSERT_EQ(reg::SetString(k, name, value), reg::kSuccess) << key << " " << name;
}
inline void SeedValue(const std::string& key, const std::string& name, std::uint32_t value,
                      reg::Hive hive = reg::Hive::LocalMachine) {
    reg::Key k;
    ASSERT_EQ(reg::CreateKey(hive, key, &k, nullptr), reg::kSuccess) << key;
    ASSERT_EQ(reg::SetDword(k, name, value), reg::kSuccess) << key << " " << name;
}

// A fresh cached server directory, so that the component goes straight to
// a loopback server without a directory refresh: server POLL at
// 127.0.0.1:port (secure or not), updated now, and the four operations at
// location_base + name.
inline void SeedServerDirectory(int port, bool secure, const std::string& location_base) {
    CEventLog log;
    CQVReg reg(&log);
    CQVReg::CServerInfo server(&log);
    std::int32_t i = 0;
    ASSERT_EQ(server.SetName("POLL"), S_OK);
    ASSERT_EQ(server.AddServerProperties("001", &i), S_OK);
    ASSERT_EQ(server.SetIPAddress(i, "127.0.0.1"), S_OK);
    ASSERT_EQ(server.SetPort(i, port), S_OK);
    ASSERT_EQ(server.SetSecurePort(i, port), S_OK);
    ASSERT_EQ(server.SetSSLRequired(i, secure ? 1 : 0), S_OK);
    ASSERT_EQ(reg.UpdateRegistry(&server), S_OK);
    ASSERT_EQ(reg.UpdateLastTimeUpdateRegEntry("POLL", "001",
                                               static_cast<std::uint32_t>(std::time(nullptr))),
              S_OK);
    for (const char* name : {"GetFileListFromQuvaro", "GetFileFromQuvaro", "PutFileFromDealer",
                             "PostProcessQuvaroFile"}) {
        CQVReg::CQueryInfo query(&log);
        ASSERT_EQ(query.SetName(name), S_OK);
        ASSERT_EQ(query.AddQueryProperties("001", &i), S_OK);
        ASSERT_EQ(query.SetQueryLocation(i, (location_base + name).c_str()), S_OK);
        ASSERT_EQ(query.SetSSLRequired(i, secure ? 1 : 0), S_OK);
        ASSERT_EQ(reg.UpdateRegistry(&query), S_OK);
    }
}

}  // namespace zel::test
