// The directory's refresh from the central side: the three documents, their
// plain-text tag scanning, and the requests that fetch them.  Every record
// learned is written to the registry as soon as it is extracted.  See
// server_directory.h.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "directory/server_directory.h"
#include "log/event_log.h"
#include "log/report.h"
#include "platform/fs.h"
#include "support/files.h"
#include "transport/access_method.h"
#include "transport/internet_access.h"

using namespace zel::codes;
using namespace zel::log;

using CServerInfo = CQVReg::CServerInfo;
using CQueryInfo = CQVReg::CQueryInfo;

namespace {

constexpr const char* kResultsOpen = "<m:Results>";
constexpr const char* kResultsClose = "</m:Results>";
constexpr const char* kRecordOpen = "<R>";
constexpr const char* kRecordClose = "</R>";

// Buffers of the entry-point description: address and path up to 259
// characters, the flag up to 3.
constexpr std::size_t kMaxDescriptionText = 259;
constexpr std::size_t kMaxDescriptionFlag = 3;

// Attempts of one document fetch; 503 and 504 are retried after a short wait.
constexpr int kFetchAttempts = 3;
constexpr auto kRetryWait = std::chrono::milliseconds(5);

// "1" or "Y" in any case.
bool IsTrueFlag(const char* text) {
    return text != nullptr && (std::strcmp(text, "1") == 0 || std::strcmp(text, "Y") == 0 ||
                               std::strcmp(text, "y") == 0);
}

// A port text as the decimal number at its start (after blanks): "44x" is
// 44, a text without digits is 0 (the default port).  Only a number above
// 65535 is refused, since no port could be meant by it.
bool ParsePortText(const char* text, std::int32_t* port) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    const char* end = p;
    while (*end >= '0' && *end <= '9') ++end;
    std::uint32_t value = 0;
    if (end != p) {
        const auto [stop, err] = std::from_chars(p, end, value);
        (void)stop;
        if (err != std::errc() || value > 65535) return false;
    }
    *port = static_cast<std::int32_t>(value);
    return true;
}

// The number of records a scan of the results element would visit.
std::size_t CountRecords(const char* start, const char* end) {
    std::size_t n = 0;
    for (const char* at = std::strstr(start + 1, kRecordOpen); at != nullptr && at <= end;
         at = std::strstr(at + 1, kRecordOpen)) {
        ++n;
    }
    return n;
}

enum class TagValue { kFound, kMissing, kTooLong };

// The untrimmed text between the first "<name>" and the first "</name>"
// after it, when it fits size - 1 characters.  Too long is told apart from
// missing so that an overlong value is refused, never cut.
TagValue FirstTagValue(const char* name, const char* text, char* buffer, std::size_t size) {
    if (GetTagValue(name, text, buffer, size) != 0) return TagValue::kFound;
    std::string open = std::string("<") + name + ">";
    std::string close = std::string("</") + name + ">";
    const char* at = std::strstr(text, open.c_str());
    if (at != nullptr && std::strstr(at + open.size(), close.c_str()) != nullptr) {
        return TagValue::kTooLong;
    }
    return TagValue::kMissing;
}

// Whether the file can be opened for reading.
// A server list kept in the install directory counts only when it is a
// regular file that can be read: a FIFO would block the refresh for ever and
// a directory cannot be read, so both fall through to the request.
bool IsReadable(const char* path) {
    if (path == nullptr) return false;
    zel::fs::UniqueFd fd;
    return zel::fs::OpenForReading(path, &fd) == 0;
}

std::uint32_t NowSeconds() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

}  // namespace

// ---------------------------------------------------------------------------
// Tag scanning

// One document's registry writes as one transaction: other processes see the
// directory before or after the document, never between its records, and the
// records cost one commit instead of one each.  Records written before a
// failing one stay, as they would with separate writes; a failed commit
// loses them all and is a failure of its own.  Requests are never made
// inside, so the store's write lock is held for the scan alone.
template <class Writes>
HRESULT CQVReg::WriteDocument(Writes&& writes) {
    const char* context = "CQVReg::UpdateRegistry";
    written_in_document_.clear();
    zel::reg::Transaction tx;
    if (tx.Begin() != zel::reg::kSuccess) {
        Note(log_, kCategoryClientApplication, context, "%s",
             "Registry transaction could not be started.");
        return kFail;
    }
    HRESULT hr = writes();
    written_in_document_.clear();
    if (tx.Commit() != zel::reg::kSuccess) {
        Note(log_, kCategoryClientApplication, context, "%s",
             "Registry changes could not be committed.");
        return FAILED(hr) ? hr : kFail;
    }
    return hr;
}

