// The dialog logic of the connection tool zelconfig: what each button of
// the main dialog "ZEL Connection Utility" and of the proxy override dialog
// "Proxy Override Settings" does, independent of any screen.  The front end
// (the ncurses dialogs, or the line-oriented --test mode) implements
// UserInterface to show message boxes and ask Yes/No, and calls these
// classes when a button is pressed.
//
// Everything the tool writes goes to the system key that the transfer
// system reads its access method from; a failed test or a cancelled dialog
// writes nothing.  No function throws; outcomes are returned.
#pragma once

#include <cstdint>
#include <string>

#include "connection_tool/fetch.h"
#include "platform/registry_keys.h"

namespace zel::conn {

// The access values, and the machine's and the user's Internet settings (the
// same key path in HKLM and HKCU; key names compare without regard to case).
inline constexpr const char* kSystemKey = zel::keys::kServersKey;
inline constexpr const char* kInternetSettingsMachine = zel::keys::kInternetSettingsKey;
inline constexpr const char* kInternetSettingsUser = zel::keys::kInternetSettingsKey;

inline constexpr const char* kAgent = "Support Diagnostic Tool";
inline constexpr const char* kHttpPath = "/qvgqa/RetrieveServerInformation.xml";
inline constexpr const char* kHttpsPath = "/qvgqa/RetrieveSystemInformation.xml";
// The built-in central servers, the last resort of FindSystemServers.
inline constexpr const char* kDefaultHttpServer = "entry.quvaro.example";
inline constexpr const char* kDefaultHttpsServer = "poll.quvaro.example";

// The proxy address of the proxy tests is held in at most this many
// characters, the override dialog's address field in at most the second.
inline constexpr std::size_t kMaxTestProxyAddress = 63;
inline constexpr std::size_t kMaxOverrideAddress = 511;

// Texts shown to the user.
inline constexpr const char* kConfirmText =
    "Information successfully retrieved.\n\nConfigure this as the method for access?";
inline constexpr const char* kStatusNot200 = "Status not 200 Success";
inline constexpr const char* kProxyNotEnabled = "Proxy not marked as enabled.";
inline constexpr const char* kOverrideHelp =
    "(  Enter as <ip:port> if only one proxy port or as\n"
    "   http=<ip:port>;https=<ip:port> if two proxy ports\n"
    "   e.g.  10.1.1.1:8080\n"
    "   or    http=10.1.1.1:8080;https=10.1.1.1:8443  )";

// The message boxes and questions of the tool.  Implemented by the front end.
class UserInterface {
  public:
    virtual ~UserInterface() = default;
    // A message box with an OK button.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // A message box with Yes and No; true for Yes.
    [[nodiscard]] virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // A line of information about the test under way that needs no answer
    // (the way a preconfigured test went).  Ignored unless overridden.
    virtual void ShowNote(const std::string& text) { (void)text; }
    // Asked while a test runs (about once a second) with the seconds since
    // it began: false cancels it.  Keeps going unless overridden.
    [[nodiscard]] virtual bool KeepTesting(double elapsed_seconds) {
        (void)elapsed_seconds;
        return true;
    }
};

// The eight test buttons: a group and a method number (the value stored as
// "AccessMethod": 0 direct, 1 preconfig, 2 preconfig without auto proxy,
// 3 proxy).
enum class Group { Http, Https };
enum class Method : std::uint32_t {
    Direct = 0,
    Preconfig = 1,
    PreconfigNoAutoProxy = 2,
    Proxy = 3
};

// The button's label ("Direct (no proxy)", ...) and group caption.
const char* MethodLabel(Method method);
const char* GroupCaption(Group group);

// "HOST" or "HOST:PORT" (an IPv6 address in brackets) into host and port;
// default_port without a port.  false for an empty host or a port that is
// not 1-65535.
[[nodiscard]] bool ParseServer(const std::string& text, int default_port, std::string* host,
                               int* port);

// Checks a proxy address as the override dialog stores it and the proxy
// test uses it: one or more entries separated by ";" (blanks around them
// ignored), each "HOST", "HOST:PORT" or "SCHEME=HOST[:PORT]" (an IPv6
// address in brackets; a leading "http://" allowed); a port is 1-65535 in
// digits.  An empty list, an empty entry's address, or a host with blanks,
// "/", "@" or "=" in it is malformed.  false with *why set (a sentence for
// the user) when the text is not usable.
[[nodiscard]] bool CheckProxyAddress(const std::string& text, std::string* why);

// The environment file the packaged service unit reads
// (EnvironmentFile=): $ZEL_DEFAULTS_FILE when set and not empty, else
// "/etc/default/zelway".
std::string ServiceDefaultsPath();

// The variables of an environment file as the service manager reads it:
// lines NAME=value; blank lines and lines starting with "#" or ";" are
// skipped; blanks around the name and before the value are dropped, and a
// value in matching double or single quotes loses them; a later line for the
// same name replaces the earlier one.  A missing or unreadable file gives
// none (*found false).
ProxyEnvironment ReadEnvironmentFile(const std::string& path, bool* found);

// The servers the transfer system itself would reach, and where each was
// found.
struct SystemServers {
    std::string http_host;  // the entry point, which serves the server list
    int http_port = 80;
    std::string http_source;
    std::string https_host;  // the transfer server "POLL"
    int https_port = 443;
    std::string https_source;
};

// The HTTP test's server is the entry point: a server "SERVER" version
// "001" in the cached server directory (registry), else the first SRVIP of
// "ISERVER.XML" in the install directory ("HOST" or "HOST:PORT"; port 80
// when none is given), else kDefaultHttpServer.  The HTTPS test's server is
// the transfer server: "POLL" version "001" of the cached directory with its
// secure port, else kDefaultHttpsServer:443, the record the system falls
// back on.  Reads only; a record or file that cannot be read passes to the
// next source.
SystemServers FindSystemServers();

// What a pressed test button came to.
enum class TestOutcome {
    Failed,     // a message said why; nothing written
    Declined,   // the document was fetched and stored, the user said No
    Saved,      // ... and "AccessMethod" was written
    Cancelled,  // the user ended the test while it ran; nothing written
};

// The line a front end shows after a test: "Access method saved.", "Test
// passed; nothing saved.", "Test cancelled; nothing saved." or "Test
// failed; nothing saved."
const char* OutcomeText(TestOutcome outcome);

class ConnectionUtility {
  public:
    // ui is borrowed and must outlive the object.  The targets start as the
    // built-in central servers; UseSystemServers points them at the servers
    // the system uses.
    explicit ConnectionUtility(UserInterface* ui);

