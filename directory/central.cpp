// Built-in central records, the cached entry-point description, the
// staleness rule and the refresh sequence: see central.h.
#include "directory/central.h"

#include <string>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "support/files.h"

using namespace zel::codes;
using namespace zel::log;

HRESULT GetDefaultServerXML(char** out) {
    const std::string text = std::string("<XML><R><SRVI>ISERVER</SRVI><SRVV>001</SRVV><SRVIP>") +
                             kDefaultEntryPointServer +
                             "</SRVIP> <SURL>/qvgqa/RetrieveServerInformation.xml</SURL>"
                             "<SSLR>N</SSLR><SSLP>N</SSLP></R></XML>";
    return GetString(text.c_str(), out, false);
}

HRESULT GetDefaultFallbackServerRecord(char** out) {
    const std::string text = std::string("<R><SRVI>IPOLL</SRVI><SRVV>001</SRVV><SRVIP>") +
                             kDefaultTransferServer +
                             ":443</SRVIP><SURL>/qvgqa/RetrieveSystemInformation.xml</SURL>"
                             "<SSLR>Y</SSLR><SSLP>Y</SSLP></R>";
    return GetString(text.c_str(), out, false);
}

HRESULT GetServerXML(CEventLog* log, char** out) {
    if (out == nullptr) return ReportStatus(log, kInvalidArg, "GetServerXML");
    *out = nullptr;
    Trace(log, kCategoryClientApplication, "GetServerXML", kMsgPreparingServerXml);
    const std::string path = zel::paths::Join(zel::paths::CommDir(), kServerXmlFileName);
    CStringHolder text;
    if (SUCCEEDED(GetStringDataFromFile(path.c_str(), false, text.Out()))) {
        *out = text.release();
        return S_OK;
    }
    HRESULT hr = GetDefaultServerXML(text.Out());
    if (FAILED(hr)) return hr;
    // Kept for the next run and as the place where a site names its own
    // entry point; the built-in text serves this run even when it cannot be
    // written.
    (void)WriteStringToFile(path.c_str(), text.get());
    *out = text.release();
    return S_OK;
}

bool IsRequireRegUpdate(CQVReg* directory, const char* server_name, const char* operation,
                        std::uint32_t now) {
    if (directory == nullptr) return true;
    Trace(directory->GetLog(), kCategoryClientApplication, "IsRequireRegUpdate",
          kMsgCheckingUpdate);
    CQVReg::CServerInfo* server = nullptr;
    std::int32_t index = 0;
    if (FAILED(directory->GetServerInfoByName(server_name, false, &server))) return true;
    if (FAILED(server->FindByVersion(kDefaultVersion, &index))) return true;
    std::uint32_t updated = 0;
    if (FAILED(server->GetLastUpdatedTime(index, &updated))) return true;
    // Unsigned on purpose: a time in the future wraps to a large age.
    if (static_cast<std::uint32_t>(now - updated) >= kDirectoryMaxAge) return true;
    CQVReg::CQueryInfo* query = nullptr;
    if (FAILED(directory->GetQueryInfoByName(operation, false, &query))) return true;
    if (FAILED(query->FindByVersion(kDefaultVersion, &index))) return true;
    return false;
}

HRESULT RegisterPollNames(CQVReg* directory) {
    if (directory == nullptr) return kInvalidArg;
    const char* servers[] = {kPollServerName};
    const char* interfaces[] = {kPollInterfaceName};
    HRESULT hr = directory->SetLimitServerInfoNames(servers, 1);
    if (SUCCEEDED(hr)) {
        hr = directory->SetLimitQueryInfoNames(kPollQueryNames,
                                               sizeof kPollQueryNames / sizeof kPollQueryNames[0]);
    }
    if (SUCCEEDED(hr)) hr = directory->SetInterfaceNames(interfaces, 1);
    return hr;
}

HRESULT RefreshDirectory(CQVReg* directory) {
    if (directory == nullptr) return kInvalidArg;
    CStringHolder description;
    HRESULT hr = GetServerXML(directory->GetLog(), description.Out());
    if (FAILED(hr)) return hr;
    CStringHolder fallback;
    hr = GetDefaultFallbackServerRecord(fallback.Out());
    if (SUCCEEDED(hr)) hr = directory->SetFallbackServerRecord(fallback.get());
    if (SUCCEEDED(hr)) hr = directory->UpdateRegWithServerInfoFromServer(description.get());
    if (SUCCEEDED(hr))
        hr = directory->UpdateRegWithQInfoFromServer(kPollServerName, kDefaultVersion);
    return hr;
}

HRESULT LoadAndRefreshDirectory(CQVReg* directory, const char* operation, bool force,
                                std::uint32_t now, bool* refreshed) {
    if (refreshed != nullptr) *refreshed = false;
    if (directory == nullptr) return kInvalidArg;
    bool current = false;
    {
        // The directory is read in a few hundred small calls; as one read
        // they see one state of it and cost one round of locks.  The batch
        // ends before the refresh, which waits for the network.
        zel::reg::ReadBatch batch;
        HRESULT hr = RegisterPollNames(directory);
        if (FAILED(hr)) return hr;
        const bool loaded = SUCCEEDED(directory->LoadInfoFromReg());
        current =
            loaded && !force && !IsRequireRegUpdate(directory, kPollServerName, operation, now);
    }
    if (current) return S_OK;
    if (refreshed != nullptr) *refreshed = true;
    return RefreshDirectory(directory);
}