HRESULT CQVReg::ExtractPropertyVal(const char* tag, const char* start, const char* end,
                                   HRESULT missing_status, HRESULT malformed_status, char** value) {
    const char* context = "CQVReg::ExtractPropertyVal";
    if (value == nullptr) return ReportStatus(log_, kInvalidArg, context);
    *value = nullptr;
    if (tag == nullptr || start == nullptr) return ReportStatus(log_, kInvalidArg, context);
    const std::string open = std::string("<") + tag + ">";
    const std::string close = std::string("</") + tag + ">";
    const char* open_at = std::strstr(start, open.c_str());
    const char* close_at = std::strstr(start, close.c_str());
    if (open_at == nullptr) {
        return ReportStatus(log_, close_at != nullptr ? malformed_status : missing_status, context);
    }
    if (close_at == nullptr || close_at < open_at + open.size() ||
        (end != nullptr && close_at + close.size() > end)) {
        return ReportStatus(log_, malformed_status, context);
    }
    return MakeString(open_at + open.size(), close_at, value, true);
}

HRESULT CQVReg::FindResultsEnds(const char* text, HRESULT malformed, const char* context,
                                const char** start, const char** end) {
    const char* open_at = std::strstr(text, kResultsOpen);
    const char* close_at = std::strstr(text, kResultsClose);
    if (open_at == nullptr && close_at == nullptr) return S_FALSE;  // an empty list
    if (open_at == nullptr || close_at == nullptr || close_at < open_at) {
        return ReportStatus(log_, malformed, context);
    }
    *start = open_at;
    *end = close_at;
    return S_OK;
}

HRESULT CQVReg::ExtractItems(const char* start, const char* end, bool servers) {
    const char* context =
        servers ? "CQVReg::ExtractServerInfoItems" : "CQVReg::ExtractQueryInfoItems";
    const HRESULT malformed = servers ? kServerXmlInvalid : kQueryXmlInvalid;
    Trace(log_, kCategoryClientApplication, context,
          servers ? kMsgExtractingServerInfos : kMsgExtractingQueryInfos);
    const char* pos = start + 1;
    for (;;) {
        const char* open_at = std::strstr(pos, kRecordOpen);
        const char* close_at = std::strstr(pos, kRecordClose);
        if ((open_at == nullptr) != (close_at == nullptr) ||
            (open_at != nullptr && close_at < open_at)) {
            return ReportStatus(log_, malformed, context);
        }
        if (open_at == nullptr || open_at > end) return S_OK;
        HRESULT hr =
            servers ? ExtractServerInfo(open_at, close_at) : ExtractQueryInfo(open_at, close_at);
        if (FAILED(hr)) return hr;
        pos = close_at + std::strlen(kRecordClose);
    }
}

HRESULT CQVReg::ScanDocument(const char* text, bool servers) {
    const char* context = servers ? "CQVReg::UpdateRegistryFromServerXMLData"
                                  : "CQVReg::UpdateRegistryFromQueryXMLData";
    const HRESULT malformed = servers ? kServerXmlInvalid : kQueryXmlInvalid;
    if (text == nullptr) return ReportStatus(log_, kInvalidArg, context);
    Trace(log_, kCategoryClientApplication, context,
          servers ? kMsgUpdatingFromServerXml : kMsgUpdatingFromQueryXml);
    // The bounds are checked before anything is written, so a refused
    // document leaves the directory as it was.
    const std::size_t size = std::strlen(text);
    if (size > kMaxDirectoryDocumentBytes) {
        Note(log_, kCategoryClientApplication, context,
             "Document of %zu bytes refused: the limit is %zu bytes.", size,
             kMaxDirectoryDocumentBytes);
        return ReportStatus(log_, malformed, context);
    }
    const char* start = nullptr;
    const char* end = nullptr;
    HRESULT hr = FindResultsEnds(
        text, malformed,
        servers ? "CQVReg::FindServerInfoResultsEnds" : "CQVReg::FindQueryInfoResultsEnds", &start,
        &end);
    if (hr != S_OK) return hr;
    const std::size_t records = CountRecords(start, end);
    if (records > kMaxDirectoryRecords) {
        Note(log_, kCategoryClientApplication, context,
             "Document of %zu records refused: the limit is %zu records.", records,
             kMaxDirectoryRecords);
        return ReportStatus(log_, malformed, context);
    }
    return WriteDocument([&] { return ExtractItems(start, end, servers); });
}

