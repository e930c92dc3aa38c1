// The three-hop refresh against the real central-side simulator (a child
// process on 127.0.0.1, plain HTTP entry point, HTTPS transfer server with
// test certificates) and the real registry store.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <future>
#include <string>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "log/report.h"
#include "tests/common/test_certs.h"
#include "tests/directory/directory_fixture.h"
#include "tests/directory/sim.h"

namespace {

using zel::test::SeedValue;
using zel::test::directory::kQueries;
using zel::test::directory::kServers;
namespace codes = zel::codes;

constexpr const char* kServerList = "/qvgqa/RetrieveServerInformation.xml";
constexpr const char* kSystemInfo = "/qvgqa/RetrieveSystemInformation.xml";
constexpr const char* kQueryList = "/qvgqa/RetrieveQueryInformation.xml";

std::uint32_t Now() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

// A loopback port that nothing listens on.
int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return 1;
    }
    close(fd);
    return ntohs(a.sin_port);
}

class RefreshTest : public zel::test::directory::DirectoryTest {
  protected:
    void SetUp() override {
        DirectoryTest::SetUp();
        std::string error;
        ASSERT_TRUE(zel::test::MakeTestCerts(dir_, &certs_, &error)) << error;
        ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("SSL_CERT_FILE");
        DirectoryTest::TearDown();
    }

    std::unique_ptr<zel::test::directory::Simulator> Start(
        const std::vector<std::string>& extra = {}) {
        auto sim = std::make_unique<zel::test::directory::Simulator>(dir_, extra, certs_.leaf_cert,
                                                                     certs_.leaf_key);
        EXPECT_TRUE(sim->ok());
        if (sim->ok()) WriteFile(CommFile("ISERVER.XML"), sim->Description());
        return sim;
    }

    // One refresh as the Poll object runs it, on a new directory object.
    HRESULT Refresh(std::uint32_t now, bool* refreshed, bool force = false) {
        CQVReg reg(log_.get());
        return LoadAndRefreshDirectory(&reg, "GetFileListFromQuvaro", force, now, refreshed);
    }

    std::string RunQvregExport() {
        const char* build = std::getenv("ZEL_BUILD_DIR");
        std::string cmd = std::string("'") + (build ? build : ".") +
                          "/tools/qvreg' export 'HKLM\\SOFTWARE\\Quvaro Information "
                          "Systems\\QVDataAccess' 2>&1";
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
        return out;
    }

    zel::test::TestCerts certs_;
};

TEST_F(RefreshTest, FreshStoreIsFilledByOneRefresh) {
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    const std::string description = ReadFile(CommFile("ISERVER.XML"));
    bool refreshed = false;
    const std::uint32_t before = Now();
    ASSERT_EQ(Refresh(before, &refreshed), S_OK);
    const std::uint32_t after = Now();
    EXPECT_TRUE(refreshed);

    const std::string poll = kServers + "\\POLL";
    EXPECT_EQ(Value(poll, "IPAddress"), "127.0.0.1");
    EXPECT_EQ(Value(poll, "SecurePort"), std::to_string(sim->https_port()));
    EXPECT_EQ(Value(poll, "Port"), "80");
    EXPECT_EQ(Value(poll, "SSLRequired"), "Y");
    EXPECT_EQ(Value(poll, "SSLPublic"), "Y");
    EXPECT_EQ(Value(poll, "SystemInfoLocation"), kSystemInfo);
    const std::uint32_t stamp =
        static_cast<std::uint32_t>(std::stoul(Value(poll, "LastUpdatedTime")));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    for (const char* op : kPollQueryNames) {
        SCOPED_TRACE(op);
        const std::string key = kQueries + "\\" + op;
        EXPECT_EQ(Value(key, "QueryLocation"), std::string("/qvgqa/poll/") + op);
        EXPECT_EQ(Value(key, "SSLRequired"), "Y");
        EXPECT_EQ(Value(key, "QueryVersion"), "001");
    }
    EXPECT_EQ(sim->Count(kQueryList), 1u);
    EXPECT_EQ(sim->Count(kServerList), 1u);
    EXPECT_EQ(sim->Count(kSystemInfo), 1u);
    // The site's own entry-point description is left as it was.
    EXPECT_EQ(ReadFile(CommFile("ISERVER.XML")), description);

    // The real qvreg shows the layout key by key.
    const std::string out = RunQvregExport();
    const std::string root =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quvaro Information Systems\\QVDataAccess";
    EXPECT_NE(out.find(root + "\\Servers\\POLL]"), std::string::npos) << out;
    EXPECT_NE(out.find("\"IPAddress\"=\"127.0.0.1\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"SSLRequired\"=\"Y\""), std::string::npos) << out;
    EXPECT_NE(out.find(root + "\\Queries\\PutFileFromDealer]"), std::string::npos) << out;
    EXPECT_NE(out.find("\"QueryLocation\"=\"/qvgqa/poll/PostProcessQuvaroFile\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"QueryVersion\"=\"001\""), std::string::npos) << out;
}

