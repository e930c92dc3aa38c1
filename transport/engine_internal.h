// Helpers of the request engine that carry no state: the WinInet open type
// of an access type, the choice of proxy for one request, and the reading
// of tuning values.  Kept apart so that they can be tested on their own.
#pragma once

#include <cstdint>
#include <string>

#include "transport/connection_policy.h"

namespace zel::transport {

// The WinInet open type number an access type code stands for: 0 for
// PRECONFIG (2), 4 for PRECONFIG_WITH_NO_AUTOPROXY (3), 3 for PROXY (4),
// 1 (DIRECT) for any other code.
std::int32_t OpenTypeValue(std::int32_t access_type);

// True for the names that never go through a proxy: "localhost",
// "127.0.0.1", "::1" and "[::1]" (ASCII case-insensitive).
bool IsLoopbackName(const std::string& host);

// The proxy entry of a WinInet-style proxy list for a request's scheme
// ("http" or "https"): entries are separated by ";" or blanks; an entry
// "scheme=host:port" applies to that scheme only, an entry without "=" to
// every scheme; the first matching entry wins.  "" when none applies.
std::string ProxyForScheme(const std::string& list, const std::string& scheme);

// Whether the bypass list sends host around the proxy: the loopback names
// always; "<local>" adds names without a dot; other entries match the host
// exactly or, with a leading "*", as a suffix (ASCII case-insensitive).
bool BypassesProxy(const std::string& bypass, const std::string& host);

// How the engine applies the access type to one request: no proxy at all,
// the machine's settings (the proxy environment variables), or the given
// proxy URL.
struct ProxyChoice {
    enum class Kind { Direct, Machine, Explicit } kind = Kind::Direct;
    std::string proxy;  // Explicit: "http://host:port"
};
ProxyChoice ChooseProxy(std::int32_t access_type, const char* proxy_list, const char* bypass,
                        const std::string& host, bool secure);

// The time limits of one request (see RequestTimeouts in
// connection_policy.h), read afresh from ferrun.conf in the install
// directory; 0 or a missing value gives the default.
RequestTimeouts ReadRequestTimeouts(long default_connect, long default_idle);

// Seconds a request may take in all: the floor, plus the time the larger of
// its announced size (request length plus the answer's Content-Length, when
// known) and the bytes moved so far need at min_speed.  A body of unknown
// size so only ever gets more time while it keeps coming at min_speed.
double RequestDeadline(const RequestTimeouts& limits, std::uint64_t announced_bytes,
                       std::uint64_t moved_bytes);

}  // namespace zel::transport
