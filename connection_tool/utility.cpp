// The connection tool's dialog logic (see utility.h).  It owns nothing
// beyond the two test targets and the override dialog's values; registry
// keys are opened for each read or write and closed at once.
#include "connection_tool/utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "directory/central.h"
#include "directory/server_directory.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "support/strings.h"
#include "transport/access_method.h"

namespace zel::conn {
namespace {

// "Code:%x\nExtended:%x\nText:%s" for a transport failure.
std::string InternetErrorText(int code, long extended, const std::string& text) {
    char head[64];
    std::snprintf(head, sizeof head, "Code:%x\nExtended:%lx\nText:", static_cast<unsigned>(code),
                  static_cast<unsigned long>(extended));
    return head + text;
}

// A 32-bit value of the key at path, or nothing when the key or the value is
// missing (or of another type).
bool ReadDword(reg::Hive hive, const char* path, const char* name, std::uint32_t* out) {
    reg::Key key;
    if (reg::OpenKey(hive, path, &key) != reg::kSuccess) return false;
    return reg::QueryDword(key, name, out) == reg::kSuccess;
}
bool ReadString(reg::Hive hive, const char* path, const char* name, std::string* out) {
    reg::Key key;
    if (reg::OpenKey(hive, path, &key) != reg::kSuccess) return false;
    return reg::QueryString(key, name, out) == reg::kSuccess;
}

std::string RegistryErrorText(reg::Status status) {
    return "The registry could not be written (error " + std::to_string(status) + ").";
}

}  // namespace

const char* MethodLabel(Method method) {
    switch (method) {
        case Method::Direct:
            return "Direct (no proxy)";
        case Method::Preconfig:
            return "Preconfig";
        case Method::PreconfigNoAutoProxy:
            return "Preconfig (no auto proxy)";
        case Method::Proxy:
            return "Proxy (browser)";
    }
    return "";
}

const char* GroupCaption(Group group) {
    return group == Group::Http ? "HTTP Connection Test" : "HTTPS Connection Test";
}

bool ParseServer(const std::string& text, int default_port, std::string* host, int* port) {
    std::string name = text;
    std::string port_text;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < name.size()) {
            if (name[close + 1] != ':') return false;
            port_text = name.substr(close + 2);
            if (port_text.empty()) return false;
        }
        name = name.substr(1, close - 1);
    } else {
        const std::size_t colon = name.rfind(':');
        if (colon != std::string::npos) {
            if (name.find(':') != colon) return false;  // a bare IPv6 address needs brackets
            port_text = name.substr(colon + 1);
            if (port_text.empty()) return false;
            name = name.substr(0, colon);
        }
    }
    if (name.empty()) return false;
    int value = default_port;
    if (!port_text.empty()) {
        if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        value = static_cast<int>(fs::ParseDecimalPrefix(port_text, 99999));
        if (value < 1 || value > 65535) return false;
    }
    *host = name;
    *port = value;
    return true;
}