TEST_F(RefreshTest, CacheAgeDecidesTheRefresh) {
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    bool refreshed = false;
    ASSERT_EQ(Refresh(Now(), &refreshed, true), S_OK);
    ASSERT_EQ(sim->Count(kQueryList), 1u);
    const std::uint32_t t =
        static_cast<std::uint32_t>(std::stoul(Value(kServers + "\\POLL", "LastUpdatedTime")));

    // The rule itself, with unsigned 32-bit arithmetic.
    {
        CQVReg reg(log_.get());
        ASSERT_EQ(RegisterPollNames(&reg), S_OK);
        ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
        EXPECT_FALSE(IsRequireRegUpdate(&reg, "POLL", "GetFileFromQuvaro", t));
        EXPECT_FALSE(IsRequireRegUpdate(&reg, "POLL", "GetFileFromQuvaro", t + 86399));
        EXPECT_TRUE(IsRequireRegUpdate(&reg, "POLL", "GetFileFromQuvaro", t + 86400));
        EXPECT_TRUE(IsRequireRegUpdate(&reg, "POLL", "GetFileFromQuvaro", t - 1));  // future
        EXPECT_TRUE(IsRequireRegUpdate(&reg, "POLL", "NoSuchOperation", t));
        EXPECT_TRUE(IsRequireRegUpdate(&reg, "OTHER", "GetFileFromQuvaro", t));
        CQVReg::CServerInfo* info = nullptr;
        ASSERT_EQ(reg.GetServerInfoByName("POLL", false, &info), S_OK);
        ASSERT_EQ(info->SetLastUpdatedTime(0, 0xFFFFFF00u), S_OK);
        EXPECT_FALSE(IsRequireRegUpdate(&reg, "POLL", "GetFileFromQuvaro", 0x100u));  // wraps
    }

    // 86,399 seconds old: used unchanged, nothing is requested.
    ASSERT_EQ(Refresh(t + 86399, &refreshed), S_OK);
    EXPECT_FALSE(refreshed);
    EXPECT_EQ(sim->Count(kServerList), 1u);
    // 86,400 seconds old: refreshed.
    ASSERT_EQ(Refresh(t + 86400, &refreshed), S_OK);
    EXPECT_TRUE(refreshed);
    EXPECT_EQ(sim->Count(kQueryList), 2u);
    // Stored in the future: refreshed as well.
    SeedValue(kServers + "\\POLL", "LastUpdatedTime", Now() + 3600);
    ASSERT_EQ(Refresh(Now(), &refreshed), S_OK);
    EXPECT_TRUE(refreshed);
    EXPECT_EQ(sim->Count(kQueryList), 3u);
}

TEST_F(RefreshTest, UnreachableEntryPointFallsBackToTheFallbackRecord) {
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    const std::string unreachable =
        "<XML><R><SRVIP>127.0.0.1:" + std::to_string(ClosedPort()) +
        "</SRVIP><SURL>/qvgqa/RetrieveServerInformation.xml</SURL><SSLR>N</SSLR></R></XML>";
    const std::string fallback = "<R><SRVI>IPOLL</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:" +
                                 std::to_string(sim->https_port()) +
                                 "</SRVIP><SURL>/qvgqa/RetrieveSystemInformation.xml</SURL>"
                                 "<SSLR>Y</SSLR><SSLP>Y</SSLP></R>";
    {
        // Without a fallback the failure of the request is the result.
        CQVReg reg(log_.get());
        ASSERT_EQ(RegisterPollNames(&reg), S_OK);
        EXPECT_TRUE(FAILED(reg.UpdateRegWithServerInfoFromServer(unreachable.c_str())));
        EXPECT_FALSE(KeyExists(kServers + "\\POLL"));
    }
    CQVReg reg(log_.get());
    ASSERT_EQ(RegisterPollNames(&reg), S_OK);
    ASSERT_EQ(reg.SetFallbackServerRecord(fallback.c_str()), S_OK);
    ASSERT_EQ(reg.UpdateRegWithServerInfoFromServer(unreachable.c_str()), S_OK);
    EXPECT_EQ(Value(kServers + "\\POLL", "SecurePort"), std::to_string(sim->https_port()));
    ASSERT_EQ(reg.UpdateRegWithQInfoFromServer(" POLL ", ""), S_OK);
    EXPECT_EQ(Value(kQueries + "\\GetFileFromQuvaro", "QueryLocation"),
              "/qvgqa/poll/GetFileFromQuvaro");
    EXPECT_NE(Value(kServers + "\\POLL", "LastUpdatedTime"), "0");
    EXPECT_EQ(sim->Count(kServerList), 0u);
}

