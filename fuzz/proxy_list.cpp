// Fuzz target: the proxy list and bypass list of the access method, as
// zelconfig or a support person wrote them into the registry.  Input: proxy
// list, NUL, bypass list, NUL, host name.  Checked: the entry chosen for a
// scheme is one whole entry of the list, loopback names never go through a
// proxy, only the proxy access type gives an explicit proxy, and an
// explicit proxy is always a URL.
#include "fuzz/fuzz_common.h"
#include "transport/access_method.h"
#include "transport/engine_internal.h"

using namespace zel::fuzz;
using namespace zel::transport;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts = SplitAtNul(data, size, 3);
    parts.resize(3);
    const std::string& list = parts[0];
    const std::string& bypass = parts[1];
    const std::string host = parts[2].substr(0, parts[2].find('\0'));

    for (const char* scheme : {"http", "https"}) {
        const std::string entry = ProxyForScheme(list, scheme);
        ZEL_FUZZ_CHECK(entry.find_first_of(";, \t") == std::string::npos);
        ZEL_FUZZ_CHECK(entry.empty() || list.find(entry) != std::string::npos);
    }
    if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) {
        ZEL_FUZZ_CHECK(BypassesProxy(bypass + ";<local>", host));
    }
    for (const char* loopback : {"localhost", "127.0.0.1", "::1", "[::1]", "LocalHost"}) {
        ZEL_FUZZ_CHECK(BypassesProxy(bypass, loopback));
        for (std::int32_t access = 1; access <= 4; ++access) {
            ZEL_FUZZ_CHECK(
                ChooseProxy(access, list.c_str(), bypass.c_str(), loopback, false).kind ==
                ProxyChoice::Kind::Direct);
        }
    }
    for (std::int32_t access = 0; access <= 5; ++access) {
        for (bool secure : {false, true}) {
            const ProxyChoice c = ChooseProxy(access, list.c_str(), bypass.c_str(), host, secure);
            if (access != ACCESS_TYPE_PROXY) {
                ZEL_FUZZ_CHECK(c.kind != ProxyChoice::Kind::Explicit);
            }
            if (c.kind == ProxyChoice::Kind::Explicit) {
                ZEL_FUZZ_CHECK(c.proxy.find("://") != std::string::npos);
                ZEL_FUZZ_CHECK(!BypassesProxy(bypass, host));
            }
        }
    }
    return 0;
}
