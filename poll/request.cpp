// CPoll's requests: transport set-up for one request (Initialize), the
// query string, the Authorization header, the send with its retries, the
// four operations and the check of an XML answer for a server fault.

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "log/report.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "poll/file_progress.h"
#include "poll/poll.h"
#include "poll/poll_status.h"
#include "support/base64.h"
#include "support/files.h"
#include "support/result_codes.h"
#include "transport/access_method.h"

using namespace zel::poll;
using namespace zel::codes;

namespace {

constexpr std::size_t kEnvelopeBuffer = 512;

const char kListEnvelope[] =
    "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
    "<m:GetFileListFromQuvaro xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>%s</DN>"
    "</R1></m:GetFileListFromQuvaro></SOAP:Body></SOAP:Envelope>";
const char kPostProcessEnvelope[] =
    "<SOAP:Envelope xmlns:SOAP=\"urn:schemas-xmlsoap-org:soap.v1\"><SOAP:Body>"
    "<m:PostProcessQuvaroFile xmlns:m=\"urn:poll-input\"><R1><!-- Dealer Name --><DN>%s</DN>"
    "<!-- File Name --><FN>%s</FN></R1></m:PostProcessQuvaroFile></SOAP:Body></SOAP:Envelope>";

bool IsEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

// Formats an envelope; a text that does not fit the buffer is refused, never
// sent cut short.
HRESULT FormatEnvelope(CEventLog* log, const char* context, char** out, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
HRESULT FormatEnvelope(CEventLog* log, const char* context, char** out, const char* format, ...) {
    if (out == nullptr) return zel::log::ReportStatus(log, kInvalidArg, context);
    *out = nullptr;
    char buffer[kEnvelopeBuffer];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
        return zel::log::ReportStatus(log, kInvalidArg, context);
    }
    return GetString(buffer, out, false);
}

}  // namespace

HRESULT BuildListEnvelope(CEventLog* log, const char* unit_contract, char** out) {
    return FormatEnvelope(log, "BuildListEnvelope", out, kListEnvelope,
                          unit_contract != nullptr ? unit_contract : "");
}

HRESULT BuildPostProcessEnvelope(CEventLog* log, const char* unit_contract, const char* file_name,
                                 char** out) {
    return FormatEnvelope(log, "BuildPostProcessEnvelope", out, kPostProcessEnvelope,
                          unit_contract != nullptr ? unit_contract : "",
                          file_name != nullptr ? file_name : "");
}

void AppendQueryValue(const char* value, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char* p = value; p != nullptr && *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool escape =
            c <= 0x20 || c >= 0x7F || c == '&' || c == '=' || c == '+' || c == '%' || c == '#';
        if (escape) {
            out->push_back('%');
            out->push_back(kHex[c >> 4]);
            out->push_back(kHex[c & 0x0F]);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}

HRESULT CPoll::PrepareURI(const char* resource, const char* unit_contract, const char* file_name,
                          const char* filter, const char* checksum, const char* attributes,
                          char** out) {
    static constexpr const char* kContext = "CPoll::PrepareURI";
    if (out == nullptr) return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    *out = nullptr;
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgBuildingQueryString);
    std::string uri = resource != nullptr ? resource : "";
    uri.push_back('?');
    const std::pair<const char*, const char*> pairs[] = {{"UnitContract", unit_contract},
                                                         {"FileName", file_name},
                                                         {"Filter", filter},
                                                         {"CheckSum", checksum},
                                                         {"Filter", attributes}};
    for (const auto& [name, value] : pairs) {
        if (IsEmpty(value)) continue;
        uri += name;
        uri.push_back('=');
        AppendQueryValue(value, &uri);
        uri.push_back('&');
    }
    uri += "QueryVersion=001";
    return GetString(uri.c_str(), out, false);
}

HRESULT CPoll::PrepareHeaders() {
    static constexpr const char* kContext = "CPoll::PrepareHeaders";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgBuildingHeaders);
    transport_.RemoveAllReqHeaders();
    if (IsEmpty(user_name_.get())) return S_OK;
    std::string pair = user_name_.get();
    pair.push_back(':');
    pair += password_.c_str();
    CBase64 base64;
    HRESULT hr = base64.Encode(pair.c_str());
    // The plain pair must not linger in freed memory.
    std::fill(pair.begin(), pair.end(), '\0');
    if (FAILED(hr)) return zel::log::ReportStatus(&log_, hr, kContext);
    const std::string value = std::string("BASIC ") + base64.GetText();
    return transport_.AddReqHeader("Authorization", value.c_str(), nullptr);
}

