// Requests through a real HTTP proxy: tinyproxy, run in the foreground on a
// loopback port with its own configuration and log file in the scratch
// directory, stopped by the test.

#include <chrono>
#include <thread>

#include "tests/common/test_certs.h"
#include "tests/common/tinyproxy.h"
#include "tests/transport/engine_fixture.h"
#include "transport/access_method.h"

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::codes;

namespace {

constexpr const char* kSystemKey = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";

class ProxyTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (!Tinyproxy::Installed()) GTEST_SKIP() << "tinyproxy is not installed";
        std::string error;
        ASSERT_TRUE(MakeTestCerts(dir_, &certs_, &error)) << error;
        ASSERT_TRUE(proxy_.Start(dir_, &error)) << error;
        ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("http_proxy");
        proxy_.Stop();
        EngineTest::TearDown();
    }

    // One GET as the component makes it: access type from the registry, then
    // an engine initialised with it.
    HRESULT Fetch(const TestServer& server, const char* host, bool secure) {
        CStringHolder proxy;
        std::int32_t access = GetAccessType(log_.get(), true, secure, proxy.Out());
        CInternetAccess e(log_.get());
        EXPECT_EQ(e.Initialize("Poll", access, proxy.get(), nullptr), S_OK);
        EXPECT_EQ(e.SetServer(host), S_OK);
        EXPECT_EQ(e.SetPort(server.port()), S_OK);
        EXPECT_EQ(e.SetResource("/through"), S_OK);
        EXPECT_EQ(e.SetSecure(secure), S_OK);
        HRESULT hr = e.Process();
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(Body(e), "via");
        }
        return hr;
    }

    bool ProxyLogMentions(const std::string& text) {
        // tinyproxy writes its log lines as it goes; give it a moment.
        for (int i = 0; i < 40; ++i) {
            if (ReadFile(proxy_.log_file()).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    TestCerts certs_;
    Tinyproxy proxy_;
};

TEST_F(ProxyTest, ExplicitProxyCarriesHttpAndTunnelsHttps) {
    const std::string p = proxy_.address();
    SeedValue(kSystemKey, "AccessMethod", 0);
    SeedValue(kSystemKey, "AccessOverride", 1);
    SeedValue(kSystemKey, "ProxyEnable", 1);
    SeedValue(kSystemKey, "ProxyServer", "http=" + p + ";https=" + p);

    TestServer::Options plain;
    plain.address = "127.0.0.2";
    TestServer http(plain);
    ASSERT_TRUE(http.Start());
    http.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(http, "127.0.0.2", false), S_OK);
    EXPECT_TRUE(
        ProxyLogMentions("GET http://127.0.0.2:" + std::to_string(http.port()) + "/through"));

    TestServer::Options tls = plain;
    tls.tls = true;
    tls.cert_file = certs_.leaf_cert;
    tls.key_file = certs_.leaf_key;
    TestServer https(tls);
    ASSERT_TRUE(https.Start());
    https.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(https, "127.0.0.2", true), S_OK);
    EXPECT_TRUE(ProxyLogMentions("CONNECT 127.0.0.2:" + std::to_string(https.port())));

    // The loopback name goes direct even with the proxy configured.
    TestServer local;
    ASSERT_TRUE(local.Start());
    local.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(local, "localhost", false), S_OK);
    EXPECT_EQ(local.RequestCount(), 1u);
    EXPECT_FALSE(ProxyLogMentions("localhost:" + std::to_string(local.port())));
}

TEST_F(ProxyTest, DirectMethodIgnoresTheProxyEnvironment) {
    ::setenv("http_proxy", ("http://" + proxy_.address()).c_str(), 1);
    SeedValue(kSystemKey, "AccessMethod", 0);
    TestServer::Options plain;
    plain.address = "127.0.0.2";
    TestServer http(plain);
    ASSERT_TRUE(http.Start());
    http.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(http, "127.0.0.2", false), S_OK);
    EXPECT_EQ(http.Requests().at(0).request_line, "GET /through HTTP/1.0");
    EXPECT_FALSE(ProxyLogMentions("127.0.0.2:" + std::to_string(http.port())));

    // The machine's settings do use it.
    SeedValue(kSystemKey, "AccessMethod", 1);
    http.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(http, "127.0.0.2", false), S_OK);
    EXPECT_TRUE(ProxyLogMentions("GET http://127.0.0.2:" + std::to_string(http.port())));
}

}  // namespace
