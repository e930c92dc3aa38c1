// Trust in a test CA on Linux (see ca_trust.h): the transport passes
// SSL_CERT_FILE and SSL_CERT_DIR to libcurl at every request.
#include "tests/common/ca_trust.h"

#include <stdlib.h>

namespace zel::test {

TrustedTestCa::TrustedTestCa(const std::string& ca_file, const std::string& empty_dir) {
    ok_ = ::setenv("SSL_CERT_FILE", ca_file.c_str(), 1) == 0 &&
          ::setenv("SSL_CERT_DIR", empty_dir.c_str(), 1) == 0;
    if (!ok_) error_ = "setenv failed";
}

// The variables stay: the fixtures clear them before every test.
TrustedTestCa::~TrustedTestCa() = default;

}  // namespace zel::test
