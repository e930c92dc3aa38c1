// The server directory: named servers and named queries, each in one or more
// versions, cached in the registry under
// HKEY_LOCAL_MACHINE "SOFTWARE\Quvaro Information Systems\QVDataAccess" and
// refreshed from the central side in three hops (server list, system
// information, query list).
//
// CQVReg owns its server infos, query infos, name lists and texts; an info
// owns its version records and texts; every object borrows the log it was
// given.  Texts handed out by getters are new heap strings the caller frees
// with FreeString.  Every routine returns a result code; a failure is logged
// once where it is detected (context "CQVReg::..." or
// "CQVReg::CServerInfo::..." / "CQVReg::CQueryInfo::...") and passed on
// unchanged by the callers.  Nothing throws.
//
// Registry layout below QVDataAccess: "Servers\<name>" and
// "Queries\<name>"; the values directly in an info's key describe the version
// named by its "QueryVersion" value ("001" when absent), every sub-key one
// more version named after the sub-key.  Version "001" is always written into
// the info's own key.
//
// The documents of the central side are plain text searched for literal
// tags ("<NAME>" ... "</NAME>", case-sensitive, first occurrences).  The tag
// names are ASCII, so a byte search can never match inside a multibyte
// character of the UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "support/list.h"
#include "support/result.h"
#include "support/strings.h"

class CEventLog;
class CInternetAccess;

// Registry paths below HKEY_LOCAL_MACHINE.
using zel::keys::kQueriesKey;
using zel::keys::kQVDataAccessKey;
using zel::keys::kServersKey;

// Bounds of one server list or query list, so that a huge or hostile
// document cannot keep a refresh busy: real lists hold a handful of records.
inline constexpr std::size_t kMaxDirectoryDocumentBytes = 1024 * 1024;
inline constexpr std::size_t kMaxDirectoryRecords = 1000;

// The longest IPAddress and QueryLocation the loader reads back; a record
// with a longer one is refused when scanned rather than stored unreadable.
inline constexpr std::size_t kMaxStoredText = 255;

// The version that lives in an info's own key.
inline constexpr const char* kDefaultVersion = "001";

// Read side of a server info: slots 1-13.
class IQVServerInfo {
  public:
    virtual ~IQVServerInfo() = default;
    [[nodiscard]] virtual HRESULT GetName(char** name) = 0;
    [[nodiscard]] virtual HRESULT GetCount(std::int32_t* count) = 0;
    // Index of version (case-insensitive); 0x8020813F when absent.
    [[nodiscard]] virtual HRESULT FindByVersion(const char* version, std::int32_t* index) = 0;
    [[nodiscard]] virtual HRESULT GetVersion(std::int32_t index, char** version) = 0;
    [[nodiscard]] virtual HRESULT GetIPAddress(std::int32_t index, char** address) = 0;
    [[nodiscard]] virtual HRESULT GetUsingProxy(std::int32_t index, std::int32_t* flag) = 0;
    [[nodiscard]] virtual HRESULT GetProxyServerIPAddress(std::int32_t index, char** address) = 0;
    [[nodiscard]] virtual HRESULT GetSSLPublic(std::int32_t index, std::int32_t* flag) = 0;
    [[nodiscard]] virtual HRESULT GetSSLRequired(std::int32_t index, std::int32_t* flag) = 0;
    [[nodiscard]] virtual HRESULT GetPort(std::int32_t index, std::int32_t* port) = 0;
    [[nodiscard]] virtual HRESULT GetSecurePort(std::int32_t index, std::int32_t* port) = 0;
    [[nodiscard]] virtual HRESULT GetSystemInfoLocation(std::int32_t index, char** location) = 0;
    [[nodiscard]] virtual HRESULT GetLastUpdatedTime(std::int32_t index, std::uint32_t* time) = 0;
};

