// The HTTP "Proxy (browser)" test through a real tinyproxy on a loopback
// address of its own; the target sits on 127.0.0.2, since the loopback
// names never go through a proxy.
#include "tests/common/tinyproxy.h"
#include "tests/connection_tool/tool_fixture.h"
#include "tests/directory/sim.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;
using zel::test::directory::Simulator;

namespace {

using TinyproxyTest = ToolTest;

TEST_F(TinyproxyTest, HttpProxyTestGoesThroughTheProxy) {
    if (!Tinyproxy::Installed()) GTEST_SKIP() << "tinyproxy is not installed";
    Tinyproxy proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(dir_, &error)) << error;

    Simulator sim(dir_, {"--address", "127.0.0.2"});
    ASSERT_TRUE(sim.ok());
    UserProxy(1, "http=" + proxy.address() + ";https=127.0.0.9:9");
    RecordingUi ui;
    ui.answers = {true};
    ConnectionUtility utility(&ui);
    utility.SetHttpTarget("127.0.0.2", sim.http_port());
    EXPECT_EQ(utility.RunTest(Group::Http, Method::Proxy), TestOutcome::Saved);
    EXPECT_EQ(SystemDword("AccessMethod"), 3);
    EXPECT_NE(Response().find("RetrieveServerInformationResponse"), std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [&] { return ReadFile(proxy.log_file()).find(kHttpPath) != std::string::npos; }, 5000))
        << ReadFile(proxy.log_file());
}

}  // namespace