namespace {

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One entry of a proxy list: "[SCHEME=]HOST[:PORT]".
bool CheckProxyEntry(const std::string& entry, std::string* why) {
    std::string address = entry;
    const std::size_t eq = address.find('=');
    if (eq != std::string::npos) {
        const std::string scheme = address.substr(0, eq);
        if (scheme.empty() ||
            scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") !=
                std::string::npos) {
            *why = "\"" + entry + "\" does not start with a protocol name before \"=\".";
            return false;
        }
        address = address.substr(eq + 1);
    }
    if (address.rfind("http://", 0) == 0) address = address.substr(7);
    if (address.empty()) {
        *why = "\"" + entry + "\" names no proxy server.";
        return false;
    }
    std::string host;
    int port = 0;
    // The port, when given, is checked for itself so the message can say so.
    const std::size_t colon = address.rfind(':');
    if (colon != std::string::npos && address.back() != ']') {
        const std::string port_text = address.substr(colon + 1);
        if (port_text.empty() || port_text.size() > 5 ||
            port_text.find_first_not_of("0123456789") != std::string::npos ||
            fs::ParseDecimalPrefix(port_text, 99999) < 1 ||
            fs::ParseDecimalPrefix(port_text, 99999) > 65535) {
            *why = "\"" + entry + "\" has no valid port: a port is a number from 1 to 65535.";
            return false;
        }
    }
    if (!ParseServer(address, 80, &host, &port) ||
        host.find_first_of(" \t/@=;\\") != std::string::npos) {
        *why = "\"" + entry + "\" is not a proxy server address (HOST:PORT).";
        return false;
    }
    for (unsigned char c : host) {
        if (c < 0x20 || c == 0x7f) {
            *why = "\"" + entry + "\" is not a proxy server address (HOST:PORT).";
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckProxyAddress(const std::string& text, std::string* why) {
    std::size_t start = 0;
    int entries = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) continue;
        if (!CheckProxyEntry(entry, why)) return false;
        ++entries;
    }
    if (entries == 0) {
        *why = "No proxy server address is given.";
        return false;
    }
    return true;
}

std::string ServiceDefaultsPath() {
    const char* path = std::getenv("ZEL_DEFAULTS_FILE");
    return path != nullptr && *path != '\0' ? path : "/etc/default/zelway";
}

ProxyEnvironment ReadEnvironmentFile(const std::string& path, bool* found) {
    ProxyEnvironment env;
    std::string text;
    *found = fs::ReadWholeFile(path, &text) == 0;
    if (!*found) return env;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = Trimmed(line.substr(0, eq));
        std::string value = Trimmed(line.substr(eq + 1));
        if (name.empty()) continue;
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::erase_if(env, [&](const auto& entry) { return entry.first == name; });
        env.emplace_back(name, value);
    }
    return env;
}

const char* OutcomeText(TestOutcome outcome) {
    switch (outcome) {
        case TestOutcome::Saved:
            return "Access method saved.";
        case TestOutcome::Declined:
            return "Test passed; nothing saved.";
        case TestOutcome::Cancelled:
            return "Test cancelled; nothing saved.";
        case TestOutcome::Failed:
            break;
    }
    return "Test failed; nothing saved.";
}

ConnectionUtility::ConnectionUtility(UserInterface* ui) : ui_(ui) {
    http_ = Target{kDefaultHttpServer, 80, false, kHttpPath};
    https_ = Target{kDefaultHttpsServer, 443, true, kHttpsPath};
}

namespace {

// Address and port of version "001" of a server in the cached directory:
// the secure port when secure, else the plain one.
bool CachedServer(const char* name, bool secure, std::string* host, int* port) {
    CQVReg directory(nullptr);
    const char* names[] = {name};
    if (FAILED(directory.SetLimitServerInfoNames(names, 1)) ||
        FAILED(directory.GetServerInfoFromReg()))
        return false;
    CQVReg::CServerInfo* info = nullptr;
    std::int32_t index = 0;
    if (FAILED(directory.GetServerInfoByName(name, false, &info)) ||
        FAILED(info->FindByVersion(kDefaultVersion, &index)))
        return false;
    CStringHolder address;
    std::int32_t value = 0;
    if (FAILED(info->GetIPAddress(index, address.Out())) ||
        FAILED(secure ? info->GetSecurePort(index, &value) : info->GetPort(index, &value)))
        return false;
    const std::string text = Trimmed(address.c_str());
    if (text.empty() || value < 1 || value > 65535) return false;
    *host = text;
    *port = value;
    return true;
}

// The entry point named by ISERVER.XML: its first SRVIP, "HOST" or
// "HOST:PORT" as the directory reads it.
bool EntryPointFromFile(const std::string& path, std::string* host, int* port) {
    std::string text;
    if (fs::ReadWholeFile(path, &text) != 0) return false;
    const std::size_t open = text.find("<SRVIP>");
    const std::size_t close = text.find("</SRVIP>");
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    std::string value = Trimmed(text.substr(open + 7, close - open - 7));
    int p = 80;
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        const std::string port_text = Trimmed(value.substr(colon + 1));
        if (port_text.empty() || port_text.size() > 5 ||
            port_text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        p = static_cast<int>(fs::ParseDecimalPrefix(port_text, 99999));
        if (p < 1 || p > 65535) return false;
        value = Trimmed(value.substr(0, colon));
    }
    if (value.empty()) return false;
    *host = value;
    *port = p;
    return true;
}

}  // namespace

SystemServers FindSystemServers() {
    SystemServers s;
    const std::string file = paths::Join(paths::CommDir(), kServerXmlFileName);
    if (CachedServer("SERVER", false, &s.http_host, &s.http_port)) {
        s.http_source = "cached server directory";
    } else if (EntryPointFromFile(file, &s.http_host, &s.http_port)) {
        s.http_source = file;
    } else {
        s.http_host = kDefaultHttpServer;
        s.http_port = 80;
        s.http_source = "built-in default";
    }
    if (CachedServer(kPollServerName, true, &s.https_host, &s.https_port)) {
        s.https_source = "cached server directory";
    } else {
        s.https_host = kDefaultHttpsServer;
        s.https_port = 443;
        s.https_source = "built-in default";
    }
    return s;
}

void ConnectionUtility::UseSystemServers() {
    const SystemServers s = FindSystemServers();
    http_.host = s.http_host;
    http_.port = s.http_port;
    http_source_ = s.http_source;
    https_.host = s.https_host;
    https_.port = s.https_port;
    https_source_ = s.https_source;
}

void ConnectionUtility::SetHttpTarget(const std::string& host, int port) {
    http_.host = host;
    http_.port = port;
    http_source_ = "command line";
}

void ConnectionUtility::SetHttpsTarget(const std::string& host, int port) {
    https_.host = host;
    https_.port = port;
    https_source_ = "command line";
}

std::string ConnectionUtility::TargetText(Group group) const {
    const Target& t = group == Group::Http ? http_ : https_;
    const std::string host = t.host.find(':') != std::string::npos ? "[" + t.host + "]" : t.host;
    return host + ":" + std::to_string(t.port) + " (from " +
           (group == Group::Http ? http_source_ : https_source_) + ")";
}

std::string ConnectionUtility::AboutText() const {
    return "ZEL Connection Utility\nVersion 1.0\n\nHTTP server:  " + TargetText(Group::Http) +
           "\nHTTPS server: " + TargetText(Group::Https);
}

TestOutcome ConnectionUtility::RunTest(Group group, Method method) {
    const bool secure = group == Group::Https;
    const Target& target = secure ? https_ : http_;
    InternetHandle handle;
    handle.agent = kAgent;
    switch (method) {
        case Method::Direct:
            handle.open_type = OpenType::Direct;
            break;
        case Method::Preconfig:
        case Method::PreconfigNoAutoProxy:
            // The service never sees the caller's shell: its proxy variables
            // come from its environment file alone.
            handle.open_type =
                method == Method::Preconfig ? OpenType::Preconfig : OpenType::PreconfigNoAutoProxy;
            if (PreconfigUsesEnvironment()) {
                service_environment_ = ReadEnvironmentFile(ServiceDefaultsPath(), &have_defaults_);
                handle.machine_environment = &service_environment_;
            }
            break;
        case Method::Proxy: {
            if (!GetUsingProxy(nullptr)) {
                ui_->ShowMessage(kProxyNotEnabled, "Information");
                return TestOutcome::Failed;
            }
            CStringHolder address;
            if (FAILED(GetProxyAddress(nullptr, secure, address.Out()))) {
                // Longer than the tool holds: refused whole rather than cut
                // into an address that would point somewhere else.
                ui_->ShowMessage("The proxy address for " + std::string(secure ? "HTTPS" : "HTTP") +
                                     " is longer than " + std::to_string(kMaxTestProxyAddress) +
                                     " characters and cannot be used.",
                                 "Error");
                return TestOutcome::Failed;
            }
            // Without a usable address the request would go direct and the
            // test would prove nothing about the proxy.
            std::string why;
            if (!CheckProxyAddress(address.c_str(), &why)) {
                ui_->ShowMessage("No usable proxy address for " +
                                     std::string(secure ? "HTTPS" : "HTTP") + ": " + why,
                                 "Error");
                return TestOutcome::Failed;
            }
            handle.open_type = OpenType::Proxy;
            handle.proxy = address.c_str();
            handle.bypass = "<local>";
            ui_->ShowMessage(handle.proxy, "Proxy Server Location");
            break;
        }
    }
    return Fetch(handle, target, method);
}

TestOutcome ConnectionUtility::Fetch(const InternetHandle& handle, const Target& target,
                                     Method method) {
    const FetchResult result =
        zel::conn::Fetch(handle, target, paths::ResponseFile(),
                         [this](double elapsed) { return ui_->KeepTesting(elapsed); });
    if (handle.machine_environment != nullptr) {
        const std::string source = ServiceDefaultsPath() + (have_defaults_ ? "" : ", not found");
        ui_->ShowNote(result.proxy_used.empty()
                          ? "Preconfigured proxy: none, direct connection (service environment " +
                                source + ")"
                          : "Preconfigured proxy: " + result.proxy_used + " (service environment " +
                                source + ")");
    }
    if (result.kind == FetchResult::Kind::Cancelled) return TestOutcome::Cancelled;
    if (result.kind != FetchResult::Kind::Ok) {
        ReportFailure(result);
        return TestOutcome::Failed;
    }
    if (!ui_->AskYesNo(kConfirmText, "Information")) return TestOutcome::Declined;
    reg::Key key;
    reg::Status status = reg::CreateKey(reg::Hive::LocalMachine, kSystemKey, &key, nullptr);
    if (status == reg::kSuccess)
        status = reg::SetDword(key, "AccessMethod", static_cast<std::uint32_t>(method));
    if (status != reg::kSuccess) {
        // Never let the user believe the method was stored when it was not.
        ui_->ShowMessage(RegistryErrorText(status), "Error");
        return TestOutcome::Failed;
    }
    return TestOutcome::Saved;
}

void ConnectionUtility::ReportFailure(const FetchResult& result) {
    switch (result.kind) {
        case FetchResult::Kind::Ok:
        case FetchResult::Kind::Cancelled:
            return;
        case FetchResult::Kind::BadStatus:
            ui_->ShowMessage(kStatusNot200, "HTTP Status Code");
            return;
        case FetchResult::Kind::File:
            ui_->ShowMessage(
                std::string(std::strerror(result.file_error)) + " (" + paths::ResponseFile() + ")",
                "Error");
            return;
        case FetchResult::Kind::Transport:
            ui_->ShowMessage(result.error_text, "Error");
            if (result.internet_error)
                ui_->ShowMessage(
                    InternetErrorText(result.error_code, result.extended_error, result.failure),
                    "Internet Error");
            return;
    }
}

OverrideSettings LoadOverrideSettings() {
    OverrideSettings s;
    std::uint32_t value = 0;
    if (ReadDword(reg::Hive::LocalMachine, kSystemKey, "AccessOverride", &value) && value != 0) {
        s.use_override = true;
        if (ReadDword(reg::Hive::LocalMachine, kSystemKey, "ProxyEnable", &value))
            s.proxy_enabled = value != 0;
        (void)ReadString(reg::Hive::LocalMachine, kSystemKey, "ProxyServer", &s.address);
        return s;
    }
    if (ReadDword(reg::Hive::LocalMachine, kInternetSettingsMachine, "ProxyEnable", &value) ||
        ReadDword(reg::Hive::CurrentUser, kInternetSettingsUser, "ProxyEnable", &value))
        s.proxy_enabled = value != 0;
    if (!ReadString(reg::Hive::LocalMachine, kInternetSettingsMachine, "ProxyServer", &s.address))
        (void)ReadString(reg::Hive::CurrentUser, kInternetSettingsUser, "ProxyServer", &s.address);
    return s;
}

bool SaveOverrideSettings(const OverrideSettings& settings, std::string* error) {
    reg::Transaction tx;
    reg::Status status = tx.Begin();
    reg::Key key;
    if (status == reg::kSuccess)
        status = reg::CreateKey(reg::Hive::LocalMachine, kSystemKey, &key, nullptr);
    if (status == reg::kSuccess)
        status = reg::SetDword(key, "AccessOverride", settings.use_override ? 1 : 0);
    if (status == reg::kSuccess)
        status = reg::SetDword(key, "ProxyEnable", settings.proxy_enabled ? 1 : 0);
    if (status == reg::kSuccess) status = reg::SetString(key, "ProxyServer", settings.address);
    key.Close();
    if (status == reg::kSuccess) status = tx.Commit();
    if (status != reg::kSuccess) {
        tx.Rollback();
        *error = RegistryErrorText(status);
        return false;
    }
    return true;
}

ProxyOverrideDialog::ProxyOverrideDialog(UserInterface* ui)
    : ui_(ui), settings_(LoadOverrideSettings()) {}

bool ProxyOverrideDialog::SetAddress(const std::string& text) {
    // Shortening is always allowed, so a longer stored value can be edited
    // down to size.
    if (text.size() > kMaxOverrideAddress && text.size() >= settings_.address.size()) return false;
    settings_.address = text;
    return true;
}

bool ProxyOverrideDialog::Ok() {
    if (settings_.address.size() > kMaxOverrideAddress) {
        // A stored value longer than the field holds is never cut and
        // written back shortened.
        ui_->ShowMessage("The proxy address is longer than " + std::to_string(kMaxOverrideAddress) +
                             " characters.",
                         "Error");
        return false;
    }
    std::string why;
    if (settings_.proxy_enabled || !Trimmed(settings_.address).empty()) {
        if (!CheckProxyAddress(settings_.address, &why)) {
            ui_->ShowMessage(why + "\n\nNothing was saved.", "Error");
            return false;
        }
    }
    std::string error;
    if (!SaveOverrideSettings(settings_, &error)) {
        ui_->ShowMessage(error, "Error");
        return false;
    }
    return true;
}

}  // namespace zel::conn
