// Installing and removing the schedule service: the command-line tokens,
// the AppID registry script under HKEY_CLASSES_ROOT, and the service's
// entry with the system's service manager (platform/service_manager.h: a
// systemd unit on Linux, the service control manager on Windows).
//
// Install and remove problems are reported on standard error as
// "qvzel_cron: <text>" and never change an exit code.  On Windows too: the
// installer runs these steps unattended, where a message box would wait
// for a click that never comes.
#pragma once

#include <string>

#include "platform/registry.h"
#include "platform/service_manager.h"

namespace zel::cron {

inline constexpr const char* kServiceName = "qvzel_cron";
inline constexpr const char* kDisplayName = "QVIS Crons";
inline constexpr const char* kAppId = "{6A1F3C2E-8B47-4D5A-9E21-3C7B0F5D92A4}";
inline constexpr const char* kAppIdRoot = "AppID";
inline constexpr const char* kExeKey = "qvzel_cron.EXE";

// kHelp and kVersion print and exit like the setup commands: they never
// start the schedule.
enum class SetupCommand { kNone, kRegServer, kUnregServer, kService, kHelp, kVersion };

// The first token that follows a "-" or "/" anywhere in the arguments (and
// runs to the end of its argument) and equals, in any case, "RegServer",
// "UnregServer" or "Service", or "help", "h", "?" (kHelp) or "version"
// (kVersion); kNone without one.  So "--help" and "/?" ask for help.
SetupCommand ParseSetupCommand(int argc, const char* const* argv);

// The help text of the program (standard output for kHelp).
std::string HelpText();

// Writes the AppID sub-keys (the GUID key with default value "qvzel_cron",
// and "qvzel_cron.EXE" with "AppID" = the GUID).  Returns the first failing
// registry status, or kSuccess.
[[nodiscard]] reg::Status ApplyRegistryScript();
// Deletes both sub-keys (missing ones are fine); the "AppID" key stays.
[[nodiscard]] reg::Status RemoveRegistryScript();
// Sets or deletes the GUID key's "LocalService" and "ServiceParameters".
[[nodiscard]] reg::Status SetServiceValues();
[[nodiscard]] reg::Status RemoveLocalService();

// The service as the service manager is to keep it: this program's own
// full path, the dependency on RPCSS, and QVIS_ROOT (when set and not
// empty) passed on to the service.
svc::ServiceDefinition ServiceEntry();
// Stops and removes an installed service, or installs it; problems go to
// standard error, and the result is then false.
[[nodiscard]] bool RemoveService();
[[nodiscard]] bool InstallService();

// Runs the setup command; returns the process exit code: 0, or 1 when the
// registry script could not be applied (RegServer, Service) or the service
// could not be installed or removed.  kHelp and
// kVersion print to standard output and return 0.
int RunSetupCommand(SetupCommand command);

}  // namespace zel::cron
