// Installing and removing the schedule service (see service_setup.h).
// Owns nothing beyond the duration of a call: the registry keys it writes
// belong to the registry, the service entry to the service manager.
#include "scheduler/service_setup.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/version.h"

namespace zel::cron {
namespace {

std::string GuidKeyPath() {
    return std::string(kAppIdRoot) + "\\" + kAppId;
}
std::string ExeKeyPath() {
    return std::string(kAppIdRoot) + "\\" + kExeKey;
}

// The install and remove steps' problem reports, as support staff know them.
// False when there was one: the exit status then tells an unattended
// installer that the step failed.
bool ReportSetupResult(svc::SetupResult result) {
    const char* text = nullptr;
    switch (result) {
        case svc::SetupResult::kDone:
            return true;
        case svc::SetupResult::kCannotOpenManager:
            text = "Couldn't open service manager";
            break;
        case svc::SetupResult::kCannotCreate:
            text = "Couldn't create service";
            break;
        case svc::SetupResult::kCannotOpenService:
            text = "Couldn't open service";
            break;
        case svc::SetupResult::kCannotDelete:
            text = "Service could not be deleted";
            break;
    }
    std::fprintf(stderr, "%s: %s\n", kServiceName, text);
    return false;
}

}  // namespace

std::string HelpText() {
    const svc::ManagerHelp& manager = svc::kManagerHelp;
    return std::string(
               "Usage: qvzel_cron [-RegServer | -UnregServer | -Service]\n"
               "       qvzel_cron --help | --version\n"
               "\n"
               "The schedule service: every minute it matches crontab.dat against the local\n"
               "time and starts the batch file of every due entry in the Olmar directory.\n"
               "\n"
               "  -RegServer    register the program (AppID keys in the ") +
           manager.registry +
           ") to run\n"
           "                as an ordinary program; removes an installed service\n"
           "  -UnregServer  remove the registration and the installed service\n"
           "  -Service      register the program as the service \"qvzel_cron\" and install\n" +
           manager.install +
           "  --help        print this text (also -h, /?)\n"
           "  --version     print the program's version\n"
           "Tokens follow \"-\" or \"/\" and ignore case; the first one recognised decides.\n"
           "Without one the program runs the schedule: as the service when registered\n" +
           manager.run +
           "  Arguments\n"
           "without a recognised token are ignored.\n"
           "\n"
           "Exit status: 0; 1 when -RegServer or -Service could not write the registry,\n"
           "when a setup step could not install or remove the service, or when another\n"
           "copy already runs on this system root; when the program is\n"
           "not registered, the " +
           manager.registry + "'s status (2 for \"not found\").\n";
}

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

svc::ServiceDefinition ServiceEntry() {
    svc::ServiceDefinition entry;
    entry.name = kServiceName;
    entry.display_name = kDisplayName;
    entry.program = proc::OwnExecutablePath();
    entry.dependencies = {"RPCSS"};
    // A service installed from a scratch system root (tests, a
    // demonstration) runs on that root.
    if (const char* root = std::getenv("QVIS_ROOT"); root != nullptr && root[0] != '\0')
        entry.environment.push_back(std::string("QVIS_ROOT=") + root);
    return entry;
}

bool RemoveService() {
    return ReportSetupResult(svc::RemoveService(kServiceName));
}

bool InstallService() {
    return ReportSetupResult(svc::InstallService(ServiceEntry()));
}

int RunSetupCommand(SetupCommand command) {
    switch (command) {
        case SetupCommand::kNone:
            return 0;
        case SetupCommand::kHelp:
            std::fputs(HelpText().c_str(), stdout);
            return 0;
        case SetupCommand::kVersion:
            std::printf("%s %s\n", kServiceName, zel::kVersion);
            return 0;
        case SetupCommand::kUnregServer: {
            (void)RemoveRegistryScript();
            return RemoveService() ? 0 : 1;
        }
        case SetupCommand::kRegServer: {
            const bool removed = RemoveService();
            reg::Status st = ApplyRegistryScript();
            if (st == reg::kSuccess) st = RemoveLocalService();
            return st == reg::kSuccess && removed ? 0 : 1;
        }
        case SetupCommand::kService: {
            const bool removed = RemoveService();
            reg::Status st = ApplyRegistryScript();
            if (st == reg::kSuccess) st = RemoveLocalService();
            if (st == reg::kSuccess) st = SetServiceValues();
            // The service is installed even when the registry could not be
            // written; the exit code tells the installer that the
            // registration, or the service itself, failed.
            const bool installed = removed && InstallService();
            return st == reg::kSuccess && installed ? 0 : 1;
        }
    }
    return 0;
}

}  // namespace zel::cron
