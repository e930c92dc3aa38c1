// Installing and removing the schedule service (see service_setup.h).
// Owns nothing beyond the duration of a call: the registry keys it writes
// belong to the registry store, the unit file to the unit directory.
#include "scheduler/service_setup.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/version.h"

namespace zel::cron {
namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
constexpr const char* kSystemdRunning = "/run/systemd/system";

std::string GuidKeyPath() {
    return std::string(kAppIdRoot) + "\\" + kAppId;
}
std::string ExeKeyPath() {
    return std::string(kAppIdRoot) + "\\" + kExeKey;
}

// The install and remove steps' problem reports.
void ReportSetupProblem(const char* text) {
    std::fprintf(stderr, "%s: %s\n", kServiceName, text);
}

// How systemd reads a quoted word of a unit file.
enum class UnitWord {
    kProgram,   // the program path of ExecStart=: "$" is taken literally
    kArgument,  // a later word of ExecStart=: "$$" stands for a literal "$"
    kValue,     // an Environment= assignment: "$" is taken literally
};

// A value in double quotes with the unit-file escapes: C-style backslash
// escapes (\xHH for control characters and for every byte above 0x7f, so
// that the unit stays ASCII and a name that is not UTF-8 is still read),
// "%%" for a literal "%" (specifiers are replaced in every setting), and in
// command arguments "$$" for a literal "$" (variable expansion).
std::string QuoteForUnit(const std::string& value, UnitWord word) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '%':
                out += "%%";
                break;
            case '$':
                out += word == UnitWord::kArgument ? "$$" : "$";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0f];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

// systemd refuses a program path holding quotes, backslashes or control
// characters however they are escaped ("Executable name contains special
// characters").
bool UsableAsProgramPath(const std::string& path) {
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
    }
    return true;
}

// The command of ExecStart= that runs the program at exe_path.  A path that
// systemd would refuse as the program is handed to /bin/sh as an argument
// instead, where any bytes may stand; sh replaces itself with the program,
// so the service's main process is still the program.
std::string ExecStartCommand(const std::string& exe_path) {
    if (UsableAsProgramPath(exe_path)) return QuoteForUnit(exe_path, UnitWord::kProgram);
    return "/bin/sh -c \"exec \\\"$$0\\\"\" " + QuoteForUnit(exe_path, UnitWord::kArgument);
}

// Runs systemctl with the arguments and waits for it, where systemd runs and
// a systemctl program is configured.  Returns its exit code, 0 when it is
// not to be run, or -1 when it could not be started.
int RunSystemctl(std::vector<std::string> args) {
    if (!fs::IsDirectory(kSystemdRunning)) return 0;
    const char* configured = std::getenv("ZEL_SYSTEMCTL");
    std::string program = configured != nullptr ? configured : "systemctl";
    if (program.empty()) return 0;
    args.insert(args.begin(), program);
    proc::StartOptions options;
    // A bare program name is looked for in the working directory first: run
    // it from "/" so that a "systemctl" lying in whatever directory the
    // administrator happens to be in is never run with root's rights.
    options.working_dir = "/";
    pid_t pid = -1;
    if (proc::StartArgv(args, options, &pid) != 0) return -1;
    return proc::Wait(pid);
}

}  // namespace