HRESULT CPoll::SendRequest() {
    static constexpr const char* kContext = "CPoll::SendRequest";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgSendingPollRequest);
    // The transport's request-header trace writes the Authorization value as
    // "<not logged>", so the traces stay on while credentials are sent.
    for (int attempt = 0; attempt < 3; ++attempt) {
        HRESULT hr = transport_.Process();
        if (FAILED(hr)) return hr;
        std::int32_t code = 0;
        hr = transport_.GetStatusCode(&code);
        if (FAILED(hr)) return hr;
        if ((code == 503 || code == 504) && attempt < 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (code == 200) return S_OK;
        CStringHolder text;
        if (FAILED(transport_.GetStatusText(text.Out()))) text.reset();
        const HRESULT status = HttpStatusResult(code);
        ReportCode(&log_, status, kContext, kMsgHttpError, static_cast<int>(code), text.c_str());
        return status;
    }
    return S_OK;  // not reached: the third attempt always returns
}

HRESULT CPoll::Initialize(std::int32_t verb, const char* operation, const char* file_name,
                          const char* filter, const char* checksum, const char* attributes,
                          int direction, bool force_refresh) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::Initialize";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgPreparingRequest);
    const PollLayout layout = GetPollLayout();

    CStringHolder checked;
    HRESULT hr = CheckDirectory(layout.install_dir.c_str(), checked.Out());
    if (FAILED(hr)) return hr;
    if (!operation_dir_ && !registry_dir_ && FAILED(GetWorkDirFromReg())) {
        const std::string& fallback =
            direction == kDownload ? layout.download_dir : layout.upload_dir;
        hr = CheckDirectory(fallback.c_str(), checked.Out());
        if (FAILED(hr)) return hr;
    }

    if (IsEmpty(unit_contract_.get())) {
        hr = GetUnitContractFromControlFile();
        if (FAILED(hr)) return hr;
    }

    if (IsEmpty(user_name_.get())) {
        // Only a password file that is not there at all calls for the
        // bootstrap; its presence is an answer, not a failure, so nothing is
        // reported either way (one that cannot be read fails just below).
        if (!zel::fs::Exists(layout.password_file)) {
            hr = GetSupportFiles();
            if (FAILED(hr)) {
                const char* text = log_.Catalogue().Find(kMsgSupportNotConfigured);
                WriteResult(direction, 1000, text != nullptr ? text : "");
                return hr;
            }
            // The Windows client ended the browser session here so that
            // cached credentials were forgotten; every request of our
            // transport carries its own Authorization header, so nothing is
            // cached that could be ended.
        }
        hr = GetUserNamePasswordFromFile();
        if (FAILED(hr)) return hr;
    }

    std::int32_t access_type = 0;
    CStringHolder proxy;
    bool secure = false;
    {
        CQVReg directory(&log_);
        hr = LoadAndRefreshDirectory(&directory, operation, force_refresh,
                                     static_cast<std::uint32_t>(std::time(nullptr)), nullptr);
        if (FAILED(hr)) return hr;

        zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgGettingServerCache,
                        kPollServerName, kDefaultVersion);
        CQVReg::CServerInfo* server = nullptr;
        CQVReg::CQueryInfo* query = nullptr;
        std::int32_t server_index = 0;
        std::int32_t query_index = 0;
        hr = directory.GetServerInfoByName(kPollServerName, false, &server);
        if (SUCCEEDED(hr)) hr = server->FindByVersion(kDefaultVersion, &server_index);
        if (SUCCEEDED(hr)) hr = directory.GetQueryInfoByName(operation, false, &query);
        if (SUCCEEDED(hr)) hr = query->FindByVersion(kDefaultVersion, &query_index);
        std::int32_t ssl_required = 0;
        if (SUCCEEDED(hr)) hr = query->GetSSLRequired(query_index, &ssl_required);
        if (FAILED(hr)) return hr;
        secure = ssl_required != 0;

        {
            // The access settings are a handful of registry reads made for
            // every request: as one read they cost one round of locks.
            zel::reg::ReadBatch batch;
            access_type = GetAccessType(&log_, true, secure, proxy.Out());
        }
        log_.WriteRecord(kSeverityInformation, kCategoryClientApplication, 2, kContext, access_type,
                         "Access type: %s", AccessTypeOpenTypeName(access_type));
        transport_.Uninitialize();
        hr = transport_.Initialize("Poll", access_type, proxy.get(), nullptr);
        if (FAILED(hr)) return hr;
        CStringHolder address;
        hr = server->GetIPAddress(server_index, address.Out());
        if (SUCCEEDED(hr)) hr = transport_.SetServer(address.get());
        if (FAILED(hr)) return hr;

        zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgGettingQueryCache,
                        operation, kDefaultVersion);
        CStringHolder location;
        CStringHolder resource;
        hr = query->GetQueryLocation(query_index, location.Out());
        if (SUCCEEDED(hr)) {
            hr = PrepareURI(location.get(), unit_contract_.get(), file_name, filter, checksum,
                            attributes, resource.Out());
        }
        if (SUCCEEDED(hr)) hr = transport_.SetResource(resource.get());
        if (SUCCEEDED(hr)) hr = transport_.SetSecure(secure);
        std::int32_t port = 0;
        if (SUCCEEDED(hr)) {
            hr = secure ? server->GetSecurePort(server_index, &port)
                        : server->GetPort(server_index, &port);
        }
        if (FAILED(hr)) return hr;
        if (port == 0) port = secure ? 443 : 80;
        hr = transport_.SetPort(port);
        if (FAILED(hr)) return hr;
    }

    hr = transport_.SetVerb(verb);
    if (SUCCEEDED(hr)) hr = PrepareHeaders();
    if (SUCCEEDED(hr)) hr = transport_.ClearReqContent();
    return hr;
}

