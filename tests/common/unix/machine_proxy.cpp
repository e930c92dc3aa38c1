// The machine's proxy settings on Linux (see machine_proxy.h): the proxy
// environment variables of this process.
#include "tests/common/machine_proxy.h"

#include <stdlib.h>

namespace zel::test {

MachineProxy::MachineProxy(const std::string& host_port) {
    const std::string url = "http://" + host_port;
    ok_ =
        ::setenv("http_proxy", url.c_str(), 1) == 0 && ::setenv("https_proxy", url.c_str(), 1) == 0;
}

MachineProxy::~MachineProxy() {
    ::unsetenv("http_proxy");
    ::unsetenv("https_proxy");
}

}  // namespace zel::test
