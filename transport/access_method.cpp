// Access method and proxy decision: see access_method.h.
#include "transport/access_method.h"

#include <cstring>
#include <string>

#include "log/report.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "support/report_sink.h"
#include "support/result_codes.h"
#include "support/strings.h"

using namespace zel::codes;
using namespace zel::log;

namespace {

constexpr const char* kSystemKey = zel::keys::kServersKey;
constexpr const char* kUserKey = zel::keys::kInternetSettingsKey;

std::uint32_t ReadInt(zel::reg::Hive hive, const char* key_path, const char* name) {
    zel::reg::Key key;
    zel::reg::Disposition disposition{};
    if (zel::reg::CreateKey(hive, key_path, &key, &disposition) != zel::reg::kSuccess) return 0;
    if (disposition == zel::reg::Disposition::CreatedNewKey) return 0;
    std::uint32_t value = 0;
    if (zel::reg::QueryDword(key, name, &value) != zel::reg::kSuccess) return 0;
    return value;
}

std::string ReadStr(zel::reg::Hive hive, const char* key_path, const char* name) {
    zel::reg::Key key;
    zel::reg::Disposition disposition{};
    if (zel::reg::CreateKey(hive, key_path, &key, &disposition) != zel::reg::kSuccess) return "";
    if (disposition == zel::reg::Disposition::CreatedNewKey) return "";
    std::string value;
    if (zel::reg::QueryString(key, name, &value) != zel::reg::kSuccess) return "";
    // The value holds at most 511 characters.
    if (value.size() > 511) value.resize(511);
    return value;
}

std::int32_t AsInt(std::uint32_t v) {
    return static_cast<std::int32_t>(v);
}

}  // namespace

const char* AccessTypeOpenTypeName(std::int32_t access_type) {
    switch (access_type) {
        case ACCESS_TYPE_PRECONFIG:
            return "INTERNET_OPEN_TYPE_PRECONFIG";
        case ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
            return "INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY";
        case ACCESS_TYPE_PROXY:
            return "INTERNET_OPEN_TYPE_PROXY";
        default:
            return "INTERNET_OPEN_TYPE_DIRECT";
    }
}

bool GetUsingProxy(CEventLog* log) {
    std::uint32_t override_value =
        ReadInt(zel::reg::Hive::LocalMachine, kSystemKey, "AccessOverride");
    ReportInfo(log, "Get Registry Int(GetUsingProxy)", AsInt(override_value), "AccessOverride");
    std::uint32_t enable;
    if (override_value != 0) {
        enable = ReadInt(zel::reg::Hive::LocalMachine, kSystemKey, "ProxyEnable");
        ReportInfo(log, "GetUsingProxy(Local Machine)", AsInt(enable), "ProxyEnable");
    } else {
        enable = ReadInt(zel::reg::Hive::CurrentUser, kUserKey, "ProxyEnable");
        ReportInfo(log, "GetUsingProxy(Current User)", AsInt(enable), "ProxyEnable");
    }
    return enable != 0;
}

namespace {
// Where the list element named word ("http" before its "=") begins: at the
// start of the list or after a ";" (blanks after it skipped).  A word inside
// a host name ("myhttpproxy.corp") or a longer name ("https=" for "http")
// is no such element.  npos when there is none.
std::size_t FindElement(const std::string& text, const std::string& word) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t at = start;
        while (at < text.size() && text[at] == ' ') ++at;
        if (text.compare(at, word.size(), word) == 0 && at + word.size() < text.size() &&
            text[at + word.size()] == '=')
            return at;
        std::size_t semicolon = text.find(';', start);
        if (semicolon == std::string::npos) break;
        start = semicolon + 1;
    }
    return std::string::npos;
}
}  // namespace

