// Installing and removing the schedule service: the command-line tokens,
// the AppID registry script under HKEY_CLASSES_ROOT and the systemd unit.
//
// Settings (environment):
//   ZEL_UNIT_DIR   directory the unit "qvzel_cron.service" is written to
//                  (default /etc/systemd/system)
//   ZEL_VENDOR_UNIT_DIR  where an installed package keeps its unit (default:
//                  /usr/lib/systemd/system, then /lib/systemd/system)
//   ZEL_SYSTEMCTL  the systemctl program to run (default "systemctl"); set
//                  it empty to never run one.  systemctl runs only where
//                  systemd is the running init (/run/systemd/system exists).
// Install and remove problems are reported on standard error as
// "qvzel_cron: <text>" and never change an exit code.
#pragma once

#include <string>

#include "platform/registry.h"

namespace zel::cron {

inline constexpr const char* kServiceName = "qvzel_cron";
inline constexpr const char* kDisplayName = "QVIS Crons";
inline constexpr const char* kAppId = "{6A1F3C2E-8B47-4D5A-9E21-3C7B0F5D92A4}";
inline constexpr const char* kAppIdRoot = "AppID";
inline constexpr const char* kExeKey = "qvzel_cron.EXE";
inline constexpr const char* kUnitFileName = "qvzel_cron.service";

// kHelp and kVersion print and exit like the setup commands: they never
// start the schedule.
enum class SetupCommand { kNone, kRegServer, kUnregServer, kService, kHelp, kVersion };

// The first token that follows a "-" or "/" anywhere in the arguments (and
// runs to the end of its argument) and equals, in any case, "RegServer",
// "UnregServer" or "Service", or "help", "h", "?" (kHelp) or "version"
// (kVersion); kNone without one.  So "--help" and "/?" ask for help.
SetupCommand ParseSetupCommand(int argc, const char* const* argv);

// The help text of the program (standard output for kHelp).
extern const char* const kHelpText;

// Writes the AppID sub-keys (the GUID key with default value "qvzel_cron",
// and "qvzel_cron.EXE" with "AppID" = the GUID).  Returns the first failing
// registry status, or kSuccess.
[[nodiscard]] reg::Status ApplyRegistryScript();
// Deletes both sub-keys (missing ones are fine); the "AppID" key stays.
[[nodiscard]] reg::Status RemoveRegistryScript();
// Sets or deletes the GUID key's "LocalService" and "ServiceParameters".
[[nodiscard]] reg::Status SetServiceValues();
[[nodiscard]] reg::Status RemoveLocalService();

// $ZEL_UNIT_DIR, else /etc/systemd/system.
std::string UnitDir();
// The unit text for the program at exe_path; qvis_root (may be empty) is
// passed on as Environment=QVIS_ROOT=... .  Values are quoted and escaped
// for the unit-file syntax so that systemd reads back exactly these bytes.
// A program path that systemd refuses in ExecStart= (one holding quotes,
// backslashes or control characters) is started through /bin/sh, which
// replaces itself with the program.
std::string UnitFileText(const std::string& exe_path, const std::string& qvis_root);

// The unit an installed package brings ("qvzel_cron.service" in
// $ZEL_VENDOR_UNIT_DIR, else in /usr/lib/systemd/system or
// /lib/systemd/system), or empty when there is none.
std::string PackagedUnitPath();
// Writes the unit unless one exists or a package brings one, then reloads
// and enables it where systemd runs (only enables the packaged one).
// Problems go to standard error.
void InstallService();
// Stops, disables and deletes an existing unit.  Problems go to standard
// error; a missing unit is not one.
void RemoveService();

// Runs the setup command; returns the process exit code: 0, or 1 when the
// registry script could not be applied (RegServer, Service).  kHelp and
// kVersion print to standard output and return 0.
int RunSetupCommand(SetupCommand command);

}  // namespace zel::cron
