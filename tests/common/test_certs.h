// Test certificates made at test time: a private test CA and server
// certificates signed by it, written as PEM files into a scratch directory.
//
// Owns nothing after MakeTestCerts returns: the files belong to the caller's
// scratch directory.  Keys are P-256 EC keys so that generation is quick.
#pragma once

#include <string>

namespace zel::test {

struct TestCerts {
    std::string ca_file;        // the test CA certificate (trust anchor)
    std::string other_ca_file;  // an unrelated CA that signed nothing we serve
    std::string leaf_cert;      // "localhost", 127.0.0.1, 127.0.0.2, ::1
    std::string leaf_key;
    std::string wrong_host_cert;  // names only "other-host.invalid"
    std::string wrong_host_key;
    std::string expired_cert;  // "localhost" and 127.0.0.1, expired yesterday
    std::string expired_key;
    std::string untrusted_cert;  // as leaf_cert, signed by the unrelated CA
    std::string untrusted_key;
};

// Creates the CAs and the four server certificates in dir (which must
// exist).  On Windows the test peer makes them (see test_server.h) and the
// PEM files are written into dir all the same.  Returns true on success; on failure the files may
// be partial and a reason is stored in *error when error is not null.
bool MakeTestCerts(const std::string& dir, TestCerts* out, std::string* error = nullptr);

}  // namespace zel::test
