// The service manager as a service program sees it: installing and removing
// the service, running under the manager with status reports, and the
// system's event log.
//
// Linux: systemd.  Installing writes a unit file and enables it
// (systemd_unit.h has the unit's details and settings); the status goes
// out as sd_notify messages; the log is syslog, which the journal keeps
// under the service's name.
// Windows: the service control manager (CreateService, DeleteService,
// StartServiceCtrlDispatcher, SetServiceStatus) and the event log
// (ReportEvent, with the service's name as the event source).
//
// Nothing here throws; a manager that cannot be reached is reported through
// the result and never stops the service.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zel::svc {

// What the service manager is told about a service when it is installed.
struct ServiceDefinition {
    std::string name;          // the service name
    std::string display_name;  // what the manager shows for it
    std::string program;       // the program's full path; started without arguments
    // Services to start before it, as Windows names them (Windows only:
    // systemd orders the unit after the network instead).
    std::vector<std::string> dependencies;
    // "NAME=value" assignments the service runs with.  Linux: Environment=
    // lines of the unit.  Windows: the service key's "Environment" value.
    std::vector<std::string> environment;
};

// Why an install or a removal did not happen.
enum class SetupResult {
    kDone,               // done, or nothing to do
    kCannotOpenManager,  // no access to the manager (or the unit directory)
    kCannotCreate,       // the service could not be created (or enabled)
    kCannotOpenService,  // an installed service could not be opened
    kCannotDelete,       // an installed service could not be deleted
};

// Installs the service to start at boot, unless one of that name is
// installed already (kDone then, and nothing changes).  Linux: writes the
// unit (unless a package brings one, which is only enabled) and enables
// it where systemd runs.  Windows: an own-process, interactive service of
// automatic start and normal error control that runs as the local system
// account, with the program's path in quotes; the program is also made the
// message file of the Application event log's source of the service's name.
[[nodiscard]] SetupResult InstallService(const ServiceDefinition& service);

// Stops and removes an installed service; kDone when none is installed.
// Programs the service started are left running.  Windows: after the stop
// control the service is given up to 30 seconds to stop before it is
// deleted, so that a service installed again at once is not refused as
// "marked for deletion"; the event log's source of that name goes with it.
[[nodiscard]] SetupResult RemoveService(const std::string& name);

// Windows: sets every assignment of the installed service's environment (see
// ServiceDefinition) that the process's own environment lacks, so that the
// program runs on what the service was installed with whoever started it.
// The service control manager of Windows sets them for the service itself;
// the one of wine does not.  Linux: nothing (systemd sets the unit's
// environment for the service; a program started from a shell keeps its
// own).
void AdoptServiceEnvironment(const std::string& name);

// The states a running service reports.
enum class ServiceState { kStartPending, kRunning, kStopPending, kStopped };

// The service's line to its manager while it runs as a service.
class ServiceStatus {
  public:
    virtual ~ServiceStatus() = default;
    // True when the manager's controls reach the service.  Linux: always
    // (they come as signals, see service_loop.h).  Windows: when the
    // control handler was registered.
    [[nodiscard]] virtual bool HandlerInstalled() const = 0;
    // Tells the manager the service's state.  Linux: "STATUS=Starting",
    // "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
    // "STATUS=Stopped".  Windows: SetServiceStatus with the stop control
    // accepted (none once stopped), exit codes, check point and wait hint 0.
    virtual void Report(ServiceState state) = 0;
};

// The service's main routine: runs the service on the calling thread and
// returns its exit code.
using ServiceMain = std::function<int(ServiceStatus& status)>;

// Runs main as the main routine of the service `name` when the service
// manager started this process, and returns true once main has returned,
// with its result in *exit_code.  Returns false at once, without calling
// main, when no manager started this process: the caller then runs as an
// ordinary program.
// Linux: the manager started the process when systemd handed it a
// notification socket ($NOTIFY_SOCKET, removed from the environment here so
// that programs started later do not talk to systemd in the service's
// name), whatever `registered` says: a unit of Type=notify waits for its
// READY in any case.  main runs on the calling thread.
// Windows: only when `registered` (installed as a service) and the control
// dispatcher connects (StartServiceCtrlDispatcher).  main runs on the
// service thread the dispatcher makes, while the calling thread receives
// the manager's controls and queues them for the service loop
// (service_loop.h); a stop is reported as stop pending before it is
// queued.  When main returns without having reported the stopped state, it
// is reported with main's result as the service-specific exit code.
[[nodiscard]] bool RunAsService(const char* name, bool registered, const ServiceMain& main,
                                int* exit_code);

// The system log under one name for as long as the object lives.  ident
// must stay valid that long (a string literal).  Not copyable.
class SystemLog {
  public:
    explicit SystemLog(const char* ident);
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;

    // One entry: a warning or a note (Windows: a warning or an information
    // event, category 0, event identifier 0, the text as its one insertion
    // string, which the program's message table shows as it is).
    void Write(bool warning, const char* text) const;

  private:
    [[maybe_unused]] void* source_ = nullptr;  // Windows: the event source handle
};

// Phrases of a service program's help text that name this system's service
// manager and registry.
struct ManagerHelp {
    const char* registry;  // what the registry is called ("the <registry>")
    // What -Service installs besides the registration: whole lines that go
    // on from "... and install", each indented by 16 blanks.
    const char* install;
    // Who starts the service and how an ordinary program is stopped: the
    // sentence that goes on from "as the service when registered\n",
    // without a final line feed.
    const char* run;
};
extern const ManagerHelp kManagerHelp;

// What the service manager says of an installed service, for a status
// report that only looks (nothing is opened for change, nothing started).
struct ServiceQuery {
    // Where the service is installed: Linux: the unit file's path (the
    // administrator's, else a package's); Windows: the service's name.
    std::string where;
    bool installed = false;
    // Linux: systemd is the running init.  Windows: the service control
    // manager could be opened.
    bool manager_present = false;
    // Windows: the state the manager reports for an installed service
    // ("running", "stopped", "start pending", ...) and the process it runs
    // in (0 when it runs in none).  Linux: empty and 0 (the unit's state is
    // systemd's to tell; the lock table names the process instead).
    std::string state;
    long pid = 0;
};
[[nodiscard]] ServiceQuery QueryService(const std::string& name);

// True when the process pid runs as the service `name` of the manager.
// Linux: it is in the unit's control group.  Windows: the manager reports
// the service running in that process.
[[nodiscard]] bool RunsAsManagedService(long pid, const std::string& name);

// Phrases of a status report that name this system's service manager.
struct ManagerWords {
    const char* installed_as;  // goes before ServiceQuery::where ("systemd unit")
    const char* managed;       // a process that runs as the service (", under systemd")
    const char* unmanaged;     // one that does not
    const char* absent;        // after "installed"/"not installed" when no manager is present
    // How a person starts the service: "(" start <name> ", or " <name>
    // run_directly ")".
    const char* start;
    const char* run_directly;
};
extern const ManagerWords kManagerWords;

}  // namespace zel::svc