// Read side of a query info: slots 1-9.
class IQVQueryInfo {
  public:
    virtual ~IQVQueryInfo() = default;
    [[nodiscard]] virtual HRESULT GetName(char** name) = 0;
    [[nodiscard]] virtual HRESULT GetCount(std::int32_t* count) = 0;
    // Index of version (case-insensitive); 0x8020813E when absent.
    [[nodiscard]] virtual HRESULT FindByVersion(const char* version, std::int32_t* index) = 0;
    [[nodiscard]] virtual HRESULT GetVersion(std::int32_t index, char** version) = 0;
    [[nodiscard]] virtual HRESULT GetQueryLocation(std::int32_t index, char** location) = 0;
    [[nodiscard]] virtual HRESULT GetSSLPublic(std::int32_t index, std::int32_t* flag) = 0;
    [[nodiscard]] virtual HRESULT GetSSLRequired(std::int32_t index, std::int32_t* flag) = 0;
    [[nodiscard]] virtual HRESULT GetTimeInterval(std::int32_t index, std::int32_t* value) = 0;
    [[nodiscard]] virtual HRESULT GetRetryTimeout(std::int32_t index, std::int32_t* value) = 0;
};

// A list of owned heap texts (the directory's name lists).  Each text sits
// in its own holder, so the list frees every text it was given.
class CQVStringList {
  public:
    CQVStringList() = default;
    ~CQVStringList() = default;
    CQVStringList(const CQVStringList&) = delete;
    CQVStringList& operator=(const CQVStringList&) = delete;

    // Takes ownership of text (freed here also when the append fails; out of
    // memory: 0x8020811E, reported, nothing added).
    [[nodiscard]] HRESULT Add(char* text);
    [[nodiscard]] std::int32_t Count() const;
    // The text at index (owned by the list) or null for a bad index.
    [[nodiscard]] const char* At(std::int32_t index) const;
    // True when the list holds name, compared ignoring case.
    [[nodiscard]] bool Contains(const char* name) const;
    void RemoveAll();

  private:
    COwningList<CStringHolder> list_;
};

class CQVReg {
  public:
    class CServerInfo;
    class CQueryInfo;

    // Empty lists; the QVDataAccess key is made to exist (a failure there
    // shows later, when the directory is read or written).
    explicit CQVReg(CEventLog* log);
    virtual ~CQVReg();
    CQVReg(const CQVReg&) = delete;
    CQVReg& operator=(const CQVReg&) = delete;

    // The first info whose IsName is true; *info is borrowed from the
    // directory.  Absent: *info null and 0x8020812C / 0x8020812D, logged.
    [[nodiscard]] HRESULT GetServerInfoByName(const char* name, bool case_sensitive,
                                              CServerInfo** info);
    [[nodiscard]] HRESULT GetQueryInfoByName(const char* name, bool case_sensitive,
                                             CQueryInfo** info);

    // Empties both info lists and reads them from the registry (servers, then
    // queries when that succeeded).  Missing Servers/Queries keys load
    // nothing and succeed; a malformed info stops the loading with its status
    // and what was loaded before stays.
    [[nodiscard]] HRESULT LoadInfoFromReg();
    [[nodiscard]] HRESULT GetServerInfoFromReg();
    [[nodiscard]] HRESULT GetQueryInfoFromReg();

    // Replace a name list with the non-empty trimmed entries of names[0..count).
    // A null array empties the list and succeeds; a negative count is
    // 0x801F811D, logged.  The two limit lists then remove every loaded info
    // whose name they lack; an empty limit list removes nothing.  The limit
    // lists also decide which infos are loaded and extracted.
    [[nodiscard]] HRESULT SetLimitServerInfoNames(const char* const* names, std::int32_t count);
    [[nodiscard]] HRESULT SetLimitQueryInfoNames(const char* const* names, std::int32_t count);
    [[nodiscard]] HRESULT SetInterfaceNames(const char* const* names, std::int32_t count);

    // Write one info with all its versions.
    [[nodiscard]] HRESULT UpdateRegistry(CServerInfo* info);
    [[nodiscard]] HRESULT UpdateRegistry(CQueryInfo* info);
    // Writes "LastUpdatedTime" of one version of a server info.
    [[nodiscard]] HRESULT UpdateLastTimeUpdateRegEntry(const char* server_name, const char* version,
                                                       std::uint32_t time);
    // Opens the key below the hive, or creates it.  Null path: 0x801F811D;
    // creation failure: three notes with the context "RegCreateKeyEx" and
    // 0x80004005.  *key may be null when the caller needs no handle.
    [[nodiscard]] HRESULT CreateRegKey(zel::reg::Hive root, const char* path, zel::reg::Key* key);

