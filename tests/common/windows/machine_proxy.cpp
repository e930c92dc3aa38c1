// The machine's proxy settings on Windows (see machine_proxy.h): the
// current user's Internet settings, where WinInet's preconfigured access
// finds the proxy.  Under wine they are the wine prefix's; the test removes
// the values it stored.
#include "tests/common/machine_proxy.h"

#include <windows.h>

namespace zel::test {
namespace {

constexpr const char* kSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace

MachineProxy::MachineProxy(const std::string& host_port) {
    const DWORD enable = 1;
    ok_ = ::RegSetKeyValueA(HKEY_CURRENT_USER, kSettings, "ProxyEnable", REG_DWORD, &enable,
                            sizeof enable) == ERROR_SUCCESS &&
          ::RegSetKeyValueA(HKEY_CURRENT_USER, kSettings, "ProxyServer", REG_SZ, host_port.c_str(),
                            static_cast<DWORD>(host_port.size() + 1)) == ERROR_SUCCESS;
}

MachineProxy::~MachineProxy() {
    (void)::RegDeleteKeyValueA(HKEY_CURRENT_USER, kSettings, "ProxyEnable");
    (void)::RegDeleteKeyValueA(HKEY_CURRENT_USER, kSettings, "ProxyServer");
}

}  // namespace zel::test
