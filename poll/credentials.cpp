// Credential cipher and the password file: see credentials.h.
#include "poll/credentials.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fs.h"
#include "platform/paths.h"
#include "support/rc4.h"

namespace zel::poll {

const unsigned char kCredentialKey[8] = {0x5A, 0x65, 0x6C, 0x57, 0x61, 0x79, 0x21, 0x37};

namespace {
// Only the enciphered form is kept in the binary.
const unsigned char kBuiltIn[] = {0x66, 0xF8, 0x2A, 0x86, 0xCC, 0x28, 0xE0, 0xEA, 0x51,
                                  0x0F, 0x92, 0x9A, 0xEF, 0x40, 0xB7, 0x4D, 0xE4, 0xC7,
                                  0x7F, 0x7A, 0xCE, 0x4D, 0xC0, 0x34, 0x79, 0xF4};
constexpr HRESULT kFileOpenFailed = MakeResult(0x80208115);
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
    if (bytes == nullptr) return MakeResult(0x801F811D);
    zel::fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return kFileOpenFailed;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kFileOpenFailed;
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kFileOpenFailed;
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    *bytes = std::move(data);
    return S_OK;
}

int WritePasswordFile(const std::string& directory, const std::string& plain) {
    std::string cipher(plain);
    CipherCredentials(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                      reinterpret_cast<unsigned char*>(cipher.data()));
    const std::string target = zel::paths::Join(directory, kPasswordFileName);
    std::string temp = zel::paths::Join(directory, std::string(kPasswordFileName) + ".XXXXXX");
    zel::fs::UniqueFd fd(::mkstemp(temp.data()));
    if (!fd) return errno;
    int error = ::fchmod(fd.get(), 0600) == 0 ? 0 : errno;
    std::size_t done = 0;
    while (error == 0 && done < cipher.size()) {
        const ssize_t n = ::write(fd.get(), cipher.data() + done, cipher.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (error == 0) error = zel::fs::FlushToDisk(fd.get());
    fd.reset();
    if (error == 0) error = zel::fs::RenameReplace(temp, target);
    if (error != 0) ::unlink(temp.c_str());
    return error;
}

}  // namespace zel::poll