    // Keeps a private copy of the record that stands in for an unreachable
    // entry point (null or empty clears it).
    [[nodiscard]] HRESULT SetFallbackServerRecord(const char* text);

    // Hop 1: the server list.  description names the entry point (its first
    // SRVIP, SURL and SSLR elements).  The list comes from
    // "RetrieveServerInformation.xml" in the install directory when that file
    // can be read, else from the entry point; when the entry point cannot be
    // used the fallback record is extracted instead.
    [[nodiscard]] HRESULT UpdateRegWithServerInfoFromServer(const char* description);
    // Hops 2 and 3: system information and query list of one server version
    // (empty version: "001").  On success its LastUpdatedTime becomes now.
    [[nodiscard]] HRESULT UpdateRegWithQInfoFromServer(const char* server_name,
                                                       const char* version);

    // Document scanning, each usable on its own.  The two Update... calls
    // return 1 (S_FALSE) when the text has no results element at all.  A
    // document's records are written as one registry transaction (what was
    // written before a failing record stays).  A document longer than
    // kMaxDirectoryDocumentBytes or with more than kMaxDirectoryRecords
    // records is refused whole with its XML status, nothing written.
    [[nodiscard]] HRESULT UpdateRegistryFromServerXMLData(const char* text);
    [[nodiscard]] HRESULT UpdateRegistryFromQueryXMLData(const char* text);
    // One server record between record_start and record_end (end exclusive);
    // written to the registry at once.
    [[nodiscard]] HRESULT ExtractServerInfo(const char* record_start, const char* record_end);
    [[nodiscard]] HRESULT ExtractQueryInfo(const char* record_start, const char* record_end);
    // The interface element name must hold "1" or "Y" (any case).
    [[nodiscard]] HRESULT CheckIfInterfaceSupported(const char* text, const char* name);
    // The QURL element of a system information document into *url (set to
    // none first; the caller frees it).
    [[nodiscard]] HRESULT GetQURLFromSystemInfo(const char* text, char** url);
    // The trimmed value of the first "<tag>" at or after start into *value
    // (set to none first; the caller frees it).  No opening tag: malformed
    // when a closing tag exists, else missing.  The first closing tag must
    // follow the opening one and, with end given, lie before end.  Failures
    // are logged.
    [[nodiscard]] HRESULT ExtractPropertyVal(const char* tag, const char* start, const char* end,
                                             HRESULT missing_status, HRESULT malformed_status,
                                             char** value);

    // Fetches resource through an initialised engine, retrying 503/504 twice;
    // *text (set to none first; the caller frees it) is the whole answer.
    // Another status: 0x80258000 plus the HTTP status, logged.
    [[nodiscard]] HRESULT GetInfoFromServer(CInternetAccess* engine, const char* resource,
                                            char** text);

    // Read access for callers and tests: the infos stay the directory's.
    [[nodiscard]] std::int32_t GetServerInfoCount() const;
    [[nodiscard]] std::int32_t GetQueryInfoCount() const;
    [[nodiscard]] CServerInfo* GetServerInfoAt(std::int32_t index) const;
    [[nodiscard]] CQueryInfo* GetQueryInfoAt(std::int32_t index) const;
    [[nodiscard]] CEventLog* GetLog() const { return log_; }
    [[nodiscard]] const CQVStringList& InterfaceNames() const { return interface_names_; }