TEST_F(RefreshTest, QueryRefreshNeedsAKnownServerVersion) {
    // Nothing is requested: each case fails before a connection is made.
    SeedValue(kServers + "\\POLL", "IPAddress", "127.0.0.1");
    SeedValue(kServers + "\\POLL", "LastUpdatedTime", 77);
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    EXPECT_EQ(reg.UpdateRegWithQInfoFromServer(nullptr, "001"), codes::kInvalidArg);
    EXPECT_EQ(reg.UpdateRegWithQInfoFromServer("  ", "001"), codes::kInvalidArg);
    EXPECT_EQ(reg.UpdateRegWithQInfoFromServer("OTHER", "001"), codes::kServerInfoNotFound);
    EXPECT_EQ(reg.UpdateRegWithQInfoFromServer("POLL", "002"), codes::kServerVersionNotFound);
    EXPECT_EQ(Value(kServers + "\\POLL", "LastUpdatedTime"), "77");
}

TEST_F(RefreshTest, BusyAnswersAreRetriedTwiceOtherErrorsFailAtOnce) {
    auto sim = Start({"--fault", std::string(kSystemInfo) + "=503x4", "--fault",
                      std::string(kQueryList) + "=404x1"});
    ASSERT_TRUE(sim->ok());
    bool refreshed = false;
    // Three 503 answers in a row.
    EXPECT_EQ(Refresh(Now(), &refreshed), MakeResult(0x802581F7));
    EXPECT_EQ(sim->Count(kSystemInfo), 3u);
    EXPECT_NE(ReadFile(LogPath()).find("MessageId: 13720503"), std::string::npos);
    // Nothing was stamped, so the next run refreshes again.
    EXPECT_EQ(Value(kServers + "\\POLL", "LastUpdatedTime"), "0");
    // A 503 then a 200 gets through; the 404 of the query list is not retried.
    EXPECT_EQ(Refresh(Now(), &refreshed), MakeResult(0x80258194));
    EXPECT_EQ(sim->Count(kSystemInfo), 5u);
    EXPECT_EQ(sim->Count(kQueryList), 1u);
    // And then the whole refresh succeeds.
    EXPECT_EQ(Refresh(Now(), &refreshed), S_OK);
    EXPECT_EQ(sim->Count(kQueryList), 2u);
}

TEST_F(RefreshTest, UnsupportedInterfaceOrMissingQueryUrlFailTheRefresh) {
    {
        auto sim = Start({"--interface", "IPOLL=N"});
        ASSERT_TRUE(sim->ok());
        bool refreshed = false;
        EXPECT_EQ(Refresh(Now(), &refreshed), codes::kInterfaceNotSupported);
        EXPECT_EQ(sim->Count(kQueryList), 0u);
    }
    {
        auto sim = Start({"--omit-qurl"});
        ASSERT_TRUE(sim->ok());
        bool refreshed = false;
        EXPECT_EQ(Refresh(Now(), &refreshed), codes::kNoQueryUrl);
    }
}

TEST_F(RefreshTest, ServerInformationFileReplacesTheFirstRequest) {
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    WriteFile(CommFile("RetrieveServerInformation.xml"),
              "<m:Results>\r\n<R><SRVI>IPOLL</SRVI><SRVV>001</SRVV><SRVIP>127.0.0.1:" +
                  std::to_string(sim->https_port()) +
                  "</SRVIP><SURL>/qvgqa/RetrieveSystemInformation.xml</SURL><SSLR>Y</SSLR>"
                  "<SSLP>N</SSLP></R>\r\n</m:Results>\r\n");
    bool refreshed = false;
    ASSERT_EQ(Refresh(Now(), &refreshed), S_OK);
    EXPECT_EQ(sim->Count(kQueryList), 1u);
    EXPECT_EQ(sim->Count(kServerList), 0u);
    EXPECT_EQ(Value(kServers + "\\POLL", "SSLPublic"), "N");
}

