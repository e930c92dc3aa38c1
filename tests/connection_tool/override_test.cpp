// The proxy override dialog's logic against the registry (the scratch
// root's store on Linux, the wine prefix's registry on Windows): where the
// pre-fill comes from, what OK writes and Cancel does not, the addresses it
// refuses; and the server option of the command line.
#include "tests/connection_tool/tool_fixture.h"

using namespace zel::conn;
using namespace zel::test;
using namespace zel::test::connection_tool;
using zel::reg::Hive;

namespace {

class OverrideTest : public ToolTest {
  protected:
    RecordingUi ui_;
};

TEST_F(OverrideTest, PrefillComesFromTheSystemKeyWhenOverridden) {
    SeedValue(kSystemKey, "AccessOverride", 1);
    SeedValue(kSystemKey, "ProxyEnable", 1);
    SeedValue(kSystemKey, "ProxyServer", "sys:1");
    SeedValue(kInternetSettingsMachine, "ProxyEnable", 0);
    SeedValue(kInternetSettingsMachine, "ProxyServer", "machine:2");
    const OverrideSettings s = LoadOverrideSettings();
    EXPECT_TRUE(s.use_override);
    EXPECT_TRUE(s.proxy_enabled);
    EXPECT_EQ(s.address, "sys:1");
}

TEST_F(OverrideTest, PrefillFallsBackFromMachineToUserValueByValue) {
    // Nothing anywhere: unticked and empty.
    OverrideSettings s = LoadOverrideSettings();
    EXPECT_FALSE(s.use_override);
    EXPECT_FALSE(s.proxy_enabled);
    EXPECT_EQ(s.address, "");

    // Only the user's settings.
    UserProxy(1, "user:3");
    s = LoadOverrideSettings();
    EXPECT_TRUE(s.proxy_enabled);
    EXPECT_EQ(s.address, "user:3");

    // The machine-wide key wins per value; an existing empty address is not
    // missing.  System-key values count only with the override.
    SeedValue(kInternetSettingsMachine, "ProxyServer", "");
    SeedValue(kSystemKey, "ProxyServer", "sys:1");
    s = LoadOverrideSettings();
    EXPECT_TRUE(s.proxy_enabled);  // still the user's
    EXPECT_EQ(s.address, "");
    SeedValue(kInternetSettingsMachine, "ProxyEnable", 0);
    SeedValue(kInternetSettingsMachine, "ProxyServer", "machine:2");
    s = LoadOverrideSettings();
    EXPECT_FALSE(s.proxy_enabled);
    EXPECT_EQ(s.address, "machine:2");
}

TEST_F(OverrideTest, OkWritesTheThreeValuesAndCancelNothing) {
    UserProxy(1, "user:3");
    {
        ProxyOverrideDialog d(&ui_);
        d.ToggleUseOverride();
        EXPECT_TRUE(d.SetAddress("http=a:1;https=b:2"));
        d.Cancel();
    }
    EXPECT_EQ(SystemDword("AccessOverride"), -1);
    EXPECT_EQ(SystemDword("ProxyEnable"), -1);

    ProxyOverrideDialog d(&ui_);
    EXPECT_EQ(d.Settings().address, "user:3");
    d.ToggleUseOverride();
    d.ToggleProxyEnabled();                             // was on from the user's settings
    EXPECT_FALSE(d.SetAddress(std::string(512, 'a')));  // longer than the field
    EXPECT_TRUE(d.SetAddress(std::string(511, 'a')));
    EXPECT_TRUE(d.SetAddress("http=a:1;https=b:2"));
    EXPECT_TRUE(d.Ok());
    EXPECT_EQ(SystemDword("AccessOverride"), 1);
    EXPECT_EQ(SystemDword("ProxyEnable"), 0);
    zel::reg::Key key;
    ASSERT_EQ(zel::reg::OpenKey(Hive::LocalMachine, kSystemKey, &key), zel::reg::kSuccess);
    std::string server;
    ASSERT_EQ(zel::reg::QueryString(key, "ProxyServer", &server), zel::reg::kSuccess);
    EXPECT_EQ(server, "http=a:1;https=b:2");
    EXPECT_TRUE(ui_.boxes.empty());
    // The saved override now decides the next dialog's pre-fill.
    EXPECT_TRUE(LoadOverrideSettings().use_override);
}

TEST_F(OverrideTest, MalformedOrMissingAddressIsRefusedBeforeAnythingIsStored) {
    for (const char* bad : {"", "  ", "h:0", "h:70000", "h:abc",
                            "h:", "http=", "http=a:1;https=", "a b:80", "=a:1", "[::1"}) {
        SCOPED_TRACE(bad);
        ProxyOverrideDialog d(&ui_);
        d.ToggleProxyEnabled();
        d.ToggleUseOverride();
        ASSERT_TRUE(d.SetAddress(bad));
        ui_.boxes.clear();
        EXPECT_FALSE(d.Ok());
        ASSERT_EQ(ui_.boxes.size(), 1u);
        EXPECT_EQ(ui_.boxes[0].caption, "Error");
        EXPECT_EQ(SystemDword("AccessOverride"), -1);
        EXPECT_EQ(SystemDword("ProxyEnable"), -1);
    }
    // With the proxy switched off an empty address is how it is cleared;
    // a malformed one is still refused.
    {
        ProxyOverrideDialog d(&ui_);
        ASSERT_TRUE(d.SetAddress("h:0"));
        EXPECT_FALSE(d.Ok());
        ASSERT_TRUE(d.SetAddress(""));
        EXPECT_TRUE(d.Ok());
        EXPECT_EQ(SystemDword("ProxyEnable"), 0);
    }
    for (const char* good : {"10.1.1.1:8080", "http=10.1.1.1:8080;https=10.1.1.1:8443",
                             "prøxy.ëxample:8080", "[::1]:3128", "proxy", "http://p.example:81"}) {
        SCOPED_TRACE(good);
        std::string why;
        EXPECT_TRUE(CheckProxyAddress(good, &why)) << why;
    }
}

TEST(ServerOption, HostAndPort) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(ParseServer("example.org", 80, &host, &port));
    EXPECT_EQ(host, "example.org");
    EXPECT_EQ(port, 80);
    EXPECT_TRUE(ParseServer("127.0.0.1:8443", 443, &host, &port));
    EXPECT_EQ(port, 8443);
    EXPECT_TRUE(ParseServer("[::1]:81", 80, &host, &port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 81);
    for (const char* bad : {"", ":80", "h:", "h:0", "h:65536", "h:8x", "::1", "[::1"})
        EXPECT_FALSE(ParseServer(bad, 80, &host, &port)) << bad;
}

}  // namespace