HRESULT CPoll::RunOperation(const char* context, std::int32_t verb, const char* operation,
                            const char* file_name, const char* filter, const char* checksum,
                            const char* attributes, int direction, const void* body,
                            std::int32_t body_length, const char* body_file,
                            const char* response_file, const char* content_type, bool retry,
                            CContentSink* response_sink) {
    HRESULT hr = S_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        hr = Initialize(verb, operation, file_name, filter, checksum, attributes, direction,
                        attempt > 0);
        if (FAILED(hr)) return hr;
        if (body != nullptr) hr = transport_.SetReqContent(body, body_length);
        if (SUCCEEDED(hr) && body_file != nullptr) {
            hr = transport_.SetReqRedirect(body_file, false, true);
        }
        if (SUCCEEDED(hr) && response_file != nullptr) {
            hr = transport_.SetRespRedirect(response_file);
        }
        if (SUCCEEDED(hr) && response_sink != nullptr) hr = transport_.SetRespSink(response_sink);
        if (SUCCEEDED(hr)) hr = transport_.SetReqContentType(content_type);
        if (FAILED(hr)) {
            if (body_file != nullptr) transport_.CloseReqRedirect();
            if (response_file != nullptr) transport_.CloseRespRedirect();
            if (response_sink != nullptr) transport_.CloseRespSink();
            return hr;
        }
        transport_.SetContentLengthSwitch(false);
        hr = SendRequest();
        transport_.SetContentLengthSwitch(true);
        if (body_file != nullptr) transport_.CloseReqRedirect();
        if (response_file != nullptr) transport_.CloseRespRedirect();
        if (response_sink != nullptr) transport_.CloseRespSink();
        if (SUCCEEDED(hr)) return hr;
        std::int32_t code = 0;
        if (FAILED(transport_.GetStatusCode(&code))) code = 0;
        if (code == 401 || code == 403 || code == 555 || !retry) return hr;
    }
    (void)context;
    return hr;
}

HRESULT CPoll::ReadResponseText(const char* context, char** response) {
    CInternetAccess::CContentStream* stream = nullptr;
    HRESULT hr = transport_.GetRespContent(&stream);
    if (FAILED(hr)) return hr;
    hr = GetStringFromByteStream(stream, false, response);
    if (FAILED(hr)) return zel::log::ReportStatus(&log_, hr, context);
    return S_OK;
}

