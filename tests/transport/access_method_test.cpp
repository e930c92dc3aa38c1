// The access-method decision from the registry values, and the choice of
// proxy per request.
#include "transport/access_method.h"

#include "tests/transport/engine_fixture.h"
#include "transport/engine_internal.h"

using namespace zel::test;
using namespace zel::test::transport;
using namespace zel::transport;
using namespace zel::codes;

namespace {

constexpr const char* kSystemKey = "SOFTWARE\\Quvaro Information Systems\\QVDataAccess\\Servers";
constexpr const char* kUserKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

class AccessMethodTest : public EngineTest {
  protected:
    // The access values start unset: on Windows every test shares the wine
    // prefix's registry, so what a test stores is removed again.
    void SetUp() override {
        EngineTest::SetUp();
        ClearAccessValues();
    }
    void TearDown() override {
        ClearAccessValues();
        EngineTest::TearDown();
    }
    static void ClearAccessValues() {
        (void)zel::reg::DeleteTree(zel::reg::Hive::LocalMachine, kSystemKey);
        zel::reg::Key user;
        if (zel::reg::OpenKey(zel::reg::Hive::CurrentUser, kUserKey, &user) == zel::reg::kSuccess)
            for (const char* name : {"ProxyEnable", "ProxyServer"})
                (void)zel::reg::DeleteValue(user, name);
    }

    std::int32_t Decide(bool secure, std::string* proxy) {
        CStringHolder p;
        std::int32_t code = GetAccessType(log_.get(), true, secure, p.Out());
        *proxy = p ? p.get() : "<none>";
        return code;
    }
};

TEST_F(AccessMethodTest, RegistryCases) {
    const auto HKLM = zel::reg::Hive::LocalMachine;
    const auto HKCU = zel::reg::Hive::CurrentUser;
    std::string proxy;

    // Nothing configured: direct, and the keys now exist.
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_DIRECT);
    EXPECT_EQ(proxy, "<none>");
    zel::reg::Key key;
    EXPECT_EQ(zel::reg::OpenKey(HKLM, kSystemKey, &key), zel::reg::kSuccess);

    SeedValue(kSystemKey, "AccessMethod", 1);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_PRECONFIG);
    SeedValue(kSystemKey, "AccessMethod", 2);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY);

    // Method 7 is direct without the fallback line.
    SeedValue(kSystemKey, "AccessMethod", 7);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_DIRECT);
    EXPECT_EQ(LogText().find("GetAccessType(fallback)"), std::string::npos);

    // Method 3 with the user's proxy switched off: the fallback.
    SeedValue(kSystemKey, "AccessMethod", 3);
    SeedValue(kUserKey, "ProxyEnable", 0, HKCU);
    SeedValue(kUserKey, "ProxyServer", "userproxy:8080", HKCU);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_DIRECT);
    EXPECT_NE(LogText().find("Context: GetAccessType(fallback)"), std::string::npos);

    // The user's plain host:port serves a secure connection whole.
    SeedValue(kUserKey, "ProxyEnable", 1, HKCU);
    EXPECT_EQ(Decide(true, &proxy), ACCESS_TYPE_PROXY);
    EXPECT_EQ(proxy, "userproxy:8080");
    EXPECT_NE(LogText().find("Context: GetUsingProxy(Current User)"), std::string::npos);

    // An empty list with the proxy on: the proxy type with an empty address.
    SeedValue(kUserKey, "ProxyServer", "", HKCU);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_PROXY);
    EXPECT_EQ(proxy, "");

    // The override forces method 3 on the system key's values, whatever the
    // method says.
    SeedValue(kSystemKey, "AccessMethod", 1);
    SeedValue(kSystemKey, "AccessOverride", 1);
    SeedValue(kSystemKey, "ProxyEnable", 1);
    SeedValue(kSystemKey, "ProxyServer", "http=10.0.0.1:3128;https=10.0.0.2:3129");
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_PROXY);
    EXPECT_EQ(proxy, "10.0.0.1:3128");
    EXPECT_EQ(Decide(true, &proxy), ACCESS_TYPE_PROXY);
    EXPECT_EQ(proxy, "10.0.0.2:3129");
    EXPECT_NE(LogText().find("Context: Final Access Method(GetAccessType)"), std::string::npos);
    EXPECT_NE(LogText().find("Message: http=10.0.0.1:3128;https=10.0.0.2:3129\r\n"
                             "Context: Get Registry Str(Local-GetProxyAddress)"),
              std::string::npos);
    SeedValue(kSystemKey, "ProxyEnable", 0);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_DIRECT);

    // An address that does not fit is refused, not cut: direct.
    SeedValue(kSystemKey, "ProxyEnable", 1);
    const std::string host63 = std::string(58, 'p') + ":3128";  // 63 characters
    SeedValue(kSystemKey, "ProxyServer", host63);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_PROXY);
    EXPECT_EQ(proxy, host63);
    SeedValue(kSystemKey, "ProxyServer", "x" + host63);
    EXPECT_EQ(Decide(false, &proxy), ACCESS_TYPE_DIRECT);
    EXPECT_EQ(proxy, "<none>");
}

