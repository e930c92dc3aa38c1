// Test certificates built with OpenSSL's C API: see test_certs.h.
#include "tests/common/test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>

namespace zel::test {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

PkeyPtr NewKey() {
    return PkeyPtr(EVP_EC_gen("P-256"));
}

bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for key with the common name cn, valid from not_before to
// not_after seconds relative to now, signed by issuer_key (self-signed when
// issuer is null).
X509Ptr MakeCert(EVP_PKEY* key, const char* cn, long serial, long not_before, long not_after,
                 X509* issuer, EVP_PKEY* issuer_key, bool is_ca, const char* san) {
    X509Ptr cert(X509_new());
    if (!cert) return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = true;
    if (is_ca) {
        ok = ok && AddExt(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        ok = ok && AddExt(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        ok = ok && AddExt(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        ok = ok && AddExt(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
        ok = ok && AddExt(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        ok = ok && AddExt(cert.get(), signer, NID_subject_alt_name, san);
        ok = ok && AddExt(cert.get(), signer, NID_authority_key_identifier, "keyid");
    }
    if (!ok) return nullptr;
    if (X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0)
        return nullptr;
    return cert;
}

bool WriteCert(const std::string& path, X509* cert) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = PEM_write_X509(f, cert) == 1;
    return std::fclose(f) == 0 && ok;
}

bool WriteKey(const std::string& path, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

bool MakeTestCerts(const std::string& dir, TestCerts* out, std::string* error) {
    auto fail = [error](const char* why) {
        if (error != nullptr) *error = why;
        return false;
    };
    constexpr long kDay = 24 * 3600;
    PkeyPtr ca_key = NewKey(), other_ca_key = NewKey(), leaf_key = NewKey(), wrong_key = NewKey(),
            expired_key = NewKey(), untrusted_key = NewKey();
    if (!ca_key || !other_ca_key || !leaf_key || !wrong_key || !expired_key || !untrusted_key)
        return fail("key generation failed");

    X509Ptr ca = MakeCert(ca_key.get(), "Zelway Test CA", 1, -kDay, 30 * kDay, nullptr, nullptr,
                          true, nullptr);
    X509Ptr other_ca = MakeCert(other_ca_key.get(), "Unrelated Test CA", 2, -kDay, 30 * kDay,
                                nullptr, nullptr, true, nullptr);
    if (!ca || !other_ca) return fail("CA creation failed");
    X509Ptr leaf =
        MakeCert(leaf_key.get(), "localhost", 10, -kDay, 30 * kDay, ca.get(), ca_key.get(), false,
                 "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3,IP:::1");
    X509Ptr wrong = MakeCert(wrong_key.get(), "other-host.invalid", 11, -kDay, 30 * kDay, ca.get(),
                             ca_key.get(), false, "DNS:other-host.invalid");
    X509Ptr expired =
        MakeCert(expired_key.get(), "localhost", 12, -10 * kDay, -kDay, ca.get(), ca_key.get(),
                 false, "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3");
    X509Ptr untrusted = MakeCert(untrusted_key.get(), "localhost", 13, -kDay, 30 * kDay,
                                 other_ca.get(), other_ca_key.get(), false,
                                 "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3,IP:::1");
    if (!leaf || !wrong || !expired || !untrusted)
        return fail("server certificate creation failed");

    TestCerts c;
    c.ca_file = dir + "/ca.pem";
    c.other_ca_file = dir + "/other-ca.pem";
    c.leaf_cert = dir + "/leaf.pem";
    c.leaf_key = dir + "/leaf.key";
    c.wrong_host_cert = dir + "/wrong-host.pem";
    c.wrong_host_key = dir + "/wrong-host.key";
    c.expired_cert = dir + "/expired.pem";
    c.expired_key = dir + "/expired.key";
    c.untrusted_cert = dir + "/untrusted.pem";
    c.untrusted_key = dir + "/untrusted.key";
    if (!WriteCert(c.untrusted_cert, untrusted.get()) ||
        !WriteKey(c.untrusted_key, untrusted_key.get()) || !WriteCert(c.ca_file, ca.get()) ||
        !WriteCert(c.other_ca_file, other_ca.get()) || !WriteCert(c.leaf_cert, leaf.get()) ||
        !WriteKey(c.leaf_key, leaf_key.get()) || !WriteCert(c.wrong_host_cert, wrong.get()) ||
        !WriteKey(c.wrong_host_key, wrong_key.get()) || !WriteCert(c.expired_cert, expired.get()) ||
        !WriteKey(c.expired_key, expired_key.get()))
        return fail("writing PEM files failed");
    *out = c;
    return true;
}

}  // namespace zel::test