const char* const kHelpText =
    "Usage: qvzel_cron [-RegServer | -UnregServer | -Service]\n"
    "       qvzel_cron --help | --version\n"
    "\n"
    "The schedule service: every minute it matches crontab.dat against the local\n"
    "time and starts the batch file of every due entry in the Olmar directory.\n"
    "\n"
    "  -RegServer    register the program (AppID keys in the registry store) to run\n"
    "                as an ordinary program; removes an installed service\n"
    "  -UnregServer  remove the registration and the installed service\n"
    "  -Service      register the program as the service \"qvzel_cron\" and install\n"
    "                and enable its systemd unit (none is written when a package\n"
    "                brings one)\n"
    "  --help        print this text (also -h, /?)\n"
    "  --version     print the program's version\n"
    "Tokens follow \"-\" or \"/\" and ignore case; the first one recognised decides.\n"
    "Without one the program runs the schedule: as the service when registered\n"
    "with -Service and started by systemd, else as an ordinary program in the\n"
    "foreground (events on standard output) until SIGTERM or SIGINT.  Arguments\n"
    "without a recognised token are ignored.\n"
    "\n"
    "Exit status: 0; 1 when -RegServer or -Service could not write the registry,\n"
    "or when another copy already runs on this system root; when the program is\n"
    "not registered, the registry store's status (2 for \"not found\").\n";

SetupCommand ParseSetupCommand(int argc, const char* const* argv) {
    // Every "-" or "/" starts a token that runs to the end of its argument,
    // so "--Service" holds the tokens "-Service" and "Service".
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) continue;
        for (const char* p = arg; *p != '\0'; ++p) {
            if (*p != '-' && *p != '/') continue;
            const char* token = p + 1;
            if (::strcasecmp(token, "UnregServer") == 0) return SetupCommand::kUnregServer;
            if (::strcasecmp(token, "RegServer") == 0) return SetupCommand::kRegServer;
            if (::strcasecmp(token, "Service") == 0) return SetupCommand::kService;
            if (::strcasecmp(token, "help") == 0 || ::strcasecmp(token, "h") == 0 ||
                std::strcmp(token, "?") == 0)
                return SetupCommand::kHelp;
            if (::strcasecmp(token, "version") == 0) return SetupCommand::kVersion;
        }
    }
    return SetupCommand::kNone;
}

reg::Status ApplyRegistryScript() {
    reg::Key guid_key;
    reg::Status st = reg::CreateKey(reg::Hive::ClassesRoot, GuidKeyPath(), &guid_key, nullptr);
    if (st == reg::kSuccess) st = reg::SetString(guid_key, "", kServiceName);
    if (st != reg::kSuccess) return st;
    reg::Key exe_key;
    st = reg::CreateKey(reg::Hive::ClassesRoot, ExeKeyPath(), &exe_key, nullptr);
    if (st == reg::kSuccess) st = reg::SetString(exe_key, "AppID", kAppId);
    return st;
}

reg::Status RemoveRegistryScript() {
    reg::Status first = reg::kSuccess;
    for (const std::string& path : {GuidKeyPath(), ExeKeyPath()}) {
        reg::Status st = reg::DeleteTree(reg::Hive::ClassesRoot, path);
        if (st != reg::kSuccess && st != reg::kNotFound && first == reg::kSuccess) first = st;
    }
    return first;
}

reg::Status SetServiceValues() {
    reg::Key key;
    reg::Status st = reg::OpenKey(reg::Hive::ClassesRoot, GuidKeyPath(), &key);
    if (st == reg::kSuccess) st = reg::SetString(key, "LocalService", kServiceName);
    if (st == reg::kSuccess) st = reg::SetString(key, "ServiceParameters", "-Service");
    return st;
}

reg::Status RemoveLocalService() {
    reg::Key key;
    reg::Status st = reg::OpenKey(reg::Hive::ClassesRoot, GuidKeyPath(), &key);
    if (st == reg::kSuccess) st = reg::DeleteValue(key, "LocalService");
    return st == reg::kNotFound ? reg::kSuccess : st;
}