  private:
    HRESULT FillNameList(CQVStringList* list, const char* const* names, std::int32_t count,
                         const char* context);
    void LimitServerInfo();
    void LimitQueryInfo();
    void RemoveAllServerInfos();
    void RemoveAllQueryInfos();
    HRESULT ReadServerVersion(CServerInfo* info, const char* version, const zel::reg::Key& key);
    HRESULT ReadQueryVersion(CQueryInfo* info, const char* version, const zel::reg::Key& key);
    HRESULT FindResultsEnds(const char* text, HRESULT malformed, const char* context,
                            const char** start, const char** end);
    HRESULT ExtractItems(const char* start, const char* end, bool servers);
    HRESULT ScanDocument(const char* text, bool servers);
    HRESULT MakeEngine(const char* address, std::int32_t port, bool secure,
                       CInternetAccess** engine);
    // Writes one info (a CServerInfo or a CQueryInfo): every version when
    // only is negative, else the version at index only.
    template <class Info>
    HRESULT WriteInfo(Info* info, std::int32_t only);
    // Writes the record just extracted into info (version index): the whole
    // info the first time the current document touches it, afterwards only
    // that version.  The registry ends up as if the whole info had been
    // written after every record, at a cost linear in the records.  Made for
    // CServerInfo and CQueryInfo in server_directory.cpp.
    template <class Info>
    HRESULT StoreExtracted(Info* info, std::int32_t index);
    // Whether the info was written whole during the current document.
    bool WrittenInDocument(const void* info) const;
    // Runs one document's writes as one registry transaction (see the .cpp).
    template <class Writes>
    HRESULT WriteDocument(Writes&& writes);

    COwningList<CServerInfo> server_infos_;
    COwningList<CQueryInfo> query_infos_;
    CQVStringList limit_server_names_;
    CQVStringList limit_query_names_;
    CQVStringList interface_names_;
    CEventLog* log_;
    CStringHolder server_info_file_;
    CStringHolder fallback_record_;
    // Infos written whole during the current document (borrowed from the
    // lists above; emptied when a document starts, before any info can go).
    std::vector<const void*> written_in_document_;
};

class CQVReg::CServerInfo : public IQVServerInfo {
  public:
    explicit CServerInfo(CEventLog* log);
    ~CServerInfo() override;
    CServerInfo(const CServerInfo&) = delete;
    CServerInfo& operator=(const CServerInfo&) = delete;

    [[nodiscard]] HRESULT GetName(char** name) override;
    [[nodiscard]] HRESULT GetCount(std::int32_t* count) override;
    [[nodiscard]] HRESULT FindByVersion(const char* version, std::int32_t* index) override;
    [[nodiscard]] HRESULT GetVersion(std::int32_t index, char** version) override;
    [[nodiscard]] HRESULT GetIPAddress(std::int32_t index, char** address) override;
    [[nodiscard]] HRESULT GetUsingProxy(std::int32_t index, std::int32_t* flag) override;
    [[nodiscard]] HRESULT GetProxyServerIPAddress(std::int32_t index, char** address) override;
    [[nodiscard]] HRESULT GetSSLPublic(std::int32_t index, std::int32_t* flag) override;
    [[nodiscard]] HRESULT GetSSLRequired(std::int32_t index, std::int32_t* flag) override;
    [[nodiscard]] HRESULT GetPort(std::int32_t index, std::int32_t* port) override;
    [[nodiscard]] HRESULT GetSecurePort(std::int32_t index, std::int32_t* port) override;
    [[nodiscard]] HRESULT GetSystemInfoLocation(std::int32_t index, char** location) override;
    [[nodiscard]] HRESULT GetLastUpdatedTime(std::int32_t index, std::uint32_t* time) override;

    // Text setters keep a trimmed copy (null clears).
    [[nodiscard]] HRESULT SetName(const char* name);
    // Index of version, appending a record with the initial values when the
    // version is new.  Null arguments or an empty version: 0x801F811D.
    [[nodiscard]] HRESULT AddServerProperties(const char* version, std::int32_t* index);
    [[nodiscard]] HRESULT SetIPAddress(std::int32_t index, const char* address);
    [[nodiscard]] HRESULT SetUsingProxy(std::int32_t index, std::int32_t flag);
    [[nodiscard]] HRESULT SetProxyServerIPAddress(std::int32_t index, const char* address);
    // True when name equals the info's name ignoring case; false for a null
    // name or a nameless info.  The flag only allows an exact match first.
    [[nodiscard]] bool IsName(const char* name, bool case_sensitive) const;
    [[nodiscard]] HRESULT SetLastUpdatedTime(std::int32_t index, std::uint32_t time);
    [[nodiscard]] HRESULT SetSSLPublic(std::int32_t index, std::int32_t flag);
    [[nodiscard]] HRESULT SetSSLRequired(std::int32_t index, std::int32_t flag);
    [[nodiscard]] HRESULT SetPort(std::int32_t index, std::int32_t port);
    [[nodiscard]] HRESULT SetSecurePort(std::int32_t index, std::int32_t port);
    [[nodiscard]] HRESULT SetSystemInfoLocation(std::int32_t index, const char* location);
    HRESULT RemoveAll();
    [[nodiscard]] HRESULT Remove(std::int32_t index);

