// The central side as the directory sees it: the two built-in addresses, the
// built-in records, the cached entry-point description "ISERVER.XML", the
// staleness rule and the refresh sequence that the Poll object runs.
//
// The built-in addresses are the only place that names a central host; a
// site points the directory elsewhere by editing "ISERVER.XML" in the install
// directory.  Routines return result codes, log each failure once to the
// directory's log and never throw; out texts are heap strings the caller
// frees with FreeString.
#pragma once

#include <cstdint>

#include "directory/server_directory.h"
#include "support/result.h"

class CEventLog;

// The central hosts used when nothing else is configured.
inline constexpr const char* kDefaultEntryPointServer = "entry.quvaro.example";
inline constexpr const char* kDefaultTransferServer = "poll.quvaro.example";

// The names a refresh registers: the server, the four operations and the
// interface the transfer server must support.
inline constexpr const char* kPollServerName = "POLL";
inline constexpr const char* kPollQueryNames[] = {"GetFileListFromQuvaro", "GetFileFromQuvaro",
                                                  "PutFileFromDealer", "PostProcessQuvaroFile"};
inline constexpr const char* kPollInterfaceName = "IPOLL";

// A cache is stale once it is this old (seconds).
inline constexpr std::uint32_t kDirectoryMaxAge = 86400;

// File names in the install directory.
inline constexpr const char* kServerXmlFileName = "ISERVER.XML";

// The built-in entry-point description and fallback record into *out (set to
// none first).  Out of memory: 0x8020811E.
[[nodiscard]] HRESULT GetDefaultServerXML(char** out);
[[nodiscard]] HRESULT GetDefaultFallbackServerRecord(char** out);

// The entry-point description: "ISERVER.XML" of the install directory read
// whole; when it cannot be read, the built-in description, which is then
// written to that file (a failed write is ignored).
[[nodiscard]] HRESULT GetServerXML(CEventLog* log, char** out);

// True when the cached records of server version "001" and of the
// operation's query version "001" are missing, or when now minus the
// server's LastUpdatedTime, as an unsigned 32-bit number, is 86,400 or more
// (so a time in the future is stale as well).  now: seconds since
// 1970-01-01 UTC.  Lookups that fail are logged by the directory.
[[nodiscard]] bool IsRequireRegUpdate(CQVReg* directory, const char* server_name,
                                      const char* operation, std::uint32_t now);

// Registers the server "POLL", the four operation names and the interface
// "IPOLL" on the directory.
[[nodiscard]] HRESULT RegisterPollNames(CQVReg* directory);

// The three hops: the entry-point description (GetServerXML), the built-in
// fallback record, the server list, then the query records of "POLL" version
// "001".  Returns the first failure or the last result.
[[nodiscard]] HRESULT RefreshDirectory(CQVReg* directory);

// What the Poll object does before each request: register the names, load
// the cache and refresh it when the loading failed, when force is set or
// when it is stale for operation at now.  *refreshed (may be null) tells
// whether a refresh ran.
[[nodiscard]] HRESULT LoadAndRefreshDirectory(CQVReg* directory, const char* operation, bool force,
                                              std::uint32_t now, bool* refreshed);
