// How the component reaches the Internet: direct, the machine's
// preconfigured settings (with or without automatic proxy discovery), or an
// explicit proxy server, decided from the access values that the connection
// configuration tool writes to the registry.
//
// Registry reads never fail: a key that cannot be opened or created, or a
// missing value, gives 0 / the empty string.  Each read opens the key with
// full access and creates it when it is missing.  Every entry goes to the
// given log (none when it is null) as an information record of the category
// Client Application.
#pragma once

#include <cstdint>

#include "support/result.h"

class CEventLog;

// Access type codes.
inline constexpr std::int32_t ACCESS_TYPE_DIRECT = 1;
inline constexpr std::int32_t ACCESS_TYPE_PRECONFIG = 2;
inline constexpr std::int32_t ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY = 3;
inline constexpr std::int32_t ACCESS_TYPE_PROXY = 4;

// Longest proxy address that is used; a longer one is refused, never cut.
inline constexpr long kMaxProxyAddress = 63;

// Decides the access type for a connection (secure: HTTPS).  With
// ACCESS_TYPE_PROXY, *proxy receives the proxy address as a new heap string
// that the caller frees with FreeString; otherwise *proxy is none.  The
// registry reads of GetUsingProxy/GetProxyAddress are logged only when
// log_proxy_reads is set.  Always succeeds.
std::int32_t GetAccessType(CEventLog* log, bool log_proxy_reads, bool secure, char** proxy);

// True when the applicable "ProxyEnable" (the system key's with
// "AccessOverride", else the user's browser setting) is non-zero.
bool GetUsingProxy(CEventLog* log);

// The proxy address for the protocol from the applicable "ProxyServer" list
// into *proxy (set to none first; a new heap string the caller frees).  The
// entry "http=" (or "https=" when secure, either in lower or in upper case)
// is found as a whole list element, at the start or after a ";"; without
// one the text after the first "=" applies, and a value without "=" (a plain
// host:port) is used whole.  An address longer than
// kMaxProxyAddress characters fails with 0x801F811D and leaves *proxy none.
[[nodiscard]] HRESULT GetProxyAddress(CEventLog* log, bool secure, char** proxy);

// The proxy address that the list text gives for the protocol, as above,
// without registry or log.
[[nodiscard]] HRESULT ParseProxyAddress(const char* list, bool secure, char** proxy);

// The WinInet open type name that an access type code stands for
// ("INTERNET_OPEN_TYPE_DIRECT" for any code but 2, 3 and 4).
const char* AccessTypeOpenTypeName(std::int32_t access_type);