std::string UnitDir() {
    const char* dir = std::getenv("ZEL_UNIT_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : kDefaultUnitDir;
}

std::string UnitFileText(const std::string& exe_path, const std::string& qvis_root) {
    std::string text;
    text += "[Unit]\n";
    text += std::string("Description=") + kDisplayName + "\n";
    text += "Wants=network-online.target\n";
    text += "After=network-online.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + ExecStartCommand(exe_path) + "\n";
    text += "Restart=on-failure\n";
    // Stopping the schedule must not kill a transfer job it started: a job
    // cut off mid-download leaves guard and lock files behind and its
    // outcome unwritten.  Only the service's own process is stopped.
    text += "KillMode=process\n";
    if (!qvis_root.empty())
        text += "Environment=" + QuoteForUnit("QVIS_ROOT=" + qvis_root, UnitWord::kValue) + "\n";
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

std::string PackagedUnitPath() {
    std::vector<std::string> dirs;
    if (const char* dir = std::getenv("ZEL_VENDOR_UNIT_DIR"); dir != nullptr && dir[0] != '\0') {
        dirs.emplace_back(dir);
    } else {
        dirs = {"/usr/lib/systemd/system", "/lib/systemd/system"};
    }
    for (const std::string& dir : dirs) {
        const std::string unit = dir + "/" + kUnitFileName;
        if (fs::Exists(unit)) return unit;
    }
    return {};
}

void InstallService() {
    const std::string dir = UnitDir();
    const std::string unit = dir + "/" + kUnitFileName;
    if (fs::Exists(unit)) return;
    // An installed package brings its own unit; a second one in /etc would
    // override it (and the package's settings in it) for good.
    if (!PackagedUnitPath().empty()) {
        if (RunSystemctl({"enable", kUnitFileName}) != 0)
            ReportSetupProblem("Couldn't create service");
        return;
    }
    if (!fs::IsDirectory(dir) || !fs::MayWrite(dir)) {
        ReportSetupProblem("Couldn't open service manager");
        return;
    }
    const std::string exe = proc::OwnExecutablePath();
    const char* root = std::getenv("QVIS_ROOT");
    if (exe.empty() || fs::ReplaceFileAtomically(
                           unit, UnitFileText(exe, root != nullptr ? root : ""), 0644) != 0) {
        ReportSetupProblem("Couldn't create service");
        return;
    }
    if (RunSystemctl({"daemon-reload"}) != 0 || RunSystemctl({"enable", kUnitFileName}) != 0) {
        ReportSetupProblem("Couldn't create service");
    }
}

void RemoveService() {
    const std::string dir = UnitDir();
    const std::string unit = dir + "/" + kUnitFileName;
    if (!fs::Exists(unit)) return;
    if (!fs::MayWrite(dir)) {
        ReportSetupProblem("Couldn't open service manager");
        return;
    }
    // A stop that fails (the service was not running) is no obstacle to
    // deleting it.
    (void)RunSystemctl({"stop", kUnitFileName});
    if (RunSystemctl({"disable", kUnitFileName}) != 0 || fs::RemoveFile(unit) != 0) {
        ReportSetupProblem("Service could not be deleted");
        return;
    }
    (void)RunSystemctl({"daemon-reload"});
}

int RunSetupCommand(SetupCommand command) {
    switch (command) {
        case SetupCommand::kNone:
            return 0;
        case SetupCommand::kHelp:
            std::fputs(kHelpText, stdout);
            return 0;
        case SetupCommand::kVersion:
            std::printf("%s %s\n", kServiceName, zel::kVersion);
            return 0;
        case SetupCommand::kUnregServer:
            (void)RemoveRegistryScript();
            RemoveService();
            return 0;
        case SetupCommand::kRegServer: {
            RemoveService();
            reg::Status st = ApplyRegistryScript();
            if (st == reg::kSuccess) st = RemoveLocalService();
            return st == reg::kSuccess ? 0 : 1;
        }
        case SetupCommand::kService: {
            RemoveService();
            reg::Status st = ApplyRegistryScript();
            if (st == reg::kSuccess) st = RemoveLocalService();
            if (st == reg::kSuccess) st = SetServiceValues();
            // The unit is written even when the registry could not be; the
            // exit code tells the installer that the registration failed.
            InstallService();
            return st == reg::kSuccess ? 0 : 1;
        }
    }
    return 0;
}

}  // namespace zel::cron
