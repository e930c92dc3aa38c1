// Server and query info records: CQVReg::CServerInfo, CQVReg::CQueryInfo and
// the directory's name lists (see server_directory.h).  Each info owns its version
// records and their texts.
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "directory/server_directory.h"
#include "log/report.h"
#include "support/report_sink.h"

using namespace zel::codes;
using namespace zel::log;

bool EqualsIgnoreCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

namespace {

// Copies a text field for a getter: *out is set to none first, then receives
// a new copy (none for an unset field).
HRESULT CopyOut(const char* field, char** out, CEventLog* log, const char* context) {
    if (out == nullptr) return ReportStatus(log, kInvalidArg, context);
    *out = nullptr;
    if (field == nullptr) return S_OK;
    return GetString(field, out, false);
}

bool IsBlank(const char* text) {
    if (text == nullptr) return true;
    for (; *text != '\0'; ++text) {
        if (*text != ' ' && *text != '\t') return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// CQVStringList

HRESULT CQVStringList::Add(char* text) {
    std::unique_ptr<CStringHolder> holder(new (std::nothrow) CStringHolder(text));
    if (!holder) {
        (void)FreeString(&text);
        return ReportFailure(kOutOfMemory, "CQVStringList::Add", MessageIdFor(kOutOfMemory));
    }
    std::int32_t index = 0;
    return list_.Add(std::move(holder), &index);  // a refused holder frees the text
}

std::int32_t CQVStringList::Count() const {
    return static_cast<std::int32_t>(list_.Count());
}

const char* CQVStringList::At(std::int32_t index) const {
    if (index < 0 || index >= Count()) return nullptr;
    CStringHolder* holder = nullptr;
    if (FAILED(list_.GetAt(index, &holder))) return nullptr;
    return holder->get();
}

bool CQVStringList::Contains(const char* name) const {
    for (std::int32_t i = 0; i < Count(); ++i) {
        if (EqualsIgnoreCase(At(i), name)) return true;
    }
    return false;
}

void CQVStringList::RemoveAll() {
    (void)list_.RemoveAll();
}

// ---------------------------------------------------------------------------
// Shared shape of the two info classes: a name and a list of versions.

namespace {

// The record at index, or null for a bad index (checked here, so that
// nothing is reported).
template <typename P>
P* VersionAt(const COwningList<P>& versions, std::int32_t index) {
    if (index < 0 || static_cast<std::uint32_t>(index) >= versions.Count()) return nullptr;
    P* p = nullptr;
    if (FAILED(versions.GetAt(index, &p))) return nullptr;
    return p;
}

template <typename P>
std::int32_t FindVersion(const COwningList<P>& versions, const char* version) {
    const std::uint32_t count = versions.Count();
    for (std::uint32_t i = 0; i < count; ++i) {
        P* p = VersionAt<P>(versions, static_cast<std::int32_t>(i));
        if (p != nullptr && EqualsIgnoreCase(p->version.get(), version)) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

// The version's index, appending a new record when it is new.  trim: the
// version is stored trimmed (server records) or as given (query records).
template <typename P>
HRESULT AddVersion(COwningList<P>* versions, const char* version, bool trim, std::int32_t* index,
                   CEventLog* log, const char* context) {
    if (version == nullptr || index == nullptr || IsBlank(version)) {
        return ReportStatus(log, kInvalidArg, context);
    }
    CStringHolder copy;
    HRESULT hr = CopyString(version, &copy, trim);
    if (FAILED(hr)) return hr;
    std::int32_t found = FindVersion<P>(*versions, copy.get());
    if (found >= 0) {
        *index = found;
        return S_OK;
    }
    std::unique_ptr<P> p(new (std::nothrow) P);
    if (!p) return ReportStatus(log, kOutOfMemory, context);
    p->version.reset(copy.release());
    hr = versions->Add(std::move(p), index);  // a refused record is freed there
    if (FAILED(hr)) return hr == kOutOfMemory ? ReportStatus(log, kOutOfMemory, context) : hr;
    return S_OK;
}

bool NameMatches(const char* own, const char* name, bool case_sensitive) {
    if (own == nullptr || name == nullptr) return false;
    if (case_sensitive && std::strcmp(own, name) == 0) return true;
    return EqualsIgnoreCase(own, name);
}

std::int32_t Flag(std::int32_t value) {
    return value != 0 ? 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CQVReg::CServerInfo

using CServerInfo = CQVReg::CServerInfo;
using CQueryInfo = CQVReg::CQueryInfo;
using ServerProps = CQVReg::CServerInfo::Properties;
using QueryProps = CQVReg::CQueryInfo::Properties;

CServerInfo::CServerInfo(CEventLog* log) : log_(log) {}

CServerInfo::~CServerInfo() = default;  // the version list frees the records

ServerProps* CServerInfo::At(std::int32_t index) const {
    return VersionAt<ServerProps>(versions_, index);
}

// The record at index; a bad index is refused by the list, which reports it.
ServerProps* CServerInfo::Get(std::int32_t index) const {
    ServerProps* p = At(index);
    if (p == nullptr) {
        ServerProps* unused = nullptr;
        (void)versions_.GetAt(index, &unused);
    }
    return p;
}

HRESULT CServerInfo::GetName(char** name) {
    return CopyOut(name_.get(), name, log_, "CQVReg::CServerInfo::GetName");
}

HRESULT CServerInfo::GetCount(std::int32_t* count) {
    if (count == nullptr) return ReportStatus(log_, kInvalidArg, "CQVReg::CServerInfo::GetCount");
    *count = static_cast<std::int32_t>(versions_.Count());
    return S_OK;
}

HRESULT CServerInfo::FindByVersion(const char* version, std::int32_t* index) {
    if (version == nullptr || index == nullptr) {
        return ReportStatus(log_, kInvalidArg, "CQVReg::CServerInfo::FindByVersion");
    }
    std::int32_t found = FindVersion<ServerProps>(versions_, version);
    if (found < 0)
        return ReportStatus(log_, kServerVersionNotFound, "CQVReg::CServerInfo::FindByVersion");
    *index = found;
    return S_OK;
}

#define ZEL_SERVER_TEXT_GETTER(Method, field)                                \
    HRESULT CServerInfo::Method(std::int32_t index, char** out) {            \
        const char* context = "CQVReg::CServerInfo::" #Method;               \
        if (out == nullptr) return ReportStatus(log_, kInvalidArg, context); \
        *out = nullptr;                                                      \
        ServerProps* p = Get(index);                                         \
        if (p == nullptr) return kInvalidArg;                                \
        return CopyOut(p->field.get(), out, log_, context);                  \
    }
#define ZEL_SERVER_VALUE_GETTER(Method, type, field)                         \
    HRESULT CServerInfo::Method(std::int32_t index, type* out) {             \
        const char* context = "CQVReg::CServerInfo::" #Method;               \
        if (out == nullptr) return ReportStatus(log_, kInvalidArg, context); \
        ServerProps* p = Get(index);                                         \
        if (p == nullptr) return kInvalidArg;                                \
        *out = p->field;                                                     \
        return S_OK;                                                         \
    }
#define ZEL_SERVER_TEXT_SETTER(Method, field)                           \
    HRESULT CServerInfo::Method(std::int32_t index, const char* text) { \
        ServerProps* p = Get(index);                                    \
        if (p == nullptr) return kInvalidArg;                           \
        return CopyString(text, &p->field, true);                       \
    }
#define ZEL_SERVER_VALUE_SETTER(Method, type, field, convert)     \
    HRESULT CServerInfo::Method(std::int32_t index, type value) { \
        ServerProps* p = Get(index);                              \
        if (p == nullptr) return kInvalidArg;                     \
        p->field = convert(value);                                \
        return S_OK;                                              \
    }

namespace {
template <typename T>
T Same(T v) {
    return v;
}
}  // namespace

ZEL_SERVER_TEXT_GETTER(GetVersion, version)
ZEL_SERVER_TEXT_GETTER(GetIPAddress, ip_address)
ZEL_SERVER_VALUE_GETTER(GetUsingProxy, std::int32_t, using_proxy)
ZEL_SERVER_TEXT_GETTER(GetProxyServerIPAddress, proxy_server_ip_address)
ZEL_SERVER_VALUE_GETTER(GetSSLPublic, std::int32_t, ssl_public)
ZEL_SERVER_VALUE_GETTER(GetSSLRequired, std::int32_t, ssl_required)
ZEL_SERVER_VALUE_GETTER(GetPort, std::int32_t, port)
ZEL_SERVER_VALUE_GETTER(GetSecurePort, std::int32_t, secure_port)
ZEL_SERVER_TEXT_GETTER(GetSystemInfoLocation, system_info_location)
ZEL_SERVER_VALUE_GETTER(GetLastUpdatedTime, std::uint32_t, last_updated_time)

ZEL_SERVER_TEXT_SETTER(SetIPAddress, ip_address)
ZEL_SERVER_VALUE_SETTER(SetUsingProxy, std::int32_t, using_proxy, Flag)
ZEL_SERVER_TEXT_SETTER(SetProxyServerIPAddress, proxy_server_ip_address)
ZEL_SERVER_VALUE_SETTER(SetLastUpdatedTime, std::uint32_t, last_updated_time, Same)
ZEL_SERVER_VALUE_SETTER(SetSSLPublic, std::int32_t, ssl_public, Flag)
ZEL_SERVER_VALUE_SETTER(SetSSLRequired, std::int32_t, ssl_required, Flag)
ZEL_SERVER_VALUE_SETTER(SetPort, std::int32_t, port, Same)
ZEL_SERVER_VALUE_SETTER(SetSecurePort, std::int32_t, secure_port, Same)
ZEL_SERVER_TEXT_SETTER(SetSystemInfoLocation, system_info_location)

HRESULT CServerInfo::SetName(const char* name) {
    return CopyString(name, &name_, true);
}

HRESULT CServerInfo::AddServerProperties(const char* version, std::int32_t* index) {
    return AddVersion<ServerProps>(&versions_, version, true, index, log_,
                                   "CQVReg::CServerInfo::AddServerProperties");
}

bool CServerInfo::IsName(const char* name, bool case_sensitive) const {
    return NameMatches(name_.get(), name, case_sensitive);
}

HRESULT CServerInfo::RemoveAll() {
    return versions_.RemoveAll();
}

HRESULT CServerInfo::Remove(std::int32_t index) {
    return versions_.RemoveAt(index);  // refuses (and reports) a bad index itself
}

// ---------------------------------------------------------------------------
// CQVReg::CQueryInfo

CQueryInfo::CQueryInfo(CEventLog* log) : log_(log) {}

CQueryInfo::~CQueryInfo() = default;  // the version list frees the records

QueryProps* CQueryInfo::At(std::int32_t index) const {
    return VersionAt<QueryProps>(versions_, index);
}

QueryProps* CQueryInfo::Get(std::int32_t index) const {
    QueryProps* p = At(index);
    if (p == nullptr) {
        QueryProps* unused = nullptr;
        (void)versions_.GetAt(index, &unused);
    }
    return p;
}

HRESULT CQueryInfo::GetName(char** name) {
    return CopyOut(name_.get(), name, log_, "CQVReg::CQueryInfo::GetName");
}

HRESULT CQueryInfo::GetCount(std::int32_t* count) {
    if (count == nullptr) return ReportStatus(log_, kInvalidArg, "CQVReg::CQueryInfo::GetCount");
    *count = static_cast<std::int32_t>(versions_.Count());
    return S_OK;
}

HRESULT CQueryInfo::FindByVersion(const char* version, std::int32_t* index) {
    if (version == nullptr || index == nullptr) {
        return ReportStatus(log_, kInvalidArg, "CQVReg::CQueryInfo::FindByVersion");
    }
    std::int32_t found = FindVersion<QueryProps>(versions_, version);
    if (found < 0)
        return ReportStatus(log_, kQueryVersionNotFound, "CQVReg::CQueryInfo::FindByVersion");
    *index = found;
    return S_OK;
}

#define ZEL_QUERY_TEXT_GETTER(Method, field)                                 \
    HRESULT CQueryInfo::Method(std::int32_t index, char** out) {             \
        const char* context = "CQVReg::CQueryInfo::" #Method;                \
        if (out == nullptr) return ReportStatus(log_, kInvalidArg, context); \
        *out = nullptr;                                                      \
        QueryProps* p = Get(index);                                          \
        if (p == nullptr) return kInvalidArg;                                \
        return CopyOut(p->field.get(), out, log_, context);                  \
    }
#define ZEL_QUERY_VALUE_GETTER(Method, field)                                \
    HRESULT CQueryInfo::Method(std::int32_t index, std::int32_t* out) {      \
        const char* context = "CQVReg::CQueryInfo::" #Method;                \
        if (out == nullptr) return ReportStatus(log_, kInvalidArg, context); \
        QueryProps* p = Get(index);                                          \
        if (p == nullptr) return kInvalidArg;                                \
        *out = p->field;                                                     \
        return S_OK;                                                         \
    }
#define ZEL_QUERY_VALUE_SETTER(Method, field, convert)                   \
    HRESULT CQueryInfo::Method(std::int32_t index, std::int32_t value) { \
        QueryProps* p = Get(index);                                      \
        if (p == nullptr) return kInvalidArg;                            \
        p->field = convert(value);                                       \
        return S_OK;                                                     \
    }

ZEL_QUERY_TEXT_GETTER(GetVersion, version)
ZEL_QUERY_TEXT_GETTER(GetQueryLocation, query_location)
ZEL_QUERY_VALUE_GETTER(GetSSLPublic, ssl_public)
ZEL_QUERY_VALUE_GETTER(GetSSLRequired, ssl_required)
ZEL_QUERY_VALUE_GETTER(GetTimeInterval, time_interval)
ZEL_QUERY_VALUE_GETTER(GetRetryTimeout, retry_timeout)
ZEL_QUERY_VALUE_SETTER(SetSSLPublic, ssl_public, Flag)
ZEL_QUERY_VALUE_SETTER(SetSSLRequired, ssl_required, Flag)
ZEL_QUERY_VALUE_SETTER(SetTimeInterval, time_interval, Same)
ZEL_QUERY_VALUE_SETTER(SetRetryTimeout, retry_timeout, Same)

HRESULT CQueryInfo::SetQueryLocation(std::int32_t index, const char* location) {
    QueryProps* p = Get(index);
    if (p == nullptr) return kInvalidArg;
    return CopyString(location, &p->query_location, true);
}

HRESULT CQueryInfo::SetName(const char* name) {
    return CopyString(name, &name_, true);
}

bool CQueryInfo::IsName(const char* name, bool case_sensitive) const {
    return NameMatches(name_.get(), name, case_sensitive);
}

HRESULT CQueryInfo::AddQueryProperties(const char* version, std::int32_t* index) {
    return AddVersion<QueryProps>(&versions_, version, false, index, log_,
                                  "CQVReg::CQueryInfo::AddQueryProperties");
}

HRESULT CQueryInfo::RemoveAll() {
    return versions_.RemoveAll();
}

HRESULT CQueryInfo::Remove(std::int32_t index) {
    return versions_.RemoveAt(index);  // refuses (and reports) a bad index itself
}
