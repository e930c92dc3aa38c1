// Trust in a test CA on Windows (see ca_trust.h): the CA certificate is
// added to the local machine's "Root" store for the object's life, so that
// WinInet's chain check (crypt32) ends at a trusted root.  Under wine the
// store is in the wine prefix's registry; the test removes what it added.
#include "tests/common/ca_trust.h"

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace zel::test {
namespace {

// The machine's trusted roots as the registry holds them, opened for a
// change; null on failure.  (The "Root" system store shows the same
// certificates, but wine does not remove one from the registry through it.)
HCERTSTORE OpenRoots() {
    return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0,
                           CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, "Root");
}

}  // namespace

TrustedTestCa::TrustedTestCa(const std::string& ca_file, const std::string&) {
    std::ostringstream text;
    text << std::ifstream(ca_file, std::ios::binary).rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (pem.empty() ||
        !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        error_ = "cannot read a certificate from " + ca_file;
        return;
    }
    std::string der(size, '\0');
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                                &size, nullptr, nullptr)) {
        error_ = "cannot decode " + ca_file;
        return;
    }
    der.resize(size);
    HCERTSTORE roots = OpenRoots();
    if (roots == nullptr) {
        error_ = "cannot open the Root store (error " + std::to_string(::GetLastError()) + ")";
        return;
    }
    ok_ = ::CertAddEncodedCertificateToStore(
              roots, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
              static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    if (ok_)
        der_ = std::move(der);
    else
        error_ =
            "cannot add the CA to the Root store (error " + std::to_string(::GetLastError()) + ")";
    ::CertCloseStore(roots, 0);
}

TrustedTestCa::~TrustedTestCa() {
    if (der_.empty()) return;
    HCERTSTORE roots = OpenRoots();
    if (roots == nullptr) return;
    PCCERT_CONTEXT mine = ::CertCreateCertificateContext(X509_ASN_ENCODING,
                                                         reinterpret_cast<const BYTE*>(der_.data()),
                                                         static_cast<DWORD>(der_.size()));
    if (mine != nullptr) {
        PCCERT_CONTEXT found = ::CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0,
                                                            CERT_FIND_EXISTING, mine, nullptr);
        // Deleting frees the found context as well.
        if (found != nullptr) (void)::CertDeleteCertificateFromStore(found);
        ::CertFreeCertificateContext(mine);
    }
    ::CertCloseStore(roots, 0);
}

}  // namespace zel::test