    void UseSystemServers();
    // A target given by hand (source "command line").
    void SetHttpTarget(const std::string& host, int port);
    void SetHttpsTarget(const std::string& host, int port);
    const Target& HttpTarget() const { return http_; }
    const Target& HttpsTarget() const { return https_; }
    // "HOST:PORT (from SOURCE)" of a group's target, for the screen.
    std::string TargetText(Group group) const;

    // Runs the test of one button: fetch, show any failure, ask for the
    // confirmation and on Yes write "AccessMethod".  Where the machine's
    // proxy settings are environment variables (PreconfigUsesEnvironment),
    // the two preconfigured tests use the proxy variables the service gets,
    // from its environment file (ServiceDefaultsPath), not those of the
    // caller's shell, and say in a note which proxy that gave.
    TestOutcome RunTest(Group group, Method method);

    // The about box text: product name, version, test servers.
    std::string AboutText() const;

  private:
    TestOutcome Fetch(const InternetHandle& handle, const Target& target, Method method);
    void ReportFailure(const FetchResult& result);

    UserInterface* ui_;
    Target http_;
    Target https_;
    std::string http_source_ = "built-in default";
    std::string https_source_ = "built-in default";
    // The service's environment as read for the last preconfigured test.
    ProxyEnvironment service_environment_;
    bool have_defaults_ = false;
};

// The proxy override values as the dialog holds them.
struct OverrideSettings {
    bool proxy_enabled = false;
    bool use_override = false;
    std::string address;
};

// Reads the values the override dialog starts with: with "AccessOverride"
// set in the system key, "ProxyEnable" and "ProxyServer" from there; else
// each from the machine-wide Internet settings, falling back to the current
// user's where it is missing (an empty "ProxyServer" is not missing).
// Missing everywhere: unticked, empty.
OverrideSettings LoadOverrideSettings();

// Writes "AccessOverride", "ProxyEnable" and "ProxyServer" to the system
// key, creating it, all in one registry transaction.  false with *error set
// when anything could not be written (then nothing is).
[[nodiscard]] bool SaveOverrideSettings(const OverrideSettings& settings, std::string* error);

// The proxy override dialog's logic.
class ProxyOverrideDialog {
  public:
    // ui is borrowed.  The values are pre-filled from the registry.
    explicit ProxyOverrideDialog(UserInterface* ui);

    const OverrideSettings& Settings() const { return settings_; }
    void ToggleProxyEnabled() { settings_.proxy_enabled = !settings_.proxy_enabled; }
    void ToggleUseOverride() { settings_.use_override = !settings_.use_override; }
    // The address field's new text; a text longer than kMaxOverrideAddress
    // is refused (false) and the field keeps its text, unless it shortens a
    // longer pre-filled one.
    [[nodiscard]] bool SetAddress(const std::string& text);

    // OK: writes the three values.  false (a message said why, nothing
    // written) when the address is too long, malformed (CheckProxyAddress),
    // or empty while "Proxy Enabled" is ticked, or when the registry refused
    // the write; the dialog then stays open.  With the proxy not enabled an
    // empty address is stored: it switches the proxy off.
    [[nodiscard]] bool Ok();
    // Cancel: writes nothing.
    void Cancel() {}

  private:
    UserInterface* ui_;
    OverrideSettings settings_;
};

}  // namespace zel::conn
