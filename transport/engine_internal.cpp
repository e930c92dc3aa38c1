// Stateless helpers of the request engine: see engine_internal.h.
#include "transport/engine_internal.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "support/config.h"
#include "transport/access_method.h"

namespace zel::transport {

std::int32_t OpenTypeValue(std::int32_t access_type) {
    switch (access_type) {
        case ACCESS_TYPE_PRECONFIG:
            return 0;
        case ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
            return 4;
        case ACCESS_TYPE_PROXY:
            return 3;
        default:
            return 1;
    }
}

bool IsLoopbackName(const std::string& host) {
    for (const char* name : {"localhost", "127.0.0.1", "::1", "[::1]"})
        if (strcasecmp(host.c_str(), name) == 0) return true;
    return false;
}

namespace {
std::vector<std::string> SplitEntries(const std::string& list) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : list) {
        if (c == ';' || c == ' ' || c == '\t' || c == ',') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}
}  // namespace

std::string ProxyForScheme(const std::string& list, const std::string& scheme) {
    for (const std::string& entry : SplitEntries(list)) {
        std::size_t eq = entry.find('=');
        if (eq == std::string::npos) return entry;
        if (strcasecmp(entry.substr(0, eq).c_str(), scheme.c_str()) == 0)
            return entry.substr(eq + 1);
    }
    return "";
}

bool BypassesProxy(const std::string& bypass, const std::string& host) {
    if (IsLoopbackName(host)) return true;
    for (const std::string& entry : SplitEntries(bypass)) {
        if (strcasecmp(entry.c_str(), "<local>") == 0) {
            if (host.find('.') == std::string::npos && host.find(':') == std::string::npos)
                return true;
        } else if (entry[0] == '*') {
            std::string suffix = entry.substr(1);
            if (host.size() >= suffix.size() &&
                strcasecmp(host.c_str() + host.size() - suffix.size(), suffix.c_str()) == 0)
                return true;
        } else if (strcasecmp(entry.c_str(), host.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

ProxyChoice ChooseProxy(std::int32_t access_type, const char* proxy_list, const char* bypass,
                        const std::string& host, bool secure) {
    ProxyChoice choice;
    if (IsLoopbackName(host)) return choice;
    if (access_type == ACCESS_TYPE_PRECONFIG ||
        access_type == ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY) {
        choice.kind = ProxyChoice::Kind::Machine;
        return choice;
    }
    if (access_type != ACCESS_TYPE_PROXY) return choice;
    if (BypassesProxy(bypass != nullptr ? bypass : "", host)) return choice;
    std::string entry =
        ProxyForScheme(proxy_list != nullptr ? proxy_list : "", secure ? "https" : "http");
    if (entry.empty()) return choice;
    choice.kind = ProxyChoice::Kind::Explicit;
    // The proxy itself is always spoken to in plain HTTP (CONNECT for HTTPS).
    choice.proxy = entry.find("://") == std::string::npos ? "http://" + entry : entry;
    return choice;
}

RequestTimeouts ReadRequestTimeouts(long default_connect, long default_idle) {
    int connect = static_cast<int>(default_connect);
    int idle = static_cast<int>(default_idle);
    int speed = static_cast<int>(RequestTimeouts::kDefaultMinSpeed);
    int floor = static_cast<int>(RequestTimeouts::kDefaultDeadlineFloor);
    ReadConfigNumbers(ConfigFilePath().c_str(), {{"connect_timeout", &connect},
                                                 {"idle_timeout", &idle},
                                                 {"min_speed", &speed},
                                                 {"request_deadline", &floor}});
    RequestTimeouts limits{connect > 0 ? connect : default_connect, idle > 0 ? idle : default_idle};
    if (speed > 0) limits.min_speed = speed;
    if (floor > 0) limits.deadline_floor_seconds = floor;
    return limits;
}

double RequestDeadline(const RequestTimeouts& limits, std::uint64_t announced_bytes,
                       std::uint64_t moved_bytes) {
    const double bytes = static_cast<double>(std::max(announced_bytes, moved_bytes));
    return static_cast<double>(limits.deadline_floor_seconds) +
           bytes / static_cast<double>(limits.min_speed);
}

SpeedWatch::SpeedWatch(const RequestTimeouts& limits, Clock::time_point start)
    : idle_seconds_(static_cast<double>(limits.idle_seconds)),
      min_speed_(static_cast<double>(limits.min_speed)),
      second_start_(start) {}

bool SpeedWatch::TooSlow(std::uint64_t moved_bytes, Clock::time_point now) {
    const std::chrono::duration<double> in_second = now - second_start_;
    if (in_second.count() >= 1.0) {
        // A second (or more, when nothing came for a while) is over: judge
        // its speed and begin the next one.
        const double speed = static_cast<double>(moved_bytes - second_bytes_) / in_second.count();
        if (speed < min_speed_) {
            if (!slow_) slow_since_ = second_start_;
            slow_ = true;
        } else {
            slow_ = false;
        }
        second_start_ = now;
        second_bytes_ = moved_bytes;
    }
    if (!slow_) return false;
    const std::chrono::duration<double> slow_for = now - slow_since_;
    if (slow_for.count() < idle_seconds_) return false;
    // Slow for the whole limit by the seconds judged so far, unless the
    // second under way has picked up: a transfer ends only when it is slow
    // up to now.
    const std::chrono::duration<double> part = now - second_start_;
    return part.count() <= 0 ||
           static_cast<double>(moved_bytes - second_bytes_) / part.count() < min_speed_;
}

}  // namespace zel::transport
