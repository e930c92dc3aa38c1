// CQVReg: the directory object, its name lists, and the registry side of the
// cache (loading, writing back, the last-update time).  See server_directory.h.
#include "directory/server_directory.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "log/event_log.h"
#include "log/report.h"
#include "platform/paths.h"
#include "support/files.h"

using namespace zel::codes;
using namespace zel::log;
namespace reg = zel::reg;

using CServerInfo = CQVReg::CServerInfo;
using CQueryInfo = CQVReg::CQueryInfo;

namespace {

// Registry strings are read as into a 256-byte buffer: longer values do not
// fit and count as missing rather than being cut.
constexpr std::size_t kMaxRegText = kMaxStoredText;
// Sub-key names are enumerated up to this length.
constexpr std::size_t kMaxKeyName = 255;

constexpr const char* kServerInfoFileName = "RetrieveServerInformation.xml";

bool ReadText(const reg::Key& key, const char* name, std::string* out) {
    std::string value;
    if (reg::QueryString(key, name, &value) != reg::kSuccess) return false;
    if (value.size() > kMaxRegText) return false;
    *out = std::move(value);
    return true;
}

bool ReadDword(const reg::Key& key, const char* name, std::uint32_t* out) {
    return reg::QueryDword(key, name, out) == reg::kSuccess;
}

// "1" or "Y" in any case is true; anything else ("yes", "N", "0") false.
std::int32_t FlagFromText(const std::string& text) {
    return (text == "1" || text == "Y" || text == "y") ? 1 : 0;
}

const char* FlagText(std::int32_t flag) {
    return flag != 0 ? "Y" : "N";
}

}  // namespace

// A name that can stand as one registry key level: not empty, no "\".
bool IsKeyLevelName(const char* name) {
    return name != nullptr && name[0] != '\0' && std::strchr(name, '\\') == nullptr;
}