HRESULT CQVReg::UpdateRegistryFromServerXMLData(const char* text) {
    return ScanDocument(text, true);
}

HRESULT CQVReg::UpdateRegistryFromQueryXMLData(const char* text) {
    return ScanDocument(text, false);
}

HRESULT CQVReg::ExtractServerInfo(const char* record_start, const char* record_end) {
    const char* context = "CQVReg::ExtractServerInfo";
    const HRESULT bad = kServerXmlInvalid;
    if (record_start == nullptr) return ReportStatus(log_, kInvalidArg, context);

    CStringHolder raw_name;
    HRESULT hr = ExtractPropertyVal("SRVI", record_start, record_end, bad, bad, raw_name.Out());
    if (FAILED(hr)) return hr;
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - Name", raw_name.get());
    // Interface names carry an "I" prefix: "IPOLL" is the server "POLL".
    const char* name = raw_name.get();
    if (name[0] == 'I' || name[0] == 'i') ++name;
    if (limit_server_names_.Count() != 0 && !limit_server_names_.Contains(name)) return S_OK;
    if (!IsKeyLevelName(name)) return ReportStatus(log_, bad, context);
    Trace(log_, kCategoryClientApplication, context, kMsgExtractingServerInfo, raw_name.get());

    CServerInfo* info = nullptr;
    std::unique_ptr<CServerInfo> created;
    if (FAILED(GetServerInfoByName(name, false, &info))) {
        created.reset(new (std::nothrow) CServerInfo(log_));
        if (!created) return ReportStatus(log_, kOutOfMemory, context);
        info = created.get();
    }
    hr = info->SetName(name);
    if (FAILED(hr)) return hr;

    CStringHolder version;
    hr = ExtractPropertyVal("SRVV", record_start, record_end, bad, bad, version.Out());
    if (FAILED(hr)) return hr;
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - Version",
              version.get());
    // A "\" would place the version below a deeper key; an empty version is
    // refused by AddServerProperties with its own status.
    if (std::strchr(version.get(), '\\') != nullptr) return ReportStatus(log_, bad, context);
    std::int32_t index = 0;
    hr = info->AddServerProperties(version.get(), &index);
    if (FAILED(hr)) return hr;

    CStringHolder ip;
    hr = ExtractPropertyVal("SRVIP", record_start, record_end, bad, bad, ip.Out());
    if (FAILED(hr)) return hr;
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - IP", ip.get());
    CStringHolder address;
    CStringHolder port_text;
    std::int32_t port = 0;
    if (std::strchr(ip.get(), ':') != nullptr) {
        hr = SplitString(ip.get(), ':', -1, address.Out(), port_text.Out());
        if (FAILED(hr)) return hr;
    } else {
        hr = GetString(ip.get(), address.Out(), true);
        if (FAILED(hr)) return hr;
    }
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - Address",
              address.c_str());
    // The port is noted as the number taken (0 when the text names none); a
    // text that is no port is noted as it stands before it is refused.
    const bool port_ok = ParsePortText(port_text.c_str(), &port);
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - Port",
              port_ok ? std::to_string(port).c_str() : port_text.c_str());
    if (!port_ok) return ReportStatus(log_, bad, context);
    // The loader reads no longer address back: stored, it would fail every
    // later load of the directory.
    if (std::strlen(address.c_str()) > kMaxStoredText) return ReportStatus(log_, bad, context);
    hr = info->SetIPAddress(index, address.get());
    if (FAILED(hr)) return hr;

    CStringHolder flag;
    hr = ExtractPropertyVal("SSLP", record_start, record_end, bad, bad, flag.Out());
    if (FAILED(hr)) return hr;
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - SSLP", flag.get());
    hr = info->SetSSLPublic(index, IsTrueFlag(flag.get()) ? 1 : 0);
    if (FAILED(hr)) return hr;
    hr = ExtractPropertyVal("SSLR", record_start, record_end, bad, bad, flag.Out());
    if (FAILED(hr)) return hr;
    DebugNote(log_, kCategoryClientApplication, "CQVReg::ExtractServerInfo - SSLR", flag.get());
    const bool secure = IsTrueFlag(flag.get());
    hr = info->SetSSLRequired(index, secure ? 1 : 0);
    if (FAILED(hr)) return hr;

    // Only the port of the advertised kind changes; the other keeps its value.
    if (port == 0) port = secure ? 443 : 80;
    hr = secure ? info->SetSecurePort(index, port) : info->SetPort(index, port);
    if (FAILED(hr)) return hr;

    CStringHolder url;
    hr = ExtractPropertyVal("SURL", record_start, record_end, bad, bad, url.Out());
    if (FAILED(hr)) return hr;
    hr = info->SetSystemInfoLocation(index, url.get());
    if (FAILED(hr)) return hr;

    hr = StoreExtracted(info, index);
    if (FAILED(hr)) return hr;
    if (created) {
        std::int32_t at = 0;
        hr = server_infos_.Add(std::move(created), &at);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CQVReg::ExtractQueryInfo(const char* record_start, const char* record_end) {
    const char* context = "CQVReg::ExtractQueryInfo";
    const HRESULT bad = kQueryXmlInvalid;
    if (record_start == nullptr) return ReportStatus(log_, kInvalidArg, context);

    CStringHolder name;
    HRESULT hr = ExtractPropertyVal("QN", record_start, record_end, bad, bad, name.Out());
    if (FAILED(hr)) return hr;
    if (limit_query_names_.Count() != 0 && !limit_query_names_.Contains(name.get())) return S_OK;
    if (!IsKeyLevelName(name.get())) return ReportStatus(log_, bad, context);
    Trace(log_, kCategoryClientApplication, context, kMsgExtractingQueryInfo, name.get());

    CQueryInfo* info = nullptr;
    std::unique_ptr<CQueryInfo> created;
    if (FAILED(GetQueryInfoByName(name.get(), false, &info))) {
        created.reset(new (std::nothrow) CQueryInfo(log_));
        if (!created) return ReportStatus(log_, kOutOfMemory, context);
        info = created.get();
    }
    hr = info->SetName(name.get());
    if (FAILED(hr)) return hr;

    CStringHolder version;
    hr = ExtractPropertyVal("QV", record_start, record_end, bad, bad, version.Out());
    if (FAILED(hr)) return hr;
    if (std::strchr(version.get(), '\\') != nullptr) return ReportStatus(log_, bad, context);
    std::int32_t index = 0;
    hr = info->AddQueryProperties(version.get(), &index);
    if (FAILED(hr)) return hr;

    CStringHolder value;
    hr = ExtractPropertyVal("QURL", record_start, record_end, bad, bad, value.Out());
    // As the server address: a location the loader cannot read back is
    // refused rather than stored.
    if (SUCCEEDED(hr) && std::strlen(value.c_str()) > kMaxStoredText) {
        hr = ReportStatus(log_, bad, context);
    }
    if (SUCCEEDED(hr)) hr = info->SetQueryLocation(index, value.get());
    if (SUCCEEDED(hr))
        hr = ExtractPropertyVal("SSLP", record_start, record_end, bad, bad, value.Out());
    if (SUCCEEDED(hr)) hr = info->SetSSLPublic(index, IsTrueFlag(value.get()) ? 1 : 0);
    if (SUCCEEDED(hr))
        hr = ExtractPropertyVal("SSLR", record_start, record_end, bad, bad, value.Out());
    if (SUCCEEDED(hr)) hr = info->SetSSLRequired(index, IsTrueFlag(value.get()) ? 1 : 0);
    if (SUCCEEDED(hr)) hr = StoreExtracted(info, index);
    if (FAILED(hr)) return hr;
    if (created) {
        std::int32_t at = 0;
        hr = query_infos_.Add(std::move(created), &at);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CQVReg::CheckIfInterfaceSupported(const char* text, const char* name) {
    const char* context = "CQVReg::CheckIfInterfaceSupported";
    if (text == nullptr || name == nullptr) return ReportStatus(log_, kInvalidArg, context);
    Trace(log_, kCategoryClientApplication, context, kMsgCheckingInterface, name);
    CStringHolder value;
    HRESULT hr = ExtractPropertyVal(name, text, nullptr, kInterfaceNotSupported,
                                    kSystemInfoXmlInvalid, value.Out());
    if (FAILED(hr)) return hr;
    if (!IsTrueFlag(value.get())) return ReportStatus(log_, kInterfaceNotSupported, context);
    return S_OK;
}

HRESULT CQVReg::GetQURLFromSystemInfo(const char* text, char** url) {
    const char* context = "CQVReg::GetQURLFromSystemInfo";
    if (url == nullptr) return ReportStatus(log_, kInvalidArg, context);
    *url = nullptr;
    if (text == nullptr) return ReportStatus(log_, kInvalidArg, context);
    Trace(log_, kCategoryClientApplication, context, kMsgGettingQueryUrl);
    return ExtractPropertyVal("QURL", text, nullptr, kNoQueryUrl, kSystemInfoXmlInvalid, url);
}

// ---------------------------------------------------------------------------
// Requests

HRESULT CQVReg::MakeEngine(const char* address, std::int32_t port, bool secure,
                           CInternetAccess** engine) {
    const char* context = "CQVReg::MakeEngine";
    *engine = nullptr;
    std::unique_ptr<CInternetAccess> made(new (std::nothrow) CInternetAccess(log_));
    if (!made) return ReportStatus(log_, kOutOfMemory, context);
    CStringHolder proxy;
    const std::int32_t access = GetAccessType(log_, false, secure, proxy.Out());
    HRESULT hr = made->Initialize("QVReg", access, proxy.get(), nullptr);
    if (FAILED(hr)) return hr;
    if (port == 0) port = secure ? 443 : 80;
    hr = made->SetServer(address);
    if (SUCCEEDED(hr)) hr = made->SetPort(port);
    if (SUCCEEDED(hr)) hr = made->SetSecure(secure);
    if (SUCCEEDED(hr)) hr = made->SetReqContentType("*/*");
    if (FAILED(hr)) return hr;
    *engine = made.release();
    return S_OK;
}

HRESULT CQVReg::GetInfoFromServer(CInternetAccess* engine, const char* resource, char** text) {
    const char* context = "CQVReg::GetInfoFromServer";
    if (text == nullptr) return ReportStatus(log_, kInvalidArg, context);
    *text = nullptr;
    if (engine == nullptr) return ReportStatus(log_, kInvalidArg, context);
    HRESULT hr = engine->SetResource(resource);
    if (FAILED(hr)) return hr;
    for (int attempt = 1;; ++attempt) {
        hr = engine->Process();
        if (FAILED(hr)) return hr;
        std::int32_t code = 0;
        hr = engine->GetStatusCode(&code);
        if (FAILED(hr)) return hr;
        if (code == 200) break;
        if ((code == 503 || code == 504) && attempt < kFetchAttempts) {
            std::this_thread::sleep_for(kRetryWait);
            continue;
        }
        CStringHolder status_text;
        (void)engine->GetStatusText(status_text.Out());
        const HRESULT status = HttpStatusResult(code);
        ReportCode(log_, status, context, kMsgHttpError, static_cast<int>(code),
                   status_text.c_str());
        return status;
    }
    CInternetAccess::CContentStream* content = nullptr;
    hr = engine->GetRespContent(&content);
    if (FAILED(hr)) return hr;
    return GetStringFromByteStream(content, false, text);
}

HRESULT CQVReg::UpdateRegWithServerInfoFromServer(const char* description) {
    const char* context = "CQVReg::UpdateRegWithServerInfoFromServer";
    if (description == nullptr) return ReportStatus(log_, kInvalidArg, context);

    char ip[kMaxDescriptionText + 1];
    char url[kMaxDescriptionText + 1];
    char ssl[kMaxDescriptionFlag + 1];
    const TagValue found[] = {FirstTagValue("SRVIP", description, ip, sizeof ip),
                              FirstTagValue("SURL", description, url, sizeof url),
                              FirstTagValue("SSLR", description, ssl, sizeof ssl)};
    for (TagValue v : found) {
        if (v == TagValue::kMissing) return kServerXmlInvalid;
    }
    for (TagValue v : found) {
        if (v == TagValue::kTooLong) return ReportStatus(log_, kServerXmlInvalid, context);
    }

    const bool secure = ssl[0] == 'Y' || ssl[0] == 'y';
    std::int32_t port = 0;
    if (char* colon = std::strchr(ip, ':'); colon != nullptr) {
        *colon = '\0';
        if (!ParsePortText(colon + 1, &port)) return ReportStatus(log_, kServerXmlInvalid, context);
    }
    if (port == 0) port = secure ? 443 : 80;
    Trace(log_, kCategoryClientApplication, context, kMsgUpdatingFromServerList, ip);

    CInternetAccess* raw_engine = nullptr;
    HRESULT hr = MakeEngine(ip, port, secure, &raw_engine);
    if (FAILED(hr)) return hr;
    std::unique_ptr<CInternetAccess> engine(raw_engine);
    const bool length_switch = engine->GetContentLengthSwitch();
    engine->SetContentLengthSwitch(false);

    CStringHolder list;
    if (IsReadable(server_info_file_.get())) {
        // A server list kept in the install directory replaces the request.
        hr = GetStringDataFromFile(server_info_file_.get(), false, list.Out());
        if (SUCCEEDED(hr)) hr = UpdateRegistryFromServerXMLData(list.get());
    } else {
        hr = GetInfoFromServer(engine.get(), url, list.Out());
        if (SUCCEEDED(hr)) {
            hr = UpdateRegistryFromServerXMLData(list.get());
        } else if (fallback_record_) {
            const char* record = fallback_record_.get();
            hr = WriteDocument(
                [&] { return ExtractServerInfo(record, record + std::strlen(record)); });
        }
    }
    engine->SetContentLengthSwitch(length_switch);
    return hr;
}

HRESULT CQVReg::UpdateRegWithQInfoFromServer(const char* server_name, const char* version) {
    const char* context = "CQVReg::UpdateRegWithQInfoFromServer";
    if (server_name == nullptr || version == nullptr)
        return ReportStatus(log_, kInvalidArg, context);
    CStringHolder name;
    CStringHolder ver;
    HRESULT hr = GetString(server_name, name.Out(), true);
    if (SUCCEEDED(hr)) hr = GetString(version, ver.Out(), true);
    if (SUCCEEDED(hr) && ver.get()[0] == '\0') hr = CopyString(kDefaultVersion, &ver, false);
    if (FAILED(hr)) return hr;

    CServerInfo* info = nullptr;
    std::int32_t index = 0;
    std::int32_t secure = 0;
    CStringHolder address;
    if (name.get()[0] == '\0') {
        hr = ReportStatus(log_, kInvalidArg, context);
    } else {
        hr = GetServerInfoByName(name.get(), false, &info);
        if (SUCCEEDED(hr)) hr = info->FindByVersion(ver.get(), &index);
        if (SUCCEEDED(hr)) hr = info->GetSSLRequired(index, &secure);
        if (SUCCEEDED(hr)) hr = info->GetIPAddress(index, address.Out());
    }
    Trace(log_, kCategoryClientApplication, context, kMsgUpdatingServerInfo, name.get());
    if (FAILED(hr)) return hr;
    std::int32_t port = 0;
    CStringHolder system_info_location;
    hr = secure != 0 ? info->GetSecurePort(index, &port) : info->GetPort(index, &port);
    if (SUCCEEDED(hr)) hr = info->GetSystemInfoLocation(index, system_info_location.Out());
    if (FAILED(hr)) return hr;

    Trace(log_, kCategoryClientApplication, context, kMsgUpdatingFromQueryList, address.c_str());
    CInternetAccess* raw_engine = nullptr;
    hr = MakeEngine(address.get(), port, secure != 0, &raw_engine);
    if (FAILED(hr)) return hr;
    std::unique_ptr<CInternetAccess> engine(raw_engine);
    const bool length_switch = engine->GetContentLengthSwitch();
    engine->SetContentLengthSwitch(false);

    Trace(log_, kCategoryClientApplication, context, kMsgGettingSystemInfo, address.c_str());
    CStringHolder system_info;
    hr = GetInfoFromServer(engine.get(), system_info_location.get(), system_info.Out());
    for (std::int32_t i = 0; SUCCEEDED(hr) && i < interface_names_.Count(); ++i) {
        hr = CheckIfInterfaceSupported(system_info.get(), interface_names_.At(i));
    }
    CStringHolder query_list_path;
    if (SUCCEEDED(hr)) hr = GetQURLFromSystemInfo(system_info.get(), query_list_path.Out());
    CStringHolder query_list;
    if (SUCCEEDED(hr)) {
        Trace(log_, kCategoryClientApplication, context, kMsgGettingQueryList, address.c_str());
        hr = GetInfoFromServer(engine.get(), query_list_path.get(), query_list.Out());
    }
    engine->SetContentLengthSwitch(length_switch);
    if (FAILED(hr)) return hr;

    // The query records and the time stamp become visible together.  The
    // stamp comes last, so that a refresh that failed halfway is repeated
    // next time.
    return WriteDocument([&] {
        HRESULT result = UpdateRegistryFromQueryXMLData(query_list.get());
        if (FAILED(result)) return result;
        const std::uint32_t now = NowSeconds();
        result = info->SetLastUpdatedTime(index, now);
        if (SUCCEEDED(result)) result = UpdateLastTimeUpdateRegEntry(name.get(), ver.get(), now);
        return result;
    });
}
