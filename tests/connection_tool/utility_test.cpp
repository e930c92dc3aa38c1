// The dialog logic against the real simulator (zelsim, a Linux program run
// as a child): the eight test buttons, Yes/No, answers that must fail the
// test, the proxy preconditions, the service's proxy environment, and TLS
// leniency with test certificates trusted through SSL_CERT_FILE.
#include "directory/server_directory.h"
#include "tests/common/test_certs.h"
#include "tests/connection_tool/tool_fixture.h"
#include "tests/directory/sim.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;
using zel::reg::Hive;
using zel::test::directory::Simulator;

namespace {

class UtilityTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (HasFatalFailure()) return;
        std::string error;
        ASSERT_TRUE(MakeTestCerts(dir_, &certs_, &error)) << error;
        ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
    }
    void StartSim(const std::vector<std::string>& extra = {}, const std::string& cert = "",
                  const std::string& key = "") {
        sim_ = std::make_unique<Simulator>(dir_, extra, cert.empty() ? certs_.leaf_cert : cert,
                                           key.empty() ? certs_.leaf_key : key);
        ASSERT_TRUE(sim_->ok()) << "zelsim did not start";
        ASSERT_GT(sim_->https_port(), 0);
        utility_.SetHttpTarget("127.0.0.1", sim_->http_port());
        utility_.SetHttpsTarget("127.0.0.1", sim_->https_port());
    }
    std::vector<std::string> Captions() const {
        std::vector<std::string> c;
        for (const Box& b : ui_.boxes) c.push_back(b.caption);
        return c;
    }

    TestCerts certs_;
    EnvRestore cert_env_{"SSL_CERT_FILE"};
    RecordingUi ui_;
    ConnectionUtility utility_{&ui_};
    std::unique_ptr<Simulator> sim_;
};

const Method kMethods[] = {Method::Direct, Method::Preconfig, Method::PreconfigNoAutoProxy,
                           Method::Proxy};

TEST_F(UtilityTest, EachButtonFetchesItsDocumentAndYesStoresItsMethod) {
    StartSim();
    // The proxy buttons need an enabled proxy; the loopback target never goes
    // through it, so the fetch itself is direct.
    UserProxy(1, "http=127.0.0.9:9;https=127.0.0.9:10");
    for (Group group : {Group::Http, Group::Https}) {
        const bool secure = group == Group::Https;
        const std::string path = secure ? kHttpsPath : kHttpPath;
        for (Method method : kMethods) {
            SCOPED_TRACE(std::string(GroupCaption(group)) + " / " + MethodLabel(method));
            ui_.boxes.clear();
            ui_.answers = {true};
            std::remove(Path("response.txt").c_str());
            const std::size_t before = sim_->Count(path);
            EXPECT_EQ(utility_.RunTest(group, method), TestOutcome::Saved);
            EXPECT_EQ(SystemDword("AccessMethod"), static_cast<long long>(method));
            EXPECT_EQ(sim_->Count(path), before + 1);
            EXPECT_NE(Response().find(secure ? "<SystemInformation>"
                                             : "RetrieveServerInformationResponse"),
                      std::string::npos);
            ASSERT_FALSE(ui_.boxes.empty());
            EXPECT_TRUE(ui_.boxes.back().question);
            EXPECT_EQ(ui_.boxes.back().text, kConfirmText);
            EXPECT_EQ(ui_.boxes.back().caption, "Information");
            if (method == Method::Proxy) {
                ASSERT_EQ(ui_.boxes.size(), 2u);
                EXPECT_EQ(ui_.boxes[0].caption, "Proxy Server Location");
                EXPECT_EQ(ui_.boxes[0].text, secure ? "127.0.0.9:10" : "127.0.0.9:9");
            } else {
                EXPECT_EQ(ui_.boxes.size(), 1u);
            }
        }
    }
}

TEST_F(UtilityTest, NoWritesNothingAndLeavesTheDocument) {
    StartSim();
    ui_.answers = {false};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Preconfig), TestOutcome::Declined);
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);
}

TEST_F(UtilityTest, AnswersThatAreNotTheDocumentFailWithoutAsking) {
    // 302 (redirect not followed), 404, and a 200 whose body breaks off: the
    // last would otherwise leave half a document and pass.
    for (const std::string fault : {"302", "404", "cut"}) {
        SCOPED_TRACE(fault);
        StartSim({"--fault", std::string(kHttpPath) + "=" + fault});
        WriteFile(Path("response.txt"), "older");
        ui_.boxes.clear();
        ui_.answers = {true};
        EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
        EXPECT_EQ(SystemDword("AccessMethod"), -1);
        ASSERT_FALSE(ui_.boxes.empty());
        for (const Box& b : ui_.boxes) EXPECT_FALSE(b.question);
        if (fault == "cut") {
            EXPECT_EQ(Captions(), (std::vector<std::string>{"Error", "Internet Error"}));
            const std::string& text = ui_.boxes[1].text;
            EXPECT_EQ(text.rfind("Code:", 0), 0u) << text;
            // The text names the failure, not the last header line, and
            // the part of the body that arrived is kept.
            EXPECT_EQ(text.find("Connection:"), std::string::npos) << text;
            EXPECT_NE(text.find("closed before the whole response body arrived"), std::string::npos)
                << text;
            const std::string kept = Response();
            EXPECT_NE(kept, "older");
            EXPECT_NE(kept.find("RetrieveServerInformation"), std::string::npos) << kept;
            EXPECT_NE(text.find(std::to_string(kept.size()) + " bytes of the body arrived"),
                      std::string::npos)
                << text;
        } else {
            ASSERT_EQ(ui_.boxes.size(), 1u);
            EXPECT_EQ(ui_.boxes[0].text, kStatusNot200);
            EXPECT_EQ(ui_.boxes[0].caption, "HTTP Status Code");
            EXPECT_EQ(Response(), "older");  // not replaced by the error page
        }
        sim_.reset();
    }
}

