// Helpers of the request engine that carry little or no state: the WinInet
// open type of an access type, the choice of proxy for one request, the
// time limits of ferrun.conf with the per-request deadline, and the speed
// watch of an engine that enforces the idle limit itself.  Kept apart so
// that they can be tested on their own; none of them names an HTTP library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zel::transport {

// The time limits of one request from ferrun.conf in the install directory,
// read afresh, once, for each request; 0 or a missing value gives the
// default, so neither a silent nor a trickling server can hold a transfer
// without end:
//   "connect_timeout" (s, default 60): how long connecting may take;
//   "idle_timeout" (s, default 300) and "min_speed" (bytes per second,
//     default 1024): a transfer that moves fewer than min_speed bytes per
//     second, both directions counted, for idle_timeout seconds in a row
//     ends;
//   "request_deadline" (s, default 900): the least time a whole request
//     gets; it may take that long plus the time its size needs at min_speed
//     (see RequestDeadline).
struct RequestTimeouts {
    long connect_seconds;
    long idle_seconds;
    long min_speed = kDefaultMinSpeed;
    long deadline_floor_seconds = kDefaultDeadlineFloor;

    static constexpr long kDefaultConnectTimeout = 60;
    static constexpr long kDefaultIdleTimeout = 300;
    static constexpr long kDefaultMinSpeed = 1024;
    static constexpr long kDefaultDeadlineFloor = 900;
};

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

// The time limits of one request (see RequestTimeouts), read afresh from
// ferrun.conf in the install directory; 0 or a missing value gives the
// default.
RequestTimeouts ReadRequestTimeouts(long default_connect, long default_idle);

// Seconds a request may take in all: the floor, plus the time the larger of
// its announced size (request length plus the answer's Content-Length, when
// known) and the bytes moved so far need at min_speed.  A body of unknown
// size so only ever gets more time while it keeps coming at min_speed.
double RequestDeadline(const RequestTimeouts& limits, std::uint64_t announced_bytes,
                       std::uint64_t moved_bytes);

// The idle limit kept by an engine whose HTTP client has no speed limit of
// its own: a transfer ends once fewer than min_speed bytes per second, both
// directions counted, moved for idle_seconds in a row.  The speed is taken
// over whole seconds, so that a steady trickle and a burst now and then are
// judged alike; a second under way that is fast enough already spares the
// transfer.  Fed with the bytes moved so far and the time; owns nothing.
class SpeedWatch {
  public:
    using Clock = std::chrono::steady_clock;
    SpeedWatch(const RequestTimeouts& limits, Clock::time_point start);
    // Records the bytes moved so far (both directions) at now; true once the
    // transfer has been too slow for the idle limit.
    bool TooSlow(std::uint64_t moved_bytes, Clock::time_point now);

  private:
    double idle_seconds_;
    double min_speed_;
    Clock::time_point second_start_;  // start of the second being measured
    std::uint64_t second_bytes_ = 0;  // bytes moved when it started
    Clock::time_point slow_since_;    // the transfer has been slow since then
    bool slow_ = false;
};

}  // namespace zel::transport
