// CPoll's identity and credentials: the unit contract from the control
// file, user name and password from the password file or the built-in
// first-run credentials, and the first-run bootstrap.
#include <cstring>
#include <string>

#include "log/report.h"
#include "poll/credentials.h"
#include "poll/poll.h"
#include "poll/poll_status.h"
#include "support/config.h"
#include "support/result_codes.h"

using namespace zel::poll;
using namespace zel::codes;

namespace {

// The text of the index-th comma-separated field (1-based) of text, not
// trimmed; empty when the field does not exist.
std::string Field(const char* text, int index) {
    const char* start = text;
    for (int i = 1; i < index; ++i) {
        start = std::strchr(start, ',');
        if (start == nullptr) return std::string();
        ++start;
    }
    const char* end = std::strchr(start, ',');
    return end != nullptr ? std::string(start, end) : std::string(start);
}

// Overwrites a text before it is freed, so no plain credential stays behind
// in freed memory.
void Wipe(CStringHolder& text) {
    if (text.get() != nullptr) std::memset(text.get(), 0, std::strlen(text.get()));
    text.reset();
}

}  // namespace

void CPoll::ForgetCredentials() {
    Wipe(user_name_);
    Wipe(password_);
}

HRESULT CPoll::GetUnitContractFromControlFile() {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::GetUnitContractFromControlFile";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgExtractingContract);
    const PollLayout layout = GetPollLayout();
    CStringHolder text;
    HRESULT hr = GetStringDataFromFile(layout.control_file.c_str(), false, text.Out());
    if (FAILED(hr)) return hr;
    std::string contract = Field(text.get(), 4) + Field(text.get(), 2);
    if (contract.size() > kConfigTextMax) contract.resize(kConfigTextMax);
    char buffer[kConfigTextMax + 1];
    std::memcpy(buffer, contract.c_str(), contract.size() + 1);
    ReadConfigText(layout.config_file.c_str(), "poll_contract", buffer);
    return CopyString(buffer, &unit_contract_, false);
}

HRESULT CPoll::GetUserNamePasswordFromFile() {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::GetUserNamePasswordFromFile";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgExtractingCredentials);
    std::string bytes;
    // Read whole and in binary: the cipher text may hold a zero byte or a
    // CR LF pair, and cutting or translating either would corrupt the
    // credentials.
    HRESULT hr = ReadFileBytes(GetPollLayout().password_file, &bytes);
    if (FAILED(hr)) return zel::log::ReportStatus(&log_, hr, kContext);
    ForgetCredentials();
    hr = GetUserNamePasswordFromEncrStr(reinterpret_cast<const unsigned char*>(bytes.data()),
                                        bytes.size());
    std::fill(bytes.begin(), bytes.end(), '\0');
    return hr;
}

HRESULT CPoll::GetUserNamePasswordFromEncrStr(const char* text) {
    if (text == nullptr)
        return zel::log::ReportStatus(&log_, kInvalidArg, "CPoll::GetUserNamePasswordFromEncrStr");
    return GetUserNamePasswordFromEncrStr(reinterpret_cast<const unsigned char*>(text),
                                          std::strlen(text));
}

HRESULT CPoll::GetUserNamePasswordFromEncrStr(const unsigned char* bytes, std::size_t length) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::GetUserNamePasswordFromEncrStr";
    if (bytes == nullptr) return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    CStringHolder plain;
    HRESULT hr = AllocStringLen(static_cast<long>(length), &plain);
    if (FAILED(hr)) return zel::log::ReportStatus(&log_, kOutOfMemory, kContext);
    CipherCredentials(bytes, length, reinterpret_cast<unsigned char*>(plain.get()));
    plain.get()[length] = '\0';
    // A zero byte inside the deciphered text ends it, as the text is used.
    Trim(plain.get());
    char* colon = std::strchr(plain.get(), ':');
    if (colon == nullptr) {
        std::memset(plain.get(), 0, length);
        ForgetCredentials();
        return zel::log::ReportStatus(&log_, kPasswordFormat, kContext);
    }
    *colon = '\0';
    CStringHolder user;
    CStringHolder password;
    hr = GetString(plain.get(), user.Out(), true);
    if (SUCCEEDED(hr)) hr = GetString(colon + 1, password.Out(), true);
    std::memset(plain.get(), 0, length);
    if (FAILED(hr)) {
        Wipe(user);
        Wipe(password);
        return hr;
    }
    ForgetCredentials();
    user_name_.reset(user.release());
    password_.reset(password.release());
    (void)log_.SetUser(user_name_.get());
    return S_OK;
}

HRESULT CPoll::GetSupportFiles() {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::GetSupportFiles";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgDownloadingSupport);
    // The dealer's own credentials (if any) wait aside while the built-in
    // ones fetch the support files.
    CStringHolder saved_user(user_name_.release());
    CStringHolder saved_password(password_.release());
    auto restore = [&]() {
        ForgetCredentials();
        user_name_.reset(saved_user.release());
        password_.reset(saved_password.release());
        (void)log_.SetUser(user_name_.get());
    };
    std::size_t length = 0;
    const unsigned char* built_in = BuiltInCredentials(&length);
    HRESULT hr = GetUserNamePasswordFromEncrStr(built_in, length);
    if (FAILED(hr) || user_name_.get() == nullptr || *user_name_.get() == '\0') {
        restore();
        return FAILED(hr) ? hr : zel::log::ReportStatus(&log_, kPasswordFormat, kContext);
    }
    CStringHolder envelope;
    hr = BuildListEnvelope(&log_, unit_contract_.get(), envelope.Out());
    CStringHolder response;
    if (SUCCEEDED(hr)) hr = DoGetFileListFromQuvaro(envelope.get(), nullptr, response.Out(), true);
    if (SUCCEEDED(hr)) hr = CheckXMLResponse(response.get());
    if (SUCCEEDED(hr)) {
        // The listed files go to the install directory, for this step only.
        CStringHolder saved_dir(operation_dir_.release());
        hr = CopyString(GetPollLayout().install_dir.c_str(), &operation_dir_, false);
        // The password file among them must never be readable by others,
        // not even while it is on its way in: the cipher key is the same in
        // every copy of the program.
        owner_only_files_ = true;
        if (SUCCEEDED(hr)) hr = GetFilesInList(response.get());
        owner_only_files_ = false;
        operation_dir_.reset(saved_dir.release());
    }
    restore();
    return hr;
}
