// The machine's proxy settings, as the transport's two preconfigured access
// types read them: on Linux the proxy environment variables (http_proxy,
// https_proxy), which libcurl reads at every request; on Windows the
// user's Internet settings in the registry (ProxyEnable, ProxyServer), which
// WinInet reads at every InternetOpen.  Set for the object's life; the
// settings are removed again when it ends.
#pragma once

#include <string>

namespace zel::test {

class MachineProxy {
  public:
    // host_port: the proxy for HTTP and HTTPS alike.
    explicit MachineProxy(const std::string& host_port);
    ~MachineProxy();
    MachineProxy(const MachineProxy&) = delete;
    MachineProxy& operator=(const MachineProxy&) = delete;

    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

}  // namespace zel::test