HRESULT ParseProxyAddress(const char* list, bool secure, char** proxy) {
    if (proxy == nullptr)
        return ReportFailure(kInvalidArg, "GetProxyAddress", MessageIdFor(kInvalidArg));
    *proxy = nullptr;
    std::string text = list != nullptr ? list : "";
    const std::string word = secure ? "https" : "http";
    const std::string upper = secure ? "HTTPS" : "HTTP";
    std::size_t pos = FindElement(text, word);
    if (pos == std::string::npos) pos = FindElement(text, upper);
    if (pos == std::string::npos) pos = text.find('=');
    if (pos == std::string::npos) pos = 0;
    std::size_t eq = text.find('=', pos);
    if (eq != std::string::npos) pos = eq + 1;
    std::size_t end = text.find(';', pos);
    std::string address =
        text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    // An overlong address cannot be stored whole; a cut one would name some
    // other host, so it is refused.
    if (address.size() > static_cast<std::size_t>(kMaxProxyAddress))
        return ReportFailure(kInvalidArg, "GetProxyAddress", MessageIdFor(kInvalidArg));
    return GetString(address.c_str(), proxy, false);
}

HRESULT GetProxyAddress(CEventLog* log, bool secure, char** proxy) {
    if (proxy == nullptr)
        return ReportFailure(kInvalidArg, "GetProxyAddress", MessageIdFor(kInvalidArg));
    *proxy = nullptr;
    std::uint32_t override_value =
        ReadInt(zel::reg::Hive::LocalMachine, kSystemKey, "AccessOverride");
    ReportInfo(log, "Get Registry Int(GetProxyAddress)", AsInt(override_value), "AccessOverride");
    std::string list;
    if (override_value != 0) {
        list = ReadStr(zel::reg::Hive::LocalMachine, kSystemKey, "ProxyServer");
        ReportInfo(log, "Get Registry Str(Local-GetProxyAddress)", 0, list.c_str());
    } else {
        list = ReadStr(zel::reg::Hive::CurrentUser, kUserKey, "ProxyServer");
        ReportInfo(log, "Get Registry Str(User-GetProxyAddress)", 0, list.c_str());
    }
    return ParseProxyAddress(list.c_str(), secure, proxy);
}

std::int32_t GetAccessType(CEventLog* log, bool log_proxy_reads, bool secure, char** proxy) {
    if (proxy != nullptr) *proxy = nullptr;
    std::uint32_t override_value =
        ReadInt(zel::reg::Hive::LocalMachine, kSystemKey, "AccessOverride");
    ReportInfo(log, "Get Registry Int(GetAccessType)", AsInt(override_value), "AccessOverride");
    std::uint32_t method = ReadInt(zel::reg::Hive::LocalMachine, kSystemKey, "AccessMethod");
    ReportInfo(log, "Get Registry Int(GetAccessType)", AsInt(method), "AccessMethod");
    // The override forces the proxy method; the method finally used is
    // logged either way.
    if (override_value != 0) method = 3;
    ReportInfo(log, "Final Access Method(GetAccessType)", AsInt(method), "n/a");
    CEventLog* read_log = log_proxy_reads ? log : nullptr;
    switch (method) {
        case 1:
            ReportInfo(log, "GetAccessType", ACCESS_TYPE_PRECONFIG, "ACCESS_TYPE_PRECONFIG");
            return ACCESS_TYPE_PRECONFIG;
        case 2:
            ReportInfo(log, "GetAccessType", ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY,
                       "ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY");
            return ACCESS_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
        case 3: {
            CStringHolder address;
            if (GetUsingProxy(read_log) &&
                SUCCEEDED(GetProxyAddress(read_log, secure, address.Out()))) {
                ReportInfo(log, "GetAccessType", ACCESS_TYPE_PROXY, "ACCESS_TYPE_PROXY");
                if (proxy != nullptr) {
                    *proxy = address.release();
                }
                return ACCESS_TYPE_PROXY;
            }
            ReportInfo(log, "GetAccessType(fallback)", ACCESS_TYPE_DIRECT, "ACCESS_TYPE_DIRECT");
            return ACCESS_TYPE_DIRECT;
        }
        default:
            ReportInfo(log, "GetAccessType", ACCESS_TYPE_DIRECT, "ACCESS_TYPE_DIRECT");
            return ACCESS_TYPE_DIRECT;
    }
}