HRESULT CPoll::DoGetFileListFromQuvaro(const char* envelope, const char* filter, char** response,
                                       bool retry) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::DoGetFileListFromQuvaro";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgGettingFileList);
    if (envelope == nullptr || response == nullptr)
        return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    *response = nullptr;
    HRESULT hr =
        RunOperation(kContext, HTTP_VERB_POST, "GetFileListFromQuvaro", nullptr, filter, nullptr,
                     nullptr, kDownload, envelope, static_cast<std::int32_t>(std::strlen(envelope)),
                     nullptr, nullptr, "text/xml", retry);
    if (FAILED(hr)) return hr;
    // The answer waits in the transport's file; one too long for a list is
    // refused before it is read into memory.
    CInternetAccess::CContentStream* stream = nullptr;
    std::int32_t length = 0;
    hr = transport_.GetRespContent(&stream);
    if (SUCCEEDED(hr)) hr = stream->GetLength(&length);
    if (FAILED(hr)) return hr;
    if (static_cast<std::size_t>(length) > kMaxFileListBytes) {
        zel::log::Note(&log_, kCategoryClientApplication, kContext,
                       "File list of %d bytes refused: the limit is %zu bytes.",
                       static_cast<int>(length), kMaxFileListBytes);
        return zel::log::ReportStatus(&log_, kXmlInvalid, kContext);
    }
    return ReadResponseText(kContext, response);
}

HRESULT CPoll::DoPostProcessQuvaroFile(const char* envelope, char** response, bool retry) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::DoPostProcessQuvaroFile";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgPostProcessing);
    if (envelope == nullptr || response == nullptr)
        return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    *response = nullptr;
    HRESULT hr =
        RunOperation(kContext, HTTP_VERB_POST, "PostProcessQuvaroFile", nullptr, nullptr, nullptr,
                     nullptr, kDownload, envelope, static_cast<std::int32_t>(std::strlen(envelope)),
                     nullptr, nullptr, "text/xml", retry);
    if (FAILED(hr)) return hr;
    return ReadResponseText(kContext, response);
}

HRESULT CPoll::DoGetFileFromQuvaro(const char* server_file, bool retry, const char* local_file) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::DoGetFileFromQuvaro";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgDownloadingFile);
    if (server_file == nullptr) return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    // Only the last part of the server's name may become a local name, and
    // only when no target is given; a name that ends in "/" names nothing.
    const char* slash = std::strrchr(server_file, '/');
    const char* base = slash != nullptr ? slash + 1 : server_file;
    if (*base == '\0') return zel::log::ReportStatus(&log_, kInvalidFileName, kContext);
    CStringHolder target;
    if (local_file != nullptr) {
        HRESULT hr = GetString(local_file, target.Out(), false);
        if (FAILED(hr)) return hr;
    } else {
        HRESULT hr = GetFullFileName(WorkingDirectory(kDownload), base, target.Out());
        if (FAILED(hr)) return hr;
    }
    CFileProgress progress(&transport_, progress_listener_, base, kDownload, -1);
    return RunOperation(kContext, HTTP_VERB_GET, "GetFileFromQuvaro", server_file, nullptr, nullptr,
                        nullptr, kDownload, nullptr, 0, nullptr, target.get(),
                        "application/octet-stream", retry);
}

HRESULT CPoll::FetchListedFile(const char* server_file, CContentSink* sink) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::DoGetFileFromQuvaro";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgDownloadingFile);
    const char* slash = std::strrchr(server_file, '/');
    CFileProgress progress(&transport_, progress_listener_,
                           slash != nullptr ? slash + 1 : server_file, kDownload, -1);
    return RunOperation(kContext, HTTP_VERB_GET, "GetFileFromQuvaro", server_file, nullptr, nullptr,
                        nullptr, kDownload, nullptr, 0, nullptr, nullptr,
                        "application/octet-stream", false, sink);
}

