// Trust in a test CA for the HTTPS requests of the test process, the way the
// system's HTTP client takes it: on Linux the CA file becomes the only
// trusted CA through SSL_CERT_FILE (with SSL_CERT_DIR on an empty
// directory), which the transport reads at every request; on Windows the CA
// joins the machine's trusted root certificates, where WinInet's chain
// check finds it, until the object ends.  Either way a certificate that does
// not lead to this CA stays untrusted.
//
// On Windows the system builds its view of the trusted roots once per
// process: make the object before the process's first HTTPS request.
#pragma once

#include <string>

namespace zel::test {

class TrustedTestCa {
  public:
    // ca_file: the CA certificate (PEM); empty_dir: a directory without
    // certificates (Linux's SSL_CERT_DIR).
    TrustedTestCa(const std::string& ca_file, const std::string& empty_dir);
    ~TrustedTestCa();
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;

    // Whether the CA is now trusted; error says why not.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

  private:
    bool ok_ = false;
    std::string error_;
    std::string der_;  // Windows: the certificate as added to the store
};

}  // namespace zel::test