TEST_F(RefreshTest, ServerInformationFileThatIsNoRegularFileFallsThroughToTheRequest) {
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    const std::string path = CommFile("RetrieveServerInformation.xml");
    // A directory in the file's place, then a FIFO: neither can be read as a
    // server list, so the refresh asks the central side instead.  A reader
    // that opened the FIFO would block for ever; the refresh runs apart and
    // is released by opening the FIFO's other end if it does not come back.
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    bool refreshed = false;
    ASSERT_EQ(Refresh(Now(), &refreshed, true), S_OK);
    EXPECT_EQ(sim->Count(kServerList), 1u);
    ASSERT_EQ(::rmdir(path.c_str()), 0);

    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    auto done = std::async(std::launch::async, [&] {
        bool again = false;
        return Refresh(Now(), &again, true);
    });
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        ADD_FAILURE() << "the refresh blocked on a FIFO in the server list's place";
    }
    EXPECT_EQ(done.get(), S_OK);
    EXPECT_EQ(sim->Count(kServerList), 2u);
}

TEST_F(RefreshTest, ServerListOfManyVersionsIsStoredPromptly) {
    const std::string list_file = dir_ + "/many_versions.xml";
    auto sim = Start({"--document", std::string(kServerList) + "=" + list_file});
    ASSERT_TRUE(sim->ok());
    // Version 001 is the transfer server; 399 more versions of the same
    // server, each with its own address.
    std::string doc = "<m:Results>\r\n";
    for (int v = 1; v <= 400; ++v) {
        char version[8];
        std::snprintf(version, sizeof version, "%03d", v);
        const std::string address = v == 1 ? "127.0.0.1:" + std::to_string(sim->https_port())
                                           : "10.0.0." + std::to_string(v % 250);
        doc += std::string("<R><SRVI>IPOLL</SRVI><SRVV>") + version + "</SRVV><SRVIP>" + address +
               "</SRVIP><SURL>" + kSystemInfo + "</SURL><SSLR>Y</SSLR><SSLP>Y</SSLP></R>\r\n";
    }
    WriteFile(list_file, doc + "</m:Results>\r\n");

    bool refreshed = false;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Refresh(Now(), &refreshed, true), S_OK);
    // Generous for a sanitizer build on a shared machine; writing every
    // version again after each record took well over a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(Value(kServers + "\\POLL", "SecurePort"), std::to_string(sim->https_port()));
    EXPECT_EQ(Value(kServers + "\\POLL\\002", "IPAddress"), "10.0.0.2");
    EXPECT_EQ(Value(kServers + "\\POLL\\400", "IPAddress"), "10.0.0.150");
    CQVReg reg(log_.get());
    ASSERT_EQ(reg.LoadInfoFromReg(), S_OK);
    CQVReg::CServerInfo* info = nullptr;
    ASSERT_EQ(reg.GetServerInfoByName("POLL", false, &info), S_OK);
    std::int32_t count = 0;
    ASSERT_EQ(info->GetCount(&count), S_OK);
    EXPECT_EQ(count, 400);
}

TEST_F(RefreshTest, ZeldirReportsTheOutcomeOnce) {
    const char* build = std::getenv("ZEL_BUILD_DIR");
    const std::string zeldir = std::string("'") + (build ? build : ".") + "/tools/zeldir'";
    auto run = [&](std::string* out) {
        FILE* p = popen((zeldir + " 2>&1").c_str(), "r");
        if (p == nullptr) return -1;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
        const int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    {
        // The transfer server refuses the interface: the refresh fails.
        auto sim = Start({"--interface", "IPOLL=N"});
        ASSERT_TRUE(sim->ok());
        std::string out;
        EXPECT_EQ(run(&out), 1);
        EXPECT_EQ(out.find("refreshed from the central side"), std::string::npos) << out;
        EXPECT_NE(out.find("zeldir: refresh failed with 0x8020813B"), std::string::npos) << out;
    }
    auto sim = Start();
    ASSERT_TRUE(sim->ok());
    std::string out;
    EXPECT_EQ(run(&out), 0);
    EXPECT_NE(out.find("zeldir: refreshed from the central side\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
}

TEST_F(RefreshTest, MissingServerXmlIsCreatedWithTheBuiltInDescription) {
    CStringHolder text;
    ASSERT_EQ(GetServerXML(log_.get(), text.Out()), S_OK);
    CStringHolder builtin;
    ASSERT_EQ(GetDefaultServerXML(builtin.Out()), S_OK);
    EXPECT_STREQ(text.c_str(), builtin.c_str());
    EXPECT_EQ(ReadFile(CommFile("ISERVER.XML")), builtin.c_str());
    EXPECT_NE(std::string(builtin.c_str())
                  .find(std::string("<SRVIP>") + kDefaultEntryPointServer + "</SRVIP> <SURL>"),
              std::string::npos);
    // An existing file is used as it stands.
    WriteFile(CommFile("ISERVER.XML"), "<SRVIP>site</SRVIP>");
    ASSERT_EQ(GetServerXML(log_.get(), text.Out()), S_OK);
    EXPECT_STREQ(text.c_str(), "<SRVIP>site</SRVIP>");
}

}  // namespace
