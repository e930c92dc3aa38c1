// Credential cipher and the password file: see credentials.h.
#include "poll/credentials.h"

#include <string>

#include "platform/fs.h"
#include "platform/paths.h"
#include "support/rc4.h"
#include "support/result_codes.h"

namespace zel::poll {

const unsigned char kCredentialKey[8] = {0x5A, 0x65, 0x6C, 0x57, 0x61, 0x79, 0x21, 0x37};

namespace {
// Only the enciphered form is kept in the binary.
const unsigned char kBuiltIn[] = {0x66, 0xF8, 0x2A, 0x86, 0xCC, 0x28, 0xE0, 0xEA, 0x51,
                                  0x0F, 0x92, 0x9A, 0xEF, 0x40, 0xB7, 0x4D, 0xE4, 0xC7,
                                  0x7F, 0x7A, 0xCE, 0x4D, 0xC0, 0x34, 0x79, 0xF4};
}  // namespace

void CipherCredentials(const unsigned char* input, std::size_t length, unsigned char* output) {
    if (length == 0) return;
    RC4Crypt(kCredentialKey, sizeof kCredentialKey, input, length, output);
}

const unsigned char* BuiltInCredentials(std::size_t* length) {
    if (length != nullptr) *length = sizeof kBuiltIn;
    return kBuiltIn;
}

HRESULT ReadFileBytes(const std::string& path, std::string* bytes) {
    if (bytes == nullptr) return zel::codes::kInvalidArg;
    // Read whole and in binary: the cipher text may hold any byte.
    return zel::fs::ReadWholeFile(path, bytes) == 0 ? S_OK : zel::codes::kOpenFile;
}

int WritePasswordFile(const std::string& directory, const std::string& plain) {
    std::string cipher(plain);
    CipherCredentials(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                      reinterpret_cast<unsigned char*>(cipher.data()));
    // Written beside the target, flushed and renamed over it: a reader sees
    // the old file or the new one, never a part; only the owner may read it.
    return zel::fs::ReplaceFileAtomically(zel::paths::Join(directory, kPasswordFileName), cipher,
                                          0600);
}

}  // namespace zel::poll