TEST_F(AccessMethodTest, ProxyReadsAreLoggedOnlyWhenAsked) {
    SeedValue(kSystemKey, "AccessMethod", 3);
    CStringHolder p;
    EXPECT_EQ(GetAccessType(log_.get(), false, false, p.Out()), ACCESS_TYPE_DIRECT);
    std::string log = LogText();
    EXPECT_NE(log.find("Context: Get Registry Int(GetAccessType)"), std::string::npos);
    // The method finally used is logged also without the override.
    EXPECT_NE(log.find("Context: Final Access Method(GetAccessType)"), std::string::npos);
    EXPECT_NE(log.find("Context: GetAccessType(fallback)"), std::string::npos);
    EXPECT_EQ(log.find("GetUsingProxy"), std::string::npos);
}

TEST(ProxyAddress, ListParsing) {
    struct Case {
        const char* list;
        bool secure;
        const char* expected;
    } cases[] = {
        {"http=a:1;https=b:2", false, "a:1"},
        {"http=a:1;https=b:2", true, "b:2"},
        // An entry is found by its whole name, not by the word inside another.
        {"https=b:2;http=a:1", false, "a:1"},
        {"https=b:2", false, "b:2"},
        {"HTTP=A:1;HTTPS=B:2", true, "B:2"},
        {"http=a:1; https=b:2", true, "b:2"},
        {"ftp=f:21;socks=s:1080", false, "f:21"},
        {"proxy.example:8080", true, "proxy.example:8080"},
        // Host names that contain the word are used whole, never cut.
        {"myhttpproxy.corp:8080", false, "myhttpproxy.corp:8080"},
        {"webhttps.corp:3128", true, "webhttps.corp:3128"},
        {"webhttps.corp:3128", false, "webhttps.corp:3128"},
        {"ftp=myhttp.corp:21;http=a:1", false, "a:1"},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        CStringHolder out;
        ASSERT_EQ(ParseProxyAddress(c.list, c.secure, out.Out()), S_OK) << c.list;
        EXPECT_STREQ(out.get(), c.expected) << c.list << (c.secure ? " https" : " http");
    }
}

TEST(ProxyChoice, PerRequest) {
    using K = ProxyChoice::Kind;
    EXPECT_EQ(ChooseProxy(1, "p:1", nullptr, "h.example", false).kind, K::Direct);
    EXPECT_EQ(ChooseProxy(2, nullptr, nullptr, "h.example", false).kind, K::Machine);
    EXPECT_EQ(ChooseProxy(3, nullptr, nullptr, "h.example", true).kind, K::Machine);
    ProxyChoice c = ChooseProxy(4, "127.0.0.1:3128", nullptr, "h.example", true);
    EXPECT_EQ(c.kind, K::Explicit);
    EXPECT_EQ(c.proxy, "http://127.0.0.1:3128");
    c = ChooseProxy(4, "http=a:1;https=b:2", nullptr, "h.example", true);
    EXPECT_EQ(c.proxy, "http://b:2");
    EXPECT_EQ(ChooseProxy(4, "https=b:2", nullptr, "h.example", false).kind, K::Direct);
    // The loopback names never use a proxy, whatever the method.
    for (const char* host : {"localhost", "LOCALHOST", "127.0.0.1", "::1", "[::1]"}) {
        EXPECT_EQ(ChooseProxy(4, "p:1", nullptr, host, false).kind, K::Direct) << host;
        EXPECT_EQ(ChooseProxy(2, nullptr, nullptr, host, false).kind, K::Direct) << host;
    }
    EXPECT_EQ(ChooseProxy(4, "p:1", nullptr, "127.0.0.2", false).kind, K::Explicit);
    EXPECT_EQ(ChooseProxy(4, "p:1", "<local>", "intranet", false).kind, K::Direct);
    EXPECT_EQ(ChooseProxy(4, "p:1", "<local>", "h.example", false).kind, K::Explicit);
    EXPECT_EQ(ChooseProxy(4, "p:1", "*.example", "h.example", false).kind, K::Direct);
}

}  // namespace