namespace {

// A short text for a registry status, for the notes of CreateRegKey.
const char* RegStatusText(reg::Status status) {
    switch (status) {
        case reg::kNotFound:
            return "The system cannot find the file specified.";
        case reg::kAccessDenied:
            return "Access is denied.";
        case reg::kInvalidHandle:
            return "The handle is invalid.";
        case reg::kInvalidParameter:
            return "The parameter is incorrect.";
        default:
            return "The registry operation failed.";
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, lists, lookups

CQVReg::CQVReg(CEventLog* log) : log_(log) {
    {
        // Made for every request: the key's lookup is one read, not one
        // per level (a key that must be made is written as usual).
        reg::ReadBatch batch;
        (void)CreateRegKey(reg::Hive::LocalMachine, kQVDataAccessKey, nullptr);
    }
    CStringHolder dir;
    if (SUCCEEDED(GetString(zel::paths::CommDir().c_str(), dir.Out(), false))) {
        (void)GetFullFileName(dir.get(), kServerInfoFileName, server_info_file_.Out());
    }
}

CQVReg::~CQVReg() {
    RemoveAllServerInfos();
    RemoveAllQueryInfos();
}

std::int32_t CQVReg::GetServerInfoCount() const {
    std::uint32_t n = 0;
    (void)server_infos_.GetCount(&n);
    return static_cast<std::int32_t>(n);
}

std::int32_t CQVReg::GetQueryInfoCount() const {
    std::uint32_t n = 0;
    (void)query_infos_.GetCount(&n);
    return static_cast<std::int32_t>(n);
}

CServerInfo* CQVReg::GetServerInfoAt(std::int32_t index) const {
    if (index < 0 || index >= GetServerInfoCount()) return nullptr;
    CServerInfo* info = nullptr;
    if (FAILED(server_infos_.GetAt(index, &info))) return nullptr;
    return info;
}

CQueryInfo* CQVReg::GetQueryInfoAt(std::int32_t index) const {
    if (index < 0 || index >= GetQueryInfoCount()) return nullptr;
    CQueryInfo* info = nullptr;
    if (FAILED(query_infos_.GetAt(index, &info))) return nullptr;
    return info;
}

void CQVReg::RemoveAllServerInfos() {
    written_in_document_.clear();
    (void)server_infos_.RemoveAll();
}

void CQVReg::RemoveAllQueryInfos() {
    written_in_document_.clear();
    (void)query_infos_.RemoveAll();
}

HRESULT CQVReg::GetServerInfoByName(const char* name, bool case_sensitive, CServerInfo** info) {
    if (info == nullptr) return ReportStatus(log_, kInvalidArg, "CQVReg::GetServerInfoByName");
    *info = nullptr;
    for (std::int32_t i = 0; i < GetServerInfoCount(); ++i) {
        CServerInfo* candidate = GetServerInfoAt(i);
        if (candidate != nullptr && candidate->IsName(name, case_sensitive)) {
            *info = candidate;
            return S_OK;
        }
    }
    return ReportStatus(log_, kServerInfoNotFound, "CQVReg::GetServerInfoByName");
}

HRESULT CQVReg::GetQueryInfoByName(const char* name, bool case_sensitive, CQueryInfo** info) {
    if (info == nullptr) return ReportStatus(log_, kInvalidArg, "CQVReg::GetQueryInfoByName");
    *info = nullptr;
    for (std::int32_t i = 0; i < GetQueryInfoCount(); ++i) {
        CQueryInfo* candidate = GetQueryInfoAt(i);
        if (candidate != nullptr && candidate->IsName(name, case_sensitive)) {
            *info = candidate;
            return S_OK;
        }
    }
    return ReportStatus(log_, kQueryInfoNotFound, "CQVReg::GetQueryInfoByName");
}

HRESULT CQVReg::FillNameList(CQVStringList* list, const char* const* names, std::int32_t count,
                             const char* context) {
    list->RemoveAll();
    if (names == nullptr) return S_OK;
    if (count < 0) return ReportStatus(log_, kInvalidArg, context);
    for (std::int32_t i = 0; i < count; ++i) {
        if (names[i] == nullptr) continue;
        CStringHolder copy;
        HRESULT hr = GetString(names[i], copy.Out(), true);
        if (FAILED(hr)) return hr;
        if (copy.get()[0] == '\0') continue;
        hr = list->Add(copy.release());
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CQVReg::SetLimitServerInfoNames(const char* const* names, std::int32_t count) {
    HRESULT hr = FillNameList(&limit_server_names_, names, count, "CQVReg::AddStringsToStringList");
    if (FAILED(hr) || names == nullptr) return hr;
    LimitServerInfo();
    return S_OK;
}

HRESULT CQVReg::SetLimitQueryInfoNames(const char* const* names, std::int32_t count) {
    HRESULT hr = FillNameList(&limit_query_names_, names, count, "CQVReg::AddStringsToStringList");
    if (FAILED(hr) || names == nullptr) return hr;
    LimitQueryInfo();
    return S_OK;
}

HRESULT CQVReg::SetInterfaceNames(const char* const* names, std::int32_t count) {
    return FillNameList(&interface_names_, names, count, "CQVReg::AddStringsToStringList");
}

void CQVReg::LimitServerInfo() {
    if (limit_server_names_.Count() == 0) {
        Note(log_, kCategoryClientApplication, "CQVReg::LimitServerInfo",
             "LimitServerInfoNamesList is Empty");
        return;
    }
    written_in_document_.clear();
    for (std::int32_t i = GetServerInfoCount() - 1; i >= 0; --i) {
        CServerInfo* info = GetServerInfoAt(i);
        if (info != nullptr && !limit_server_names_.Contains(info->Name())) {
            (void)server_infos_.RemoveAt(i);
        }
    }
}

void CQVReg::LimitQueryInfo() {
    if (limit_query_names_.Count() == 0) return;
    written_in_document_.clear();
    for (std::int32_t i = GetQueryInfoCount() - 1; i >= 0; --i) {
        CQueryInfo* info = GetQueryInfoAt(i);
        if (info != nullptr && !limit_query_names_.Contains(info->Name())) {
            (void)query_infos_.RemoveAt(i);
        }
    }
}

HRESULT CQVReg::SetFallbackServerRecord(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        fallback_record_.reset();
        return S_OK;
    }
    return CopyString(text, &fallback_record_, false);
}

// ---------------------------------------------------------------------------
// Loading

HRESULT CQVReg::LoadInfoFromReg() {
    RemoveAllServerInfos();
    RemoveAllQueryInfos();
    HRESULT hr = GetServerInfoFromReg();
    if (FAILED(hr)) return hr;
    return GetQueryInfoFromReg();
}

namespace {

// What differs between loading the servers and the queries: the key, the
// traces, the statuses of an unopenable info or version key.
struct InfoKeyKind {
    const char* context;
    const char* key;
    unsigned trace_all;
    unsigned trace_one;
    HRESULT open_info_status;
    HRESULT open_version_status;
};

// Reads the versions of one info key: the key's own values as the version
// named by "QueryVersion" (default "001"), then each sub-key as the version
// it is named after.  Stops at the first failure.
template <class Info, class ReadVersion>
HRESULT ReadInfoKey(CEventLog* log, const InfoKeyKind& kind, Info* info, const reg::Key& key,
                    ReadVersion read_version) {
    std::string version;
    if (!ReadText(key, "QueryVersion", &version)) version = kDefaultVersion;
    // An info whose versions are all other than "001" was written with
    // nothing in its own key, only its version sub-keys: that empty key is
    // no version, and reading it as one would make the whole directory
    // unloadable.  A key with values of its own is read as before.
    std::string any;
    const bool own_values = reg::EnumValue(key, 0, &any, nullptr) == reg::kSuccess;
    const bool sub_keys = reg::EnumKey(key, 0, &any) == reg::kSuccess;
    HRESULT hr = S_OK;
    if (own_values || !sub_keys) {
        hr = read_version(info, version.c_str(), key);
        if (FAILED(hr)) return hr;
    }
    std::string sub;
    for (std::uint32_t i = 0; reg::EnumKey(key, i, &sub) == reg::kSuccess; ++i) {
        if (sub.size() > kMaxKeyName) continue;
        reg::Key version_key;
        if (reg::OpenKey(key, sub, &version_key) != reg::kSuccess) {
            return ReportStatus(log, kind.open_version_status, kind.context);
        }
        hr = read_version(info, sub.c_str(), version_key);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// Loads every info below the kind's key that passes the limit list into
// list.  A missing key is an empty directory.  On a failure the new info is
// destroyed and the enumeration stops; infos appended before stay.
template <class Info, class ReadVersion>
HRESULT LoadInfos(CEventLog* log, const InfoKeyKind& kind, const CQVStringList& limit,
                  COwningList<Info>* list, ReadVersion read_version) {
    Trace(log, kCategoryClientApplication, kind.context, kind.trace_all);
    reg::Key root;
    if (reg::OpenKey(reg::Hive::LocalMachine, kind.key, &root) != reg::kSuccess) {
        return S_OK;  // nothing cached yet
    }
    std::string name;
    for (std::uint32_t i = 0; reg::EnumKey(root, i, &name) == reg::kSuccess; ++i) {
        if (name.size() > kMaxKeyName) continue;
        if (limit.Count() != 0 && !limit.Contains(name.c_str())) continue;
        Trace(log, kCategoryClientApplication, kind.context, kind.trace_one, name.c_str());
        std::unique_ptr<Info> info(new (std::nothrow) Info(log));
        if (!info) return ReportStatus(log, kOutOfMemory, kind.context);
        HRESULT hr = info->SetName(name.c_str());
        reg::Key key;
        if (SUCCEEDED(hr) && reg::OpenKey(root, name, &key) != reg::kSuccess) {
            hr = ReportStatus(log, kind.open_info_status, kind.context);
        }
        if (SUCCEEDED(hr)) hr = ReadInfoKey(log, kind, info.get(), key, read_version);
        std::int32_t index = 0;
        // A refused info is destroyed with its unique_ptr, here or in Add.
        if (SUCCEEDED(hr)) hr = list->Add(std::move(info), &index);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT CQVReg::GetServerInfoFromReg() {
    static constexpr InfoKeyKind kind{
        "CQVReg::GetServerInfoFromReg", kServersKey,        kMsgGettingServerInfos,
        kMsgGettingServerInfo,          kOpenServerInfoKey, kOpenServerVersionKey};
    return LoadInfos<CServerInfo>(
        log_, kind, limit_server_names_, &server_infos_,
        [this](CServerInfo* info, const char* version, const reg::Key& key) {
            return ReadServerVersion(info, version, key);
        });
}

HRESULT CQVReg::ReadServerVersion(CServerInfo* info, const char* version, const reg::Key& key) {
    std::int32_t index = 0;
    HRESULT hr = info->AddServerProperties(version, &index);
    if (FAILED(hr)) return hr;
    std::string text;
    std::uint32_t number = 0;
    if (!ReadText(key, "IPAddress", &text)) {
        return ReportStatus(log_, kNoIPAddress, "CQVReg::GetServerInfoFromReg");
    }
    hr = info->SetIPAddress(index, text.c_str());
    if (SUCCEEDED(hr) && ReadDword(key, "Proxy", &number)) {
        hr = info->SetUsingProxy(index, number != 0 ? 1 : 0);
    }
    if (SUCCEEDED(hr) && ReadText(key, "ProxyServerIPAddress", &text)) {
        hr = info->SetProxyServerIPAddress(index, text.c_str());
    }
    if (SUCCEEDED(hr) && ReadText(key, "SystemInfoLocation", &text)) {
        hr = info->SetSystemInfoLocation(index, text.c_str());
    }
    if (SUCCEEDED(hr) && ReadText(key, "SSLPublic", &text)) {
        hr = info->SetSSLPublic(index, FlagFromText(text));
    }
    if (SUCCEEDED(hr) && ReadText(key, "SSLRequired", &text)) {
        hr = info->SetSSLRequired(index, FlagFromText(text));
    }
    if (SUCCEEDED(hr)) {
        if (!ReadDword(key, "Port", &number) || number == 0) number = 80;
        hr = info->SetPort(index, static_cast<std::int32_t>(number));
    }
    if (SUCCEEDED(hr)) {
        if (!ReadDword(key, "SecurePort", &number) || number == 0) number = 443;
        hr = info->SetSecurePort(index, static_cast<std::int32_t>(number));
    }
    if (SUCCEEDED(hr) && ReadDword(key, "LastUpdatedTime", &number)) {
        hr = info->SetLastUpdatedTime(index, number);
    }
    return hr;
}

HRESULT CQVReg::GetQueryInfoFromReg() {
    static constexpr InfoKeyKind kind{
        "CQVReg::GetQueryInfoFromReg", kQueriesKey,       kMsgGettingQueryInfos,
        kMsgGettingQueryInfo,          kOpenQueryInfoKey, kOpenQueryVersionKey};
    return LoadInfos<CQueryInfo>(
        log_, kind, limit_query_names_, &query_infos_,
        [this](CQueryInfo* info, const char* version, const reg::Key& key) {
            return ReadQueryVersion(info, version, key);
        });
}

HRESULT CQVReg::ReadQueryVersion(CQueryInfo* info, const char* version, const reg::Key& key) {
    const char* context = "CQVReg::GetQueryInfoFromReg";
    std::int32_t index = 0;
    HRESULT hr = info->AddQueryProperties(version, &index);
    if (FAILED(hr)) return hr;
    std::string text;
    std::uint32_t number = 0;
    if (!ReadText(key, "QueryLocation", &text))
        return ReportStatus(log_, kNoQueryLocation, context);
    hr = info->SetQueryLocation(index, text.c_str());
    if (FAILED(hr)) return hr;
    if (!ReadText(key, "SSLRequired", &text)) return ReportStatus(log_, kNoSSLRequired, context);
    hr = info->SetSSLRequired(index, FlagFromText(text));
    if (FAILED(hr)) return hr;
    if (!ReadText(key, "SSLPublic", &text)) return ReportStatus(log_, kNoSSLPublic, context);
    hr = info->SetSSLPublic(index, FlagFromText(text));
    if (SUCCEEDED(hr) && ReadDword(key, "TimeInterval", &number)) {
        hr = info->SetTimeInterval(index, static_cast<std::int32_t>(number));
    }
    if (SUCCEEDED(hr) && ReadDword(key, "RetryTimeOut", &number)) {
        hr = info->SetRetryTimeout(index, static_cast<std::int32_t>(number));
    }
    return hr;
}

// ---------------------------------------------------------------------------
// Writing

HRESULT CQVReg::CreateRegKey(reg::Hive root, const char* path, reg::Key* key) {
    if (path == nullptr) return ReportStatus(log_, kInvalidArg, "CQVReg::CreateRegKey");
    reg::Key opened;
    if (reg::OpenKey(root, path, &opened) != reg::kSuccess) {
        reg::Status status = reg::CreateKey(root, path, &opened, nullptr);
        if (status != reg::kSuccess) {
            Note(log_, kCategoryClientApplication, "RegCreateKeyEx", "%s", RegStatusText(status));
            Note(log_, kCategoryClientApplication, "RegCreateKeyEx", "%s", path);
            Note(log_, kCategoryClientApplication, "RegCreateKeyEx", "%s", "Z");
            return kFail;
        }
    }
    if (key != nullptr) *key = std::move(opened);
    return S_OK;
}

namespace {

// Individual value writes that fail are left alone: the next refresh writes
// the record again.  default_version: the values go into the info's own key.
void WriteVersion(const reg::Key& key, const CServerInfo::Properties& p, bool /*default_version*/) {
    if (p.ip_address) (void)reg::SetString(key, "IPAddress", p.ip_address.get());
    if (p.proxy_server_ip_address) {
        (void)reg::SetString(key, "ProxyServerIPAddress", p.proxy_server_ip_address.get());
    }
    if (p.system_info_location) {
        (void)reg::SetString(key, "SystemInfoLocation", p.system_info_location.get());
    }
    (void)reg::SetDword(key, "Proxy", static_cast<std::uint32_t>(p.using_proxy));
    (void)reg::SetString(key, "SSLPublic", FlagText(p.ssl_public));
    (void)reg::SetString(key, "SSLRequired", FlagText(p.ssl_required));
    if (p.port != 0) (void)reg::SetDword(key, "Port", static_cast<std::uint32_t>(p.port));
    if (p.secure_port != 0) {
        (void)reg::SetDword(key, "SecurePort", static_cast<std::uint32_t>(p.secure_port));
    }
    (void)reg::SetDword(key, "LastUpdatedTime", p.last_updated_time);
}

void WriteVersion(const reg::Key& key, const CQueryInfo::Properties& p, bool default_version) {
    if (default_version) (void)reg::SetString(key, "QueryVersion", kDefaultVersion);
    (void)reg::SetString(key, "QueryLocation", p.query_location.c_str());
    (void)reg::SetString(key, "SSLPublic", FlagText(p.ssl_public));
    (void)reg::SetString(key, "SSLRequired", FlagText(p.ssl_required));
    (void)reg::SetDword(key, "TimeInterval", static_cast<std::uint32_t>(p.time_interval));
    (void)reg::SetDword(key, "RetryTimeOut", static_cast<std::uint32_t>(p.retry_timeout));
}

// What differs between writing a server and a query info: the parent key,
// the trace, the statuses of a key that cannot be opened or made.
struct InfoWriteKind {
    const char* key;
    unsigned trace;
    HRESULT open_parent_status;
    HRESULT create_info_status;
    HRESULT create_version_status;
};

constexpr InfoWriteKind kServerWrite{kServersKey, kMsgUpdatingServerInfo, kOpenServersKey,
                                     kCreateServerInfoKey, kCreateServerVersionKey};
constexpr InfoWriteKind kQueryWrite{kQueriesKey, kMsgUpdatingQueryInfo, kOpenQueriesKey,
                                    kCreateQueryInfoKey, kCreateQueryVersionKey};

const InfoWriteKind& WriteKindOf(const CServerInfo*) {
    return kServerWrite;
}
const InfoWriteKind& WriteKindOf(const CQueryInfo*) {
    return kQueryWrite;
}

}  // namespace

HRESULT CQVReg::UpdateRegistry(CServerInfo* info) {
    return WriteInfo(info, -1);
}

HRESULT CQVReg::UpdateRegistry(CQueryInfo* info) {
    return WriteInfo(info, -1);
}

bool CQVReg::WrittenInDocument(const void* info) const {
    for (const void* p : written_in_document_) {
        if (p == info) return true;
    }
    return false;
}

template <class Info>
HRESULT CQVReg::StoreExtracted(Info* info, std::int32_t index) {
    if (WrittenInDocument(info)) return WriteInfo(info, index);
    HRESULT hr = WriteInfo(info, -1);
    if (SUCCEEDED(hr)) written_in_document_.push_back(info);
    return hr;
}

template <class Info>
HRESULT CQVReg::WriteInfo(Info* info, std::int32_t only) {
    const char* context = "CQVReg::UpdateRegistry";
    const InfoWriteKind& kind = WriteKindOf(info);
    // An empty name would write into the parent key itself, a "\\" into a
    // deeper key than the info's own.
    if (info == nullptr || !IsKeyLevelName(info->Name())) {
        return ReportStatus(log_, kInvalidArg, context);
    }
    HRESULT hr = CreateRegKey(reg::Hive::LocalMachine, kind.key, nullptr);
    if (FAILED(hr)) return hr;
    reg::Key parent;
    if (reg::OpenKey(reg::Hive::LocalMachine, kind.key, &parent) != reg::kSuccess) {
        return ReportStatus(log_, kind.open_parent_status, context);
    }
    Trace(log_, kCategoryClientApplication, context, kind.trace, info->Name());
    reg::Key info_key;
    reg::Disposition disposition = reg::Disposition::OpenedExistingKey;
    if (reg::CreateKey(parent, info->Name(), &info_key, &disposition) != reg::kSuccess) {
        return ReportStatus(log_, kind.create_info_status, context);
    }
    // An info key made here for a record that then fails goes again: left
    // empty, it would read as a version without an address and make the
    // whole directory unloadable.
    const bool created = disposition == reg::Disposition::CreatedNewKey;
    std::int32_t count = 0;
    (void)info->GetCount(&count);
    for (std::int32_t i = only < 0 ? 0 : only; i < (only < 0 ? count : only + 1); ++i) {
        const typename Info::Properties* p = info->At(i);
        if (p == nullptr) continue;
        if (EqualsIgnoreCase(p->version.get(), kDefaultVersion)) {
            WriteVersion(info_key, *p, true);
            continue;
        }
        reg::Key version_key;
        if (!IsKeyLevelName(p->version.get()) ||
            reg::CreateKey(info_key, p->version.c_str(), &version_key, nullptr) != reg::kSuccess) {
            if (created) {
                info_key = reg::Key();
                (void)reg::DeleteTree(parent, info->Name());
            }
            return ReportStatus(log_, kind.create_version_status, context);
        }
        WriteVersion(version_key, *p, false);
    }
    return S_OK;
}

// The document refresh (refresh.cpp) stores both kinds of record.
template HRESULT CQVReg::StoreExtracted(CServerInfo* info, std::int32_t index);
template HRESULT CQVReg::StoreExtracted(CQueryInfo* info, std::int32_t index);

HRESULT CQVReg::UpdateLastTimeUpdateRegEntry(const char* server_name, const char* version,
                                             std::uint32_t time) {
    const char* context = "CQVReg::UpdateLastTimeUpdateRegEntry";
    if (server_name == nullptr || version == nullptr)
        return ReportStatus(log_, kInvalidArg, context);
    Trace(log_, kCategoryClientApplication, context, kMsgUpdatingLastUpdated, server_name);
    reg::Key servers;
    if (reg::OpenKey(reg::Hive::LocalMachine, kServersKey, &servers) != reg::kSuccess) {
        return ReportStatus(log_, kOpenServersKey, context);
    }
    reg::Key info_key;
    if (!IsKeyLevelName(server_name) ||
        reg::OpenKey(servers, server_name, &info_key) != reg::kSuccess) {
        return ReportStatus(log_, kOpenServerInfoKey, context);
    }
    if (EqualsIgnoreCase(version, kDefaultVersion)) {
        (void)reg::SetDword(info_key, "LastUpdatedTime", time);
        return S_OK;
    }
    reg::Key version_key;
    if (!IsKeyLevelName(version) ||
        reg::OpenKey(info_key, version, &version_key) != reg::kSuccess) {
        return ReportStatus(log_, kOpenServerVersionKey, context);
    }
    (void)reg::SetDword(version_key, "LastUpdatedTime", time);
    return S_OK;
}
