// The HTTP "Proxy (browser)" test through a real tinyproxy on a loopback
// address of its own; the target sits on 127.0.0.2, since the loopback
// names never go through a proxy.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include "tests/common/spawn.h"
#include "tests/connection_tool/tool_fixture.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;
using zel::test::directory::Simulator;

namespace {

constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";

// A loopback address derived from the pid, so the probed port stays ours.
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
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class TinyproxyTest : public ToolTest {
  protected:
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            (void)Wait(pid_);
        }
        ToolTest::TearDown();
    }
    pid_t pid_ = -1;
};

TEST_F(TinyproxyTest, HttpProxyTestGoesThroughTheProxy) {
    if (::access(kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
    const std::string host = OwnLoopbackAddress();
    const int port = FreePort(host);
    WriteFile(Path("tinyproxy.conf"), "Port " + std::to_string(port) + "\nListen " + host +
                                          "\nTimeout 30\nLogFile \"" + Path("tinyproxy.log") +
                                          "\"\nLogLevel Info\nMaxClients 20\n"
                                          "Allow 127.0.0.0/8\nDisableViaHeader Yes\n");
    pid_ = Spawn(kTinyproxy, {"-d", "-c", Path("tinyproxy.conf")});
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(WaitUntil([&] { return Accepts(host, port); }, 5000)) << "tinyproxy did not start";

    Simulator sim(dir_, {"--address", "127.0.0.2"});
    ASSERT_TRUE(sim.ok());
    UserProxy(1, "http=" + host + ":" + std::to_string(port) + ";https=127.0.0.9:9");
    RecordingUi ui;
    ui.answers = {true};
    ConnectionUtility utility(&ui);
    utility.SetHttpTarget("127.0.0.2", sim.http_port());
    EXPECT_EQ(utility.RunTest(Group::Http, Method::Proxy), TestOutcome::Saved);
    EXPECT_EQ(SystemDword("AccessMethod"), 3);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [&] { return ReadFile(Path("tinyproxy.log")).find(kHttpPath) != std::string::npos; }, 5000))
        << ReadFile(Path("tinyproxy.log"));
}

}  // namespace