TEST_F(UtilityTest, RefusedConnectionShowsTheErrorAndTheInternetError) {
    utility_.SetHttpTarget("127.0.0.1", 1);
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
    ASSERT_EQ(Captions(), (std::vector<std::string>{"Error", "Internet Error"}));
    EXPECT_NE(ui_.boxes[0].text.find("onnect"), std::string::npos) << ui_.boxes[0].text;
    // libcurl's "couldn't connect" (7) with the OS error ECONNREFUSED (0x6f).
    EXPECT_EQ(ui_.boxes[1].text.rfind("Code:7\nExtended:6f\nText:", 0), 0u) << ui_.boxes[1].text;
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

TEST_F(UtilityTest, ProxyButtonsNeedTheApplicableProxyEnabled) {
    StartSim();
    // Disabled in the user's settings; and with the override, disabled in the
    // system key although the user's is on.
    UserProxy(0, "127.0.0.9:9");
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            UserProxy(1, "127.0.0.9:9");
            SeedValue(kSystemKey, "AccessOverride", 1);
            SeedValue(kSystemKey, "ProxyEnable", 0);
        }
        for (Group group : {Group::Http, Group::Https}) {
            ui_.boxes.clear();
            EXPECT_EQ(utility_.RunTest(group, Method::Proxy), TestOutcome::Failed);
            ASSERT_EQ(ui_.boxes.size(), 1u);
            EXPECT_EQ(ui_.boxes[0].text, kProxyNotEnabled);
            EXPECT_EQ(ui_.boxes[0].caption, "Information");
        }
    }
    EXPECT_TRUE(sim_->Requests().empty());  // no connection was made
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

TEST_F(UtilityTest, ProxyAddressLongerThanTheToolHoldsIsRefusedWhole) {
    StartSim();
    const std::string host(58, 'p');
    UserProxy(1, host + ".x:80");  // 63 characters: used
    ui_.answers = {false};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Proxy), TestOutcome::Declined);
    EXPECT_EQ(ui_.boxes[0].text, host + ".x:80");

    UserProxy(1, host + ".xy:80");  // 64: refused, never cut
    ui_.boxes.clear();
    const std::size_t before = sim_->Requests().size();
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Proxy), TestOutcome::Failed);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].caption, "Error");
    EXPECT_NE(ui_.boxes[0].text.find("63"), std::string::npos);
    EXPECT_EQ(sim_->Requests().size(), before);
}