HRESULT CPoll::DoPutFileFromDealer(const char* file_name, const char* dest_dir, bool retry) {
    std::lock_guard<std::recursive_mutex> lock(method_lock_);
    static constexpr const char* kContext = "CPoll::DoPutFileFromDealer";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgUploadingFile);
    if (file_name == nullptr) return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    if (*file_name == '\0') return zel::log::ReportStatus(&log_, kInvalidFileName, kContext);
    CStringHolder local;
    HRESULT hr = GetFullFileName(WorkingDirectory(kUpload), file_name, local.Out());
    if (FAILED(hr)) return hr;
    std::string remote;
    if (!IsEmpty(dest_dir)) {
        remote = dest_dir;
        if (remote.back() != '/') remote.push_back('/');
    }
    remote += file_name;
    // The file is opened once, refusing a symbolic link, and from then on
    // read only as that open file: a link put in its place meanwhile can
    // neither have its target's bytes sent nor its checksum computed.
    zel::fs::UniqueFd file;
    if (zel::fs::OpenForReadingNoFollow(local.get(), &file) != 0)
        return zel::log::ReportStatus(&log_, kOpenFile, kContext);
    const std::string opened = zel::fs::DescriptorPath(file.get());
    // A ".dtz" that this upload's packing pass has just written is not read
    // a second time for its CRC-32: packing counted it while writing, and
    // the file's version (the file, its size, its last change) shows that
    // nothing has written to it since.  Any other file is read for it.
    std::uint32_t crc = 0;
    bool crc_known = false;
    zel::fs::FileInfo info;
    bool have_info = false;
    const auto packed = packed_facts_.find(file_name);
    if (packed != packed_facts_.end()) {
        zel::fs::FileVersion now;
        have_info = zel::fs::VersionOf(file.get(), &now, &info) == 0;
        crc_known = have_info && now == packed->second.version;
        if (crc_known) crc = packed->second.crc;
        packed_facts_.erase(packed);
    }
    if (!crc_known) {
        hr = ComputeCheckSumCRC32(opened.c_str(), &crc);
        if (FAILED(hr)) return hr;
    }
    const std::string checksum = std::to_string(crc);
    std::string attributes;
    std::int64_t size = -1;
    if (have_info || zel::fs::GetOpenFileInfo(file.get(), &info) == 0) {
        // The owner's read, write and execute bits.
        if ((info.mode & 0400) != 0) attributes += 'R';
        if ((info.mode & 0200) != 0) attributes += 'W';
        if ((info.mode & 0100) != 0) attributes += 'X';
        size = info.size;
    }
    // From here on the file is on its way (the checksum before is local
    // work, not waiting for the server); the answer's check belongs to it.
    CFileProgress progress(&transport_, progress_listener_, file_name, kUpload, size);
    hr = RunOperation(kContext, HTTP_VERB_POST, "PutFileFromDealer", remote.c_str(), nullptr,
                      checksum.c_str(), attributes.c_str(), kUpload, nullptr, 0, opened.c_str(),
                      nullptr, "application/octet-stream", retry);
    if (FAILED(hr)) return hr;
    // The central side may refuse a file with status 200 and a server fault
    // in the answer; only an answer without one means the file was stored.
    // Any other answer (empty, or not XML at all) counts as accepted.
    CStringHolder answer;
    hr = ReadResponseText(kContext, answer.Out());
    if (SUCCEEDED(hr)) hr = CheckXMLResponse(answer.get());
    return hr;
}

HRESULT CPoll::CheckXMLResponse(const char* text) {
    static constexpr const char* kContext = "CPoll::CheckXMLResponse";
    zel::log::Trace(&log_, kCategoryClientApplication, kContext, kMsgCheckingXmlResponse);
    if (text == nullptr) return zel::log::ReportStatus(&log_, kInvalidArg, kContext);
    if (std::strstr(text, "<faultcode>") == nullptr) return S_OK;
    auto between = [](const char* from, const char* open, const char* close, char** out) {
        const char* start = std::strstr(from, open);
        if (start == nullptr) return false;
        start += std::strlen(open);
        const char* end = std::strstr(start, close);
        if (end == nullptr) return false;
        FreeString(out);
        return SUCCEEDED(MakeString(start, end, out, true));
    };
    CStringHolder code;
    CStringHolder description;
    // A fault without a readable error code cannot be told apart from
    // others: it is an invalid answer rather than a fault of number 0.
    if (!between(text, "<errorcode>", "</errorcode>", &code) || StringLength(code.get()) <= 4) {
        return zel::log::ReportStatus(&log_, kXmlInvalid, kContext);
    }
    (void)between(text, "<description>", "</description>", &description);
    std::uint32_t number = 0;
    for (const char* p = code.get() + 4; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10u + static_cast<std::uint32_t>(*p - '0');
    }
    const HRESULT status = ServerFaultResult(number);
    // The server's own words go into the record, but on one line: a line
    // break in them would start a record of the server's making.
    const std::string words = OneLine(description.c_str(), LineBreak::kBecomesBlank);
    ReportCodeText(&log_, status, kContext, "%s", words.c_str());
    return status;
}
