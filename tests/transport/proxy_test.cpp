// Requests through a real HTTP proxy: tinyproxy, run in the foreground on a
// loopback port with its own configuration and log file in the scratch
// directory, stopped by the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/common/test_certs.h"
#include "tests/transport/engine_fixture.h"
#include "transport/access_method.h"

extern char** environ;

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::codes;

namespace {

constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";
constexpr const char* kSystemKey = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";

// tinyproxy cannot report a port it chose itself, so its port is probed and
// handed to it.  The probe uses a loopback address of this process's own:
// every other test server binds port 0 on 127.0.0.1 or 127.0.0.2, so none can
// take the probed port before tinyproxy binds it.
std::string OwnLoopbackAddress() {
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "127." + std::to_string(100 + (pid >> 16) % 100) + "." +
           std::to_string((pid >> 8) & 0xff) + "." + std::to_string(pid & 0xff);
}

int FreePort(const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(const std::string& address, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class ProxyTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (::access(kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
        std::string error;
        ASSERT_TRUE(MakeTestCerts(dir_, &certs_, &error)) << error;
        host_ = OwnLoopbackAddress();
        port_ = FreePort(host_);
        WriteFile(Path("tinyproxy.conf"), "Port " + std::to_string(port_) + "\nListen " + host_ +
                                              "\nTimeout 30\nLogFile \"" + Path("tinyproxy.log") +
                                              "\"\nLogLevel Info\nMaxClients 20\n"
                                              "Allow 127.0.0.0/8\nDisableViaHeader Yes\n");
        std::string conf = Path("tinyproxy.conf");
        const char* argv[] = {kTinyproxy, "-d", "-c", conf.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int rc =
            posix_spawn(&pid_, kTinyproxy, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(rc, 0);
        for (int i = 0; i < 100 && !Accepts(host_, port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(Accepts(host_, port_)) << "tinyproxy did not start";
        ::setenv("SSL_CERT_FILE", certs_.ca_file.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("http_proxy");
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        EngineTest::TearDown();
    }

    void SetInt(const char* name, std::uint32_t v) {
        zel::reg::Key key;
        ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::LocalMachine, kSystemKey, &key, nullptr),
                  zel::reg::kSuccess);
        ASSERT_EQ(zel::reg::SetDword(key, name, v), zel::reg::kSuccess);
    }
    void SetStr(const char* name, const std::string& v) {
        zel::reg::Key key;
        ASSERT_EQ(zel::reg::CreateKey(zel::reg::Hive::LocalMachine, kSystemKey, &key, nullptr),
                  zel::reg::kSuccess);
        ASSERT_EQ(zel::reg::SetString(key, name, v), zel::reg::kSuccess);
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
            if (ReadFile(Path("tinyproxy.log")).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    TestCerts certs_;
    std::string host_;
    int port_ = 0;
    pid_t pid_ = -1;
};

TEST_F(ProxyTest, ExplicitProxyCarriesHttpAndTunnelsHttps) {
    const std::string p = host_ + ":" + std::to_string(port_);
    SetInt("AccessMethod", 0);
    SetInt("AccessOverride", 1);
    SetInt("ProxyEnable", 1);
    SetStr("ProxyServer", "http=" + p + ";https=" + p);

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
    ::setenv("http_proxy", ("http://" + host_ + ":" + std::to_string(port_)).c_str(), 1);
    SetInt("AccessMethod", 0);
    TestServer::Options plain;
    plain.address = "127.0.0.2";
    TestServer http(plain);
    ASSERT_TRUE(http.Start());
    http.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(http, "127.0.0.2", false), S_OK);
    EXPECT_EQ(http.Requests().at(0).request_line, "GET /through HTTP/1.0");
    EXPECT_FALSE(ProxyLogMentions("127.0.0.2:" + std::to_string(http.port())));

    // The machine's settings do use it.
    SetInt("AccessMethod", 1);
    http.Enqueue(ScriptedResponse::Text(200, "OK", "via"));
    ASSERT_EQ(Fetch(http, "127.0.0.2", false), S_OK);
    EXPECT_TRUE(ProxyLogMentions("GET http://127.0.0.2:" + std::to_string(http.port())));
}

}  // namespace
