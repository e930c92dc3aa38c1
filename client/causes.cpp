// ferrun's cause lines (see causes.h): the status classes the component
// reports (log category in bits 16-28), the HTTP answers and server faults
// it passes on, and the look at the control and password files.
#include "client/causes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/com/com.h"
#include "platform/com/library.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "support/result_codes.h"

namespace zel::client {
namespace {

constexpr const char* kControlFile = "CONTROL";
constexpr const char* kPasswordFile = "IACCESS";

// Log categories of a status (bits 16-28).
constexpr std::uint32_t kCategoryCommunication = 33;

std::string Hex(HRESULT status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::uint32_t Bits(HRESULT status) {
    return static_cast<std::uint32_t>(status);
}

// The catalogue's "class~~detail" as "class: detail".
std::string Readable(std::string text) {
    const std::size_t sep = text.find("~~");
    if (sep != std::string::npos) text.replace(sep, 2, ": ");
    return text;
}

// 0 when path can be opened for reading, else the errno.
int ReadProblem(const std::string& path) {
    fs::UniqueFd fd;
    return fs::OpenForReading(path, &fd);
}

// The component's own words and the code, for causes that need them.
std::string Detail(HRESULT status, const std::string& description) {
    if (description.empty()) return zel::com::ResultText(status) + " (" + Hex(status) + ")";
    return Readable(description) + " (" + Hex(status) + ")";
}

}  // namespace

std::string CreationFailureCause(HRESULT status, const std::string& description) {
    std::string cause = description.empty() ? zel::com::ResultText(status) : description;
    if (status == REGDB_E_CLASSNOTREG)
        cause += std::string("; \"") + zel::com::RegistrationTool() +
                 " LIBRARY\" registers the component";
    return cause + " (" + Hex(status) + ")";
}

std::string TransferFailureCause(HRESULT status, const std::string& description,
                                 const std::string& install_dir, bool contract_given) {
    const std::string control = paths::Join(install_dir, kControlFile);
    const std::string password = paths::Join(install_dir, kPasswordFile);
    const std::uint32_t bits = Bits(status);

    // An answer of the central side.
    if ((bits & 0xFFFF8000u) == 0x80258000u) {
        const unsigned http = bits & 0x3FFFu;
        if (http == 401 || http == 403)
            return "refused by the server: the credentials of " + password +
                   " were not accepted (HTTP " + std::to_string(http) + ")";
        return "refused by the server: HTTP status " + std::to_string(http);
    }
    if ((bits & 0xFFFFC000u) == 0x80244000u)
        return "refused by the server: fault " + std::to_string(bits & 0x3FFFu) +
               (description.empty() ? std::string() : ": " + Readable(description));

    // The files the component reads before anything goes on the wire: the
    // control file (unless "-u" named the dealer), then the password file.
    const bool file_error =
        status == codes::kOpenFile || status == codes::kReadFile || status == codes::kFileLength;
    if (file_error && !contract_given) {
        if (int err = ReadProblem(control); err != 0)
            return "cannot read the control file " + control + ": " + std::strerror(err);
    }
    if (status == codes::kPasswordFormat)
        return "the password file " + password +
               " holds no valid credentials (zelpasswd writes it)";
    const int password_problem = ReadProblem(password);
    if (file_error && password_problem != 0 && password_problem != ENOENT)
        return "cannot read the password file " + password + ": " + std::strerror(password_problem);

    std::string cause;
    if (((bits >> 16) & 0x1FFFu) == kCategoryCommunication)
        cause =
            "cannot reach the central side (no network, or the server or proxy does not "
            "answer): " +
            Detail(status, description);
    else
        cause = Detail(status, description);
    // Without a password file the component first fetches the support files
    // with its built-in credentials; a failure then means the dealer's own
    // credentials were never set up.
    if (password_problem == ENOENT)
        cause +=
            "; no credentials: the password file " + password + " is missing (zelpasswd writes it)";
    return cause;
}

}  // namespace zel::client
