// Server and query records against the real registry store: loading with
// defaults and limits, writing back key by key, and the version rules.
#include <cstdint>
#include <string>

#include "directory/server_directory.h"
#include "log/report.h"
#include "tests/directory/directory_fixture.h"

namespace {

using zel::test::SeedValue;
using zel::test::directory::kQueries;
using zel::test::directory::kServers;
namespace codes = zel::codes;

class RecordsTest : public zel::test::directory::DirectoryTest {};

std::string Text(char* owned) {
    CStringHolder h(owned);
    return h.c_str();
}

TEST_F(RecordsTest, LoadsServerVersionsWithTheirDefaults) {
    // Key of its own without QueryVersion: one version "001"; Port 0 reads as
    // 80, a missing SecurePort as 443.
    SeedValue(kServers + "\\POLL", "IPAddress", " 10.0.0.1 ");
    SeedValue(kServers + "\\POLL", "Port", 0);
    SeedValue(kServers + "\\POLL", "SSLRequired", "y");
    SeedValue(kServers + "\\POLL", "SSLPublic", "yes");
    SeedValue(kServers + "\\POLL", "LastUpdatedTime", 12345);
    // A sub-key holds one more version.
    SeedValue(kServers + "\\POLL\\002", "IPAddress", "10.0.0.2");
    SeedValue(kServers + "\\POLL\\002", "Port", 8080);
    SeedValue(kServers + "\\POLL\\002", "SecurePort", 8443);
    SeedValue(kServers + "\\POLL\\002", "SSLRequired", "1");
    SeedValue(kServers + "\\POLL\\002", "SSLPublic", "N");
    SeedValue(kServers + "\\POLL\\002", "Proxy", 7);

    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    CQVReg::CServerInfo* info = nullptr;
    ASSERT_EQ(reg.GetServerInfoByName("poll", false, &info), S_OK);
    std::int32_t count = 0, index = -1, value = -1;
    ASSERT_EQ(info->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2);

    ASSERT_EQ(info->FindByVersion("001", &index), S_OK);
    char* text = nullptr;
    ASSERT_EQ(info->GetIPAddress(index, &text), S_OK);
    EXPECT_EQ(Text(text), "10.0.0.1");  // trimmed copy
    ASSERT_EQ(info->GetPort(index, &value), S_OK);
    EXPECT_EQ(value, 80);
    ASSERT_EQ(info->GetSecurePort(index, &value), S_OK);
    EXPECT_EQ(value, 443);
    ASSERT_EQ(info->GetSSLRequired(index, &value), S_OK);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(info->GetSSLPublic(index, &value), S_OK);
    EXPECT_EQ(value, 0);  // "yes" is not a true flag
    std::uint32_t time = 0;
    ASSERT_EQ(info->GetLastUpdatedTime(index, &time), S_OK);
    EXPECT_EQ(time, 12345u);
    ASSERT_EQ(info->GetSystemInfoLocation(index, &text), S_OK);
    EXPECT_EQ(text, nullptr);

    ASSERT_EQ(info->FindByVersion("002", &index), S_OK);
    ASSERT_EQ(info->GetPort(index, &value), S_OK);
    EXPECT_EQ(value, 8080);
    ASSERT_EQ(info->GetSecurePort(index, &value), S_OK);
    EXPECT_EQ(value, 8443);
    ASSERT_EQ(info->GetUsingProxy(index, &value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(info->FindByVersion("003", &index), codes::kServerVersionNotFound);
    // Integer getters refuse a missing out argument.
    EXPECT_EQ(info->GetPort(index, nullptr), codes::kInvalidArg);
}

TEST_F(RecordsTest, FlagTextsReadAsTrueOnlyForOneAndY) {
    const struct {
        const char* text;
        std::int32_t expected;
    } cases[] = {{"Y", 1}, {"y", 1}, {"1", 1}, {"N", 0}, {"0", 0}, {"yes", 0}, {"", 0}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string key = kQueries + "\\Q" + std::to_string(n++);
        SeedValue(key, "QueryLocation", "/q");
        SeedValue(key, "SSLRequired", c.text);
        SeedValue(key, "SSLPublic", c.text);
    }
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    n = 0;
    for (const auto& c : cases) {
        CQVReg::CQueryInfo* info = nullptr;
        ASSERT_EQ(reg.GetQueryInfoByName(("Q" + std::to_string(n++)).c_str(), true, &info), S_OK);
        std::int32_t required = -1, pub = -1;
        ASSERT_EQ(info->GetSSLRequired(0, &required), S_OK);
        ASSERT_EQ(info->GetSSLPublic(0, &pub), S_OK);
        EXPECT_EQ(required, c.expected) << "'" << c.text << "'";
        EXPECT_EQ(pub, c.expected) << "'" << c.text << "'";
    }
}

TEST_F(RecordsTest, MissingRequiredValuesStopTheLoading) {
    SeedValue(kQueries + "\\A", "QueryLocation", "/a");
    SeedValue(kQueries + "\\A", "SSLRequired", "N");
    SeedValue(kQueries + "\\A", "SSLPublic", "N");
    SeedValue(kQueries + "\\B", "QueryLocation", "/b");
    SeedValue(kQueries + "\\B", "SSLRequired", "N");  // no SSLPublic
    SeedValue(kQueries + "\\C", "QueryLocation", "/c");
    SeedValue(kQueries + "\\C", "SSLRequired", "N");
    SeedValue(kQueries + "\\C", "SSLPublic", "N");
    CQVReg reg(log_.get());
    EXPECT_EQ(reg.LoadInfoFromReg(), codes::kNoSSLPublic);
    // What was loaded before the bad key stays; nothing after it is read.
    EXPECT_EQ(reg.GetQueryInfoCount(), 1);
    CQVReg::CQueryInfo* info = nullptr;
    EXPECT_EQ(reg.GetQueryInfoByName("A", false, &info), S_OK);

    // A server key without IPAddress fails with its own status and the
    // queries are then not read at all.
    SeedValue(kServers + "\\POLL", "SSLRequired", "N");
    EXPECT_EQ(reg.LoadInfoFromReg(), codes::kNoIPAddress);
    EXPECT_EQ(reg.GetServerInfoCount(), 0);
    EXPECT_EQ(reg.GetQueryInfoCount(), 0);
    // The failure is in the client log with its catalogue text.
    EXPECT_NE(ReadFile(LogPath()).find("Registry error"), std::string::npos);
}

TEST_F(RecordsTest, NoCacheLoadsNothingAndSucceeds) {
    CQVReg reg(log_.get());
    EXPECT_TRUE(KeyExists("SOFTWARE\\Quvaro Information Systems\\QVDataAccess"));
    EXPECT_EQ(reg.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(reg.GetServerInfoCount(), 0);
    CQVReg::CServerInfo* info = reinterpret_cast<CQVReg::CServerInfo*>(1);
    EXPECT_EQ(reg.GetServerInfoByName("POLL", false, &info), codes::kServerInfoNotFound);
    EXPECT_EQ(info, nullptr);
}

TEST_F(RecordsTest, LimitListsFilterLoadingAndLoadedInfos) {
    SeedValue(kServers + "\\POLL", "IPAddress", "a");
    SeedValue(kServers + "\\SERVER", "IPAddress", "b");
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(reg.GetServerInfoCount(), 2);

    // An empty list removes nothing (and says so in the log).
    const char* none[] = {nullptr, "  "};
    ASSERT_EQ(reg.SetLimitServerInfoNames(none, 2), S_OK);
    EXPECT_EQ(reg.GetServerInfoCount(), 2);
    EXPECT_NE(ReadFile(LogPath()).find("LimitServerInfoNamesList is Empty"), std::string::npos);

    const char* poll[] = {" poll "};
    ASSERT_EQ(reg.SetLimitServerInfoNames(poll, 1), S_OK);
    EXPECT_EQ(reg.GetServerInfoCount(), 1);
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    ASSERT_EQ(reg.GetServerInfoCount(), 1);
    EXPECT_STREQ(reg.GetServerInfoAt(0)->Name(), "POLL");

    EXPECT_EQ(reg.SetLimitQueryInfoNames(poll, -1), codes::kInvalidArg);
    EXPECT_EQ(reg.SetInterfaceNames(nullptr, 5), S_OK);
    EXPECT_EQ(reg.InterfaceNames().Count(), 0);
}

TEST_F(RecordsTest, VersionsAndNames) {
    CQVReg::CServerInfo info(log_.get());
    std::int32_t first = -1, again = -1, other = -1;
    ASSERT_EQ(info.AddServerProperties(" 001 ", &first), S_OK);
    ASSERT_EQ(info.AddServerProperties("001", &again), S_OK);
    EXPECT_EQ(first, again);
    ASSERT_EQ(info.AddServerProperties("abc", &other), S_OK);
    EXPECT_EQ(info.FindByVersion("ABC", &again), S_OK);
    EXPECT_EQ(again, other);
    EXPECT_EQ(info.AddServerProperties("  ", &other), codes::kInvalidArg);
    EXPECT_EQ(info.AddServerProperties(nullptr, &other), codes::kInvalidArg);
    std::int32_t port = 0;
    EXPECT_EQ(info.GetPort(first, &port), S_OK);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(info.GetSecurePort(first, &port), S_OK);
    EXPECT_EQ(port, 443);
    EXPECT_EQ(info.GetPort(5, &port), codes::kInvalidArg);
    EXPECT_EQ(info.SetSSLRequired(first, 42), S_OK);
    std::int32_t flag = 0;
    EXPECT_EQ(info.GetSSLRequired(first, &flag), S_OK);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(info.Remove(other), S_OK);
    std::int32_t count = 0;
    EXPECT_EQ(info.GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);

    EXPECT_FALSE(info.IsName("POLL", false));  // nameless
    ASSERT_EQ(info.SetName(" Poll "), S_OK);
    EXPECT_TRUE(info.IsName("POLL", false));
    EXPECT_TRUE(info.IsName("POLL", true));  // the flag never changes the outcome
    EXPECT_FALSE(info.IsName(nullptr, false));
    EXPECT_FALSE(info.IsName("POLLX", false));

    CQVReg::CQueryInfo query(log_.get());
    ASSERT_EQ(query.AddQueryProperties("001", &first), S_OK);
    std::int32_t value = -1;
    EXPECT_EQ(query.GetTimeInterval(first, &value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(query.FindByVersion("002", &value), codes::kQueryVersionNotFound);
}

TEST_F(RecordsTest, RemovedVersionsAndInfosLeaveTheRestIntact) {
    // The lists free what they drop; the survivors must stay whole and in
    // order (a wrong record freed would show as a use after free under the
    // sanitizers, a forgotten one as a leak).
    CQVReg::CQueryInfo query(log_.get());
    std::int32_t at = -1;
    for (const char* v : {"001", "002", "003"}) {
        ASSERT_EQ(query.AddQueryProperties(v, &at), S_OK);
        ASSERT_EQ(query.SetQueryLocation(at, v), S_OK);
    }
    ASSERT_EQ(query.Remove(1), S_OK);
    char* text = nullptr;
    ASSERT_EQ(query.GetQueryLocation(1, &text), S_OK);
    EXPECT_EQ(Text(text), "003");
    EXPECT_EQ(query.Remove(2), codes::kInvalidArg);
    std::int32_t count = 0;
    ASSERT_EQ(query.GetCount(&count), S_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(query.RemoveAll(), S_OK);
    ASSERT_EQ(query.GetCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(query.AddQueryProperties("002", &at), S_OK);
    EXPECT_EQ(at, 0);

    // Limiting drops the infos in the middle and at the ends alike.
    for (const char* name : {"A", "B", "C", "D"})
        SeedValue(kServers + "\\" + name, "IPAddress", name);
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    ASSERT_EQ(reg.GetServerInfoCount(), 4);
    const char* keep[] = {"b", "d"};
    ASSERT_EQ(reg.SetLimitServerInfoNames(keep, 2), S_OK);
    ASSERT_EQ(reg.GetServerInfoCount(), 2);
    EXPECT_STREQ(reg.GetServerInfoAt(0)->Name(), "B");
    EXPECT_STREQ(reg.GetServerInfoAt(1)->Name(), "D");
    EXPECT_EQ(reg.GetServerInfoAt(2), nullptr);
    // Refilling a name list frees the previous texts.
    const char* names[] = {" x ", "y"};
    ASSERT_EQ(reg.SetInterfaceNames(names, 2), S_OK);
    ASSERT_EQ(reg.SetInterfaceNames(names, 1), S_OK);
    ASSERT_EQ(reg.InterfaceNames().Count(), 1);
    EXPECT_STREQ(reg.InterfaceNames().At(0), "x");
    EXPECT_EQ(reg.InterfaceNames().At(1), nullptr);
}

TEST_F(RecordsTest, WritesTheLayoutAndReadsItBack) {
    CQVReg reg(log_.get());
    CQVReg::CServerInfo server(log_.get());
    ASSERT_EQ(server.SetName("POLL"), S_OK);
    std::int32_t v1 = 0, v2 = 0;
    ASSERT_EQ(server.AddServerProperties("001", &v1), S_OK);
    ASSERT_EQ(server.SetIPAddress(v1, "host.one"), S_OK);
    ASSERT_EQ(server.SetSSLRequired(v1, 1), S_OK);
    ASSERT_EQ(server.SetSecurePort(v1, 8443), S_OK);
    ASSERT_EQ(server.SetLastUpdatedTime(v1, 4000000000u), S_OK);
    ASSERT_EQ(server.AddServerProperties("002", &v2), S_OK);
    ASSERT_EQ(server.SetIPAddress(v2, "host.two"), S_OK);
    ASSERT_EQ(server.SetPort(v2, 0), S_OK);  // not written
    ASSERT_EQ(server.SetSystemInfoLocation(v2, "/sys"), S_OK);
    ASSERT_EQ(reg.UpdateRegistry(&server), S_OK);

    const std::string key = kServers + "\\POLL";
    EXPECT_EQ(Value(key, "IPAddress"), "host.one");
    EXPECT_EQ(Value(key, "SSLRequired"), "Y");
    EXPECT_EQ(Value(key, "SSLPublic"), "N");
    EXPECT_EQ(Value(key, "Port"), "80");
    EXPECT_EQ(Value(key, "SecurePort"), "8443");
    EXPECT_EQ(Value(key, "Proxy"), "0");
    EXPECT_EQ(Value(key, "LastUpdatedTime"), "4000000000");
    EXPECT_EQ(Value(key, "QueryVersion"), "<missing>");
    EXPECT_EQ(Value(key, "SystemInfoLocation"), "<missing>");
    EXPECT_EQ(Value(key + "\\002", "IPAddress"), "host.two");
    EXPECT_EQ(Value(key + "\\002", "Port"), "<missing>");
    EXPECT_EQ(Value(key + "\\002", "SystemInfoLocation"), "/sys");

    CQVReg::CQueryInfo query(log_.get());
    ASSERT_EQ(query.SetName("GetFileFromQuvaro"), S_OK);
    ASSERT_EQ(query.AddQueryProperties("001", &v1), S_OK);
    ASSERT_EQ(query.SetQueryLocation(v1, "/q/get"), S_OK);
    ASSERT_EQ(query.SetRetryTimeout(v1, 9), S_OK);
    ASSERT_EQ(query.AddQueryProperties("7", &v2), S_OK);
    ASSERT_EQ(query.SetQueryLocation(v2, "/q/seven"), S_OK);
    ASSERT_EQ(reg.UpdateRegistry(&query), S_OK);
    const std::string qkey = kQueries + "\\GetFileFromQuvaro";
    EXPECT_EQ(Value(qkey, "QueryVersion"), "001");
    EXPECT_EQ(Value(qkey, "QueryLocation"), "/q/get");
    EXPECT_EQ(Value(qkey, "RetryTimeOut"), "9");
    EXPECT_EQ(Value(qkey, "TimeInterval"), "0");
    EXPECT_EQ(Value(qkey + "\\7", "QueryVersion"), "<missing>");
    EXPECT_EQ(Value(qkey + "\\7", "SSLRequired"), "N");

    // Read back: the same records.
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    CQVReg::CServerInfo* loaded = nullptr;
    ASSERT_EQ(reg.GetServerInfoByName("POLL", false, &loaded), S_OK);
    std::int32_t index = 0, port = 0;
    ASSERT_EQ(loaded->FindByVersion("002", &index), S_OK);
    ASSERT_EQ(loaded->GetPort(index, &port), S_OK);
    EXPECT_EQ(port, 80);
    std::uint32_t time = 0;
    ASSERT_EQ(loaded->FindByVersion("001", &index), S_OK);
    ASSERT_EQ(loaded->GetLastUpdatedTime(index, &time), S_OK);
    EXPECT_EQ(time, 4000000000u);
    CQVReg::CQueryInfo* lq = nullptr;
    ASSERT_EQ(reg.GetQueryInfoByName("getfilefromquvaro", false, &lq), S_OK);
    ASSERT_EQ(lq->FindByVersion("7", &index), S_OK);
    char* text = nullptr;
    ASSERT_EQ(lq->GetQueryLocation(index, &text), S_OK);
    EXPECT_EQ(Text(text), "/q/seven");

    // A nameless info would write into the Servers key itself: refused.
    CQVReg::CServerInfo nameless(log_.get());
    EXPECT_EQ(reg.UpdateRegistry(&nameless), codes::kInvalidArg);
    EXPECT_EQ(Value(kServers, "IPAddress"), "<missing>");
}

TEST_F(RecordsTest, LastUpdateTimeGoesToTheVersionsPlace) {
    SeedValue(kServers + "\\POLL", "IPAddress", "a");
    SeedValue(kServers + "\\POLL\\002", "IPAddress", "b");
    CQVReg reg(log_.get());
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry("poll", "001", 11), S_OK);
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry("POLL", "002", 22), S_OK);
    EXPECT_EQ(Value(kServers + "\\POLL", "LastUpdatedTime"), "11");
    EXPECT_EQ(Value(kServers + "\\POLL\\002", "LastUpdatedTime"), "22");
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry("POLL", "003", 1), codes::kOpenServerVersionKey);
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry("OTHER", "001", 1), codes::kOpenServerInfoKey);
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry("", "001", 1), codes::kOpenServerInfoKey);
    EXPECT_EQ(Value(kServers, "LastUpdatedTime"), "<missing>");
    EXPECT_EQ(reg.UpdateLastTimeUpdateRegEntry(nullptr, "001", 1), codes::kInvalidArg);
}

}  // namespace