TEST_F(UtilityTest, ProxyTestWithoutAProxyAddressFails) {
    // Enabled, but no address for HTTP: the request would go direct and
    // prove nothing about the proxy.
    StartSim();
    for (const char* server : {"", "http=;https=127.0.0.9:10", "h:70000"}) {
        SCOPED_TRACE(server);
        UserProxy(1, server);
        ui_.boxes.clear();
        ui_.answers = {true};
        EXPECT_EQ(utility_.RunTest(Group::Http, Method::Proxy), TestOutcome::Failed);
        ASSERT_EQ(ui_.boxes.size(), 1u);
        EXPECT_EQ(ui_.boxes[0].caption, "Error");
        EXPECT_NE(ui_.boxes[0].text.find("No usable proxy address for HTTP"), std::string::npos)
            << ui_.boxes[0].text;
    }
    EXPECT_TRUE(sim_->Requests().empty());
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

TEST_F(UtilityTest, PreconfiguredTestsUseTheServiceEnvironmentNotTheShells) {
    // The target is not a loopback name, which would never go through a proxy.
    sim_ = std::make_unique<Simulator>(dir_, std::vector<std::string>{"--address", "127.0.0.2"});
    ASSERT_TRUE(sim_->ok());
    utility_.SetHttpTarget("127.0.0.2", sim_->http_port());
    const std::string dead_proxy = "http://127.0.0.9:9";

    // The service's file names a proxy (that nobody answers on): the test
    // goes there although the shell has none, and says so.
    WriteFile(Path("zelway.default"), "# proxy of the service\n QVIS_ROOT=/x\nhttp_proxy = \"" +
                                          dead_proxy + "\"\nno_proxy=localhost\n");
    for (Method method : {Method::Preconfig, Method::PreconfigNoAutoProxy}) {
        ui_.notes.clear();
        ui_.answers = {true};
        EXPECT_EQ(utility_.RunTest(Group::Http, method), TestOutcome::Failed);
        ASSERT_EQ(ui_.notes.size(), 1u);
        EXPECT_NE(ui_.notes[0].find(dead_proxy), std::string::npos) << ui_.notes[0];
        EXPECT_NE(ui_.notes[0].find(Path("zelway.default")), std::string::npos) << ui_.notes[0];
    }
    EXPECT_TRUE(sim_->Requests().empty());

    // The shell's proxy is not the service's: with none in the file (only a
    // comment, then no file at all) the test goes direct.
    ::setenv("http_proxy", dead_proxy.c_str(), 1);
    WriteFile(Path("zelway.default"), "#http_proxy=" + dead_proxy + "\n");
    for (bool file : {true, false}) {
        if (!file) std::remove(Path("zelway.default").c_str());
        ui_.notes.clear();
        ui_.answers = {false};
        EXPECT_EQ(utility_.RunTest(Group::Http, Method::Preconfig), TestOutcome::Declined);
        ASSERT_EQ(ui_.notes.size(), 1u);
        EXPECT_NE(ui_.notes[0].find("none, direct"), std::string::npos) << ui_.notes[0];
        EXPECT_EQ(ui_.notes[0].find("not found") != std::string::npos, !file) << ui_.notes[0];
    }
    EXPECT_EQ(sim_->Count(kHttpPath), 2u);
}

TEST_F(UtilityTest, TestsTheServersTheSystemUsesByDefault) {
    StartSim();
    RecordingUi ui;
    ConnectionUtility utility(&ui);
    // Nothing set up: the built-in central servers.
    utility.UseSystemServers();
    EXPECT_EQ(utility.HttpTarget().host, kDefaultHttpServer);
    EXPECT_EQ(utility.HttpTarget().port, 80);
    EXPECT_EQ(utility.HttpsTarget().host, kDefaultHttpsServer);
    EXPECT_EQ(utility.HttpsTarget().port, 443);
    EXPECT_NE(utility.TargetText(Group::Https).find("built-in default"), std::string::npos);

    // The entry point of ISERVER.XML, and the transfer server of the cached
    // directory with its secure port.
    const std::string http = "127.0.0.1:" + std::to_string(sim_->http_port());
    const std::string https = "127.0.0.1:" + std::to_string(sim_->https_port());
    WriteEntryPoint(http);
    const std::string record = "<R><SRVI>IPOLL</SRVI><SRVV>001</SRVV><SRVIP>" + https +
                               "</SRVIP><SURL>/qvgqa/RetrieveSystemInformation.xml</SURL>"
                               "<SSLR>Y</SSLR><SSLP>Y</SSLP></R>";
    {
        CQVReg directory(nullptr);
        ASSERT_EQ(directory.ExtractServerInfo(record.c_str(), record.c_str() + record.size()),
                  S_OK);
    }
    utility.UseSystemServers();
    EXPECT_EQ(utility.TargetText(Group::Http),
              http + " (from " + zel::paths::Join(zel::paths::CommDir(), "ISERVER.XML") + ")");
    EXPECT_EQ(utility.TargetText(Group::Https), https + " (from cached server directory)");
    ui.answers = {false, false};
    EXPECT_EQ(utility.RunTest(Group::Http, Method::Direct), TestOutcome::Declined);
    EXPECT_EQ(utility.RunTest(Group::Https, Method::Direct), TestOutcome::Declined);

    // A server given by hand still wins.
    utility.SetHttpTarget("127.0.0.1", 1);
    EXPECT_EQ(utility.TargetText(Group::Http), "127.0.0.1:1 (from command line)");
}

TEST_F(UtilityTest, HttpsToleratesNameAndDateErrorsButNotAnUntrustedChain) {
    StartSim({}, certs_.wrong_host_cert, certs_.wrong_host_key);
    ui_.answers = {false};
    EXPECT_EQ(utility_.RunTest(Group::Https, Method::Direct), TestOutcome::Declined);
    StartSim({}, certs_.expired_cert, certs_.expired_key);
    ui_.answers = {false};
    EXPECT_EQ(utility_.RunTest(Group::Https, Method::Direct), TestOutcome::Declined);

    ::setenv("SSL_CERT_FILE", certs_.other_ca_file.c_str(), 1);
    StartSim();
    ui_.boxes.clear();
    EXPECT_EQ(utility_.RunTest(Group::Https, Method::Direct), TestOutcome::Failed);
    EXPECT_EQ(Captions(), (std::vector<std::string>{"Error", "Internet Error"}));
}

TEST_F(UtilityTest, UnwritableResponseFileFailsTheTest) {
    StartSim();
    std::filesystem::create_directory(Path("response.txt"));  // a directory in its place
    ui_.answers = {true};
    EXPECT_EQ(utility_.RunTest(Group::Http, Method::Direct), TestOutcome::Failed);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].caption, "Error");
    EXPECT_EQ(SystemDword("AccessMethod"), -1);
}

}  // namespace