    // The stored name (owned by the info) or null.
    [[nodiscard]] const char* Name() const { return name_.get(); }

    struct Properties;
    // The record at index (owned by the info) or null for a bad index.
    [[nodiscard]] Properties* At(std::int32_t index) const;

  private:
    Properties* Get(std::int32_t index) const;

    CStringHolder name_;
    COwningList<Properties> versions_;
    CEventLog* log_;
};

class CQVReg::CQueryInfo : public IQVQueryInfo {
  public:
    explicit CQueryInfo(CEventLog* log);
    ~CQueryInfo() override;
    CQueryInfo(const CQueryInfo&) = delete;
    CQueryInfo& operator=(const CQueryInfo&) = delete;

    [[nodiscard]] HRESULT GetName(char** name) override;
    [[nodiscard]] HRESULT GetCount(std::int32_t* count) override;
    [[nodiscard]] HRESULT FindByVersion(const char* version, std::int32_t* index) override;
    [[nodiscard]] HRESULT GetVersion(std::int32_t index, char** version) override;
    [[nodiscard]] HRESULT GetQueryLocation(std::int32_t index, char** location) override;
    [[nodiscard]] HRESULT GetSSLPublic(std::int32_t index, std::int32_t* flag) override;
    [[nodiscard]] HRESULT GetSSLRequired(std::int32_t index, std::int32_t* flag) override;
    [[nodiscard]] HRESULT GetTimeInterval(std::int32_t index, std::int32_t* value) override;
    [[nodiscard]] HRESULT GetRetryTimeout(std::int32_t index, std::int32_t* value) override;

    [[nodiscard]] HRESULT SetName(const char* name);
    [[nodiscard]] bool IsName(const char* name, bool case_sensitive) const;
    // As CServerInfo::AddServerProperties; the version is kept as given.
    [[nodiscard]] HRESULT AddQueryProperties(const char* version, std::int32_t* index);
    HRESULT RemoveAll();
    [[nodiscard]] HRESULT Remove(std::int32_t index);
    [[nodiscard]] HRESULT SetQueryLocation(std::int32_t index, const char* location);
    [[nodiscard]] HRESULT SetSSLPublic(std::int32_t index, std::int32_t flag);
    [[nodiscard]] HRESULT SetSSLRequired(std::int32_t index, std::int32_t flag);
    [[nodiscard]] HRESULT SetTimeInterval(std::int32_t index, std::int32_t value);
    [[nodiscard]] HRESULT SetRetryTimeout(std::int32_t index, std::int32_t value);

    [[nodiscard]] const char* Name() const { return name_.get(); }

    struct Properties;
    [[nodiscard]] Properties* At(std::int32_t index) const;

  private:
    Properties* Get(std::int32_t index) const;

    CStringHolder name_;
    COwningList<Properties> versions_;
    CEventLog* log_;
};

struct CQVReg::CServerInfo::Properties {
    CStringHolder version;
    CStringHolder ip_address;
    std::int32_t using_proxy = 0;
    CStringHolder proxy_server_ip_address;
    std::uint32_t last_updated_time = 0;
    std::int32_t ssl_public = 0;
    std::int32_t ssl_required = 0;
    std::int32_t port = 80;
    std::int32_t secure_port = 443;
    CStringHolder system_info_location;
};

struct CQVReg::CQueryInfo::Properties {
    CStringHolder version;
    CStringHolder query_location;
    std::int32_t ssl_public = 0;
    std::int32_t ssl_required = 0;
    std::int32_t time_interval = 0;
    std::int32_t retry_timeout = 0;
};

// ASCII case-insensitive equality of two texts (null equals only null).
[[nodiscard]] bool EqualsIgnoreCase(const char* a, const char* b);

// True when name can stand as one registry key level: not empty and without
// "\" (an empty name would address the parent key itself, a "\" a deeper key).
[[nodiscard]] bool IsKeyLevelName(const char* name);
