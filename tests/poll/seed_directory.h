// The poll suites' own helper: a fresh cached server directory in the
// registry of the scratch system root, so that the component goes straight
// to a loopback server without a directory refresh.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "directory/server_directory.h"
#include "log/event_log.h"

namespace zel::test::poll {

// Server POLL at 127.0.0.1:port (secure or not), updated now, and the four
// operations at location_base + name.  Fails the calling test on any error.
inline void SeedDirectory(int port, bool secure, const std::string& location_base) {
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

}  // namespace zel::test::poll
