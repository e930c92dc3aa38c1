// The service manager on Linux (see service_manager.h and systemd_unit.h):
// systemd units written and enabled with systemctl, status notifications
// through libsystemd's sd_notify, and the system log through syslog.
// Owns nothing beyond a call, except the syslog connection of a SystemLog.
#include "platform/service_manager.h"

#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/systemd_unit.h"

namespace zel::svc {
namespace {

constexpr const char* kNotifySocket = "NOTIFY_SOCKET";
constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
constexpr const char* kSystemdRunning = "/run/systemd/system";

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

// The line to systemd of a service that it started: the states as
// notification messages on its socket.
class NotifyStatus : public ServiceStatus {
  public:
    explicit NotifyStatus(std::string socket) : socket_(std::move(socket)) {}

    bool HandlerInstalled() const override { return true; }

    void Report(ServiceState state) override {
        const char* message = "STATUS=Stopped";
        switch (state) {
            case ServiceState::kStartPending:
                message = "STATUS=Starting";
                break;
            case ServiceState::kRunning:
                message = "READY=1\nSTATUS=Running";
                break;
            case ServiceState::kStopPending:
                message = "STOPPING=1\nSTATUS=Stopping";
                break;
            case ServiceState::kStopped:
                break;
        }
        (void)NotifyServiceManager(socket_, message);
    }

  private:
    std::string socket_;
};

}  // namespace

const ManagerHelp kManagerHelp = {
    "registry store",
    "                and enable its systemd unit (none is written when a package\n"
    "                brings one)\n",
    "with -Service and started by systemd, else as an ordinary program in the\n"
    "foreground (events on standard output) until SIGTERM or SIGINT.",
};

std::string UnitFileName(const std::string& name) {
    return name + ".service";
}

std::string UnitDir() {
    const char* dir = std::getenv("ZEL_UNIT_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : kDefaultUnitDir;
}

std::string UnitFileText(const ServiceDefinition& service) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + service.display_name + "\n";
    text += "Wants=network-online.target\n";
    text += "After=network-online.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + ExecStartCommand(service.program) + "\n";
    text += "Restart=on-failure\n";
    // Stopping the service must not kill the programs it started: a transfer
    // job cut off mid-download leaves guard and lock files behind and its
    // outcome unwritten.  Only the service's own process is stopped.
    text += "KillMode=process\n";
    for (const std::string& assignment : service.environment)
        text += "Environment=" + QuoteForUnit(assignment, UnitWord::kValue) + "\n";
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

std::string PackagedUnitPath(const std::string& name) {
    std::vector<std::string> dirs;
    if (const char* dir = std::getenv("ZEL_VENDOR_UNIT_DIR"); dir != nullptr && dir[0] != '\0') {
        dirs.emplace_back(dir);
    } else {
        dirs = {"/usr/lib/systemd/system", "/lib/systemd/system"};
    }
    for (const std::string& dir : dirs) {
        const std::string unit = dir + "/" + UnitFileName(name);
        if (fs::Exists(unit)) return unit;
    }
    return {};
}

SetupResult InstallService(const ServiceDefinition& service) {
    const std::string dir = UnitDir();
    const std::string file = UnitFileName(service.name);
    const std::string unit = dir + "/" + file;
    if (fs::Exists(unit)) return SetupResult::kDone;
    // An installed package brings its own unit; a second one in /etc would
    // override it (and the package's settings in it) for good.
    if (!PackagedUnitPath(service.name).empty()) {
        return RunSystemctl({"enable", file}) == 0 ? SetupResult::kDone
                                                   : SetupResult::kCannotCreate;
    }
    if (!fs::IsDirectory(dir) || !fs::MayWrite(dir)) return SetupResult::kCannotOpenManager;
    if (service.program.empty() ||
        fs::ReplaceFileAtomically(unit, UnitFileText(service), 0644) != 0) {
        return SetupResult::kCannotCreate;
    }
    if (RunSystemctl({"daemon-reload"}) != 0 || RunSystemctl({"enable", file}) != 0)
        return SetupResult::kCannotCreate;
    return SetupResult::kDone;
}

SetupResult RemoveService(const std::string& name) {
    const std::string dir = UnitDir();
    const std::string file = UnitFileName(name);
    const std::string unit = dir + "/" + file;
    if (!fs::Exists(unit)) return SetupResult::kDone;
    if (!fs::MayWrite(dir)) return SetupResult::kCannotOpenManager;
    // A stop that fails (the service was not running) is no obstacle to
    // deleting it.
    (void)RunSystemctl({"stop", file});
    if (RunSystemctl({"disable", file}) != 0 || fs::RemoveFile(unit) != 0)
        return SetupResult::kCannotDelete;
    (void)RunSystemctl({"daemon-reload"});
    return SetupResult::kDone;
}

void AdoptServiceEnvironment(const std::string& /*name*/) {}

bool RunAsService(const char* /*name*/, bool /*registered*/, const ServiceMain& main,
                  int* exit_code) {
    std::string socket = TakeNotifySocket();
    if (socket.empty()) return false;
    NotifyStatus status(std::move(socket));
    *exit_code = main(status);
    return true;
}

std::string TakeNotifySocket() {
    std::string socket;
    if (const char* value = std::getenv(kNotifySocket); value != nullptr) socket = value;
    ::unsetenv(kNotifySocket);
    return socket;
}

int NotifyServiceManager(const std::string& socket, const std::string& state) {
    if (socket.empty()) return EINVAL;
    std::optional<std::string> before;
    if (const char* value = std::getenv(kNotifySocket); value != nullptr) before = value;
    if (::setenv(kNotifySocket, socket.c_str(), 1) != 0) return errno;
    const int rc = ::sd_notify(0, state.c_str());
    if (before) {
        (void)::setenv(kNotifySocket, before->c_str(), 1);
    } else {
        ::unsetenv(kNotifySocket);
    }
    // Below 0 an error; 0 would mean no socket, which was just given.
    return rc < 0 ? -rc : 0;
}

SystemLog::SystemLog(const char* ident) {
    ::openlog(ident, LOG_PID, LOG_DAEMON);
}

SystemLog::~SystemLog() {
    ::closelog();
}

void SystemLog::Write(bool warning, const char* text) const {
    ::syslog(warning ? LOG_WARNING : LOG_INFO, "%s", text);
}

}  // namespace zel::svc

namespace zel::svc {

const ManagerWords kManagerWords = {
    "systemd unit ",       ", under systemd",
    ", not under systemd", " (systemd is not the running init)",
    "systemctl start ",    " as root",
};

ServiceQuery QueryService(const std::string& name) {
    ServiceQuery out;
    out.where = paths::Join(UnitDir(), UnitFileName(name));
    out.installed = fs::Exists(out.where);
    // A package's unit serves when the administrator wrote none of his own.
    if (!out.installed) {
        if (std::string packaged = PackagedUnitPath(name); !packaged.empty()) {
            out.where = packaged;
            out.installed = true;
        }
    }
    out.manager_present = fs::Exists("/run/systemd/system");
    return out;
}

bool RunsAsManagedService(long pid, const std::string& name) {
    std::string cgroup;
    return fs::ReadWholeFile("/proc/" + std::to_string(pid) + "/cgroup", &cgroup) == 0 &&
           cgroup.find("/" + UnitFileName(name)) != std::string::npos;
}

}  // namespace zel::svc
