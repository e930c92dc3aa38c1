// The service control manager and the event log on Windows (see
// service_manager.h).  Owns, while a service runs under the manager, the
// record of that run (its status handle and the state last reported); the
// SCM's handles live for one call.
#include "platform/service_manager.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/windows/control_queue.h"

namespace zel::svc {
namespace {

constexpr DWORD kStopWaitMilliseconds = 30000;
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* kEnvironmentValue = "Environment";
// Where an event source names the file holding its messages.
constexpr const char* kEventSourcesKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// The one message of a service program's message table: the event's text
// as its only insertion string (scheduler/main/events.mc).
constexpr DWORD kTextEventId = 0;

// Holder of a handle of the service control manager.
class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE h) : h_(h) {}
    ~ScHandle() {
        if (h_ != nullptr) (void)::CloseServiceHandle(h_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    SC_HANDLE h_;
};

// Strings as a REG_MULTI_SZ value or a dependency list wants them: each
// ended by a NUL, the list by another.
std::string MultiString(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        out += item;
        out += '\0';
    }
    out += '\0';
    return out;
}

// The strings of a REG_MULTI_SZ value's bytes.
std::vector<std::string> SplitMultiString(const std::string& bytes) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        if (end == start) break;  // the empty string that ends the list
        items.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// Waits, polling the manager, until the service has stopped; at most
// kStopWaitMilliseconds.  A service has no other way to tell that it is
// gone.
void WaitUntilStopped(SC_HANDLE service) {
    const ULONGLONG end = ::GetTickCount64() + kStopWaitMilliseconds;
    SERVICE_STATUS status;
    while (::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
           ::GetTickCount64() < end) {
        ::Sleep(100);
    }
}

// The line to the service control manager during one run of the service.
class ScmStatus : public ServiceStatus {
  public:
    void Attach(SERVICE_STATUS_HANDLE handle) { handle_ = handle; }

    bool HandlerInstalled() const override { return handle_ != nullptr; }

    void Report(ServiceState state) override {
        switch (state) {
            case ServiceState::kStartPending:
                Set(SERVICE_START_PENDING, 0);
                break;
            case ServiceState::kRunning:
                Set(SERVICE_RUNNING, 0);
                break;
            case ServiceState::kStopPending:
                Set(SERVICE_STOP_PENDING, 0);
                break;
            case ServiceState::kStopped:
                Set(SERVICE_STOPPED, 0);
                break;
        }
    }

    // After the main routine: stopped, with its exit code, unless it said
    // so itself.
    void Finish(int exit_code) { Set(SERVICE_STOPPED, exit_code); }

  private:
    // The handler's thread and the service's thread both report.
    void Set(DWORD state, int exit_code) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handle_ == nullptr || stopped_) return;
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        // Stop is the one control taken, from the moment the service runs.
        status.dwControlsAccepted =
            state == SERVICE_RUNNING || state == SERVICE_STOP_PENDING ? SERVICE_ACCEPT_STOP : 0;
        if (exit_code != 0) {
            status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
        }
        (void)::SetServiceStatus(handle_, &status);
        if (state == SERVICE_STOPPED) stopped_ = true;
    }

    std::mutex mutex_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;  // not closed: it needs no closing
    bool stopped_ = false;
};

// One run of the service under the dispatcher, kept by the thread that
// started the dispatcher.
struct Run {
    Run(const char* name_in, const ServiceMain* main_in) : name(name_in), main(main_in) {}
    ~Run() {
        if (finished != nullptr) (void)::CloseHandle(finished);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    const char* name;
    const ServiceMain* main;
    ScmStatus status;
    int exit_code = 0;
    std::atomic<bool> started{false};
    // Set when the service main routine is done with the run.  The
    // dispatcher returns as soon as the stopped state is reported, while the
    // routine may still be writing its last event: the run must outlive it.
    HANDLE finished = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

// The run the dispatcher's service main routine belongs to: set before the
// dispatcher starts, which makes the thread that reads it.
Run* g_run = nullptr;

// The control handler, on the dispatcher's thread: it only queues the
// control for the service loop (a thread timer can be stopped only by its
// own thread).  A stop is reported as pending at once, so that whoever
// asked for it sees it taken.
DWORD WINAPI OnControl(DWORD control, DWORD /*type*/, LPVOID /*data*/, LPVOID context) {
    Run* run = static_cast<Run*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
            run->status.Report(ServiceState::kStopPending);
            detail::PostControl(Control::kStop);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
            detail::PostControl(Control::kPause);
            return NO_ERROR;
        case SERVICE_CONTROL_CONTINUE:
            detail::PostControl(Control::kContinue);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
            detail::PostControl(Control::kShutdown);
            return NO_ERROR;
        default:
            detail::PostControl(Control::kOther);
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The service main routine, on the thread the dispatcher makes for it.
void WINAPI ServiceMainRoutine(DWORD /*argc*/, LPSTR* /*argv*/) {
    Run* run = g_run;
    run->started = true;
    run->status.Attach(::RegisterServiceCtrlHandlerExA(run->name, OnControl, run));
    run->exit_code = (*run->main)(run->status);
    run->status.Finish(run->exit_code);
    // The last touch of the run.
    const HANDLE finished = run->finished;
    if (finished != nullptr) (void)::SetEvent(finished);
}

// Sets name to value in this process's environment (the C runtime's copy,
// which getenv reads, and the one started programs inherit).
void SetVariable(const std::string& name, const std::string& value) {
    (void)::_putenv_s(name.c_str(), value.c_str());
}

}  // namespace

const ManagerHelp kManagerHelp = {
    "registry",
    "                it with the service control manager (automatic start)\n",
    "with -Service and started by the service control manager, else as an\n"
    "ordinary program in the foreground (events on standard output) until Ctrl+C\n"
    "or Ctrl+Break.",
};

// Makes the program the message file of the event source of its service's
// name, so that Event Viewer shows the events' texts.  Events are reported
// without it too, only shown with a note that their description is
// missing: a failure here does not undo the install.
void AddEventSource(const ServiceDefinition& service) {
    const std::string key = kEventSourcesKey + service.name;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    (void)::RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), "EventMessageFile", REG_EXPAND_SZ,
                            service.program.c_str(),
                            static_cast<DWORD>(service.program.size() + 1));
    (void)::RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), "TypesSupported", REG_DWORD, &types,
                            sizeof types);
}

void RemoveEventSource(const std::string& name) {
    (void)::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kEventSourcesKey + name).c_str());
}

SetupResult InstallService(const ServiceDefinition& service) {
    ScHandle manager(
        ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return SetupResult::kCannotOpenManager;
    {
        ScHandle existing(
            ::OpenServiceA(manager.get(), service.name.c_str(), SERVICE_QUERY_STATUS));
        if (existing) return SetupResult::kDone;
    }
    if (service.program.empty()) return SetupResult::kCannotCreate;
    // In quotes: a path with a blank in it would otherwise be read as a
    // shorter program and its arguments.
    const std::string command = "\"" + service.program + "\"";
    const std::string dependencies = MultiString(service.dependencies);
    ScHandle created(::CreateServiceA(
        manager.get(), service.name.c_str(), service.display_name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
        service.dependencies.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr));
    if (!created) return SetupResult::kCannotCreate;
    AddEventSource(service);
    if (service.environment.empty()) return SetupResult::kDone;
    const std::string value = MultiString(service.environment);
    const LSTATUS rc = ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, (kServicesKey + service.name).c_str(),
                                         kEnvironmentValue, REG_MULTI_SZ, value.data(),
                                         static_cast<DWORD>(value.size()));
    if (rc != ERROR_SUCCESS) {
        // A service that would run on another system root than it was
        // installed for is worse than none.
        (void)::DeleteService(created.get());
        RemoveEventSource(service.name);
        return SetupResult::kCannotCreate;
    }
    return SetupResult::kDone;
}

SetupResult RemoveService(const std::string& name) {
    ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return SetupResult::kCannotOpenManager;
    ScHandle service(
        ::OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
            return SetupResult::kCannotOpenService;
        RemoveEventSource(name);
        return SetupResult::kDone;
    }
    // Not running is no obstacle to deleting it.  A service deleted while it
    // runs stays until it stops, and one installed again meanwhile is
    // refused: wait for it to stop first.
    SERVICE_STATUS status;
    (void)::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    WaitUntilStopped(service.get());
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return SetupResult::kCannotDelete;
    RemoveEventSource(name);
    return SetupResult::kDone;
}

void AdoptServiceEnvironment(const std::string& name) {
    const std::string key = kServicesKey + name;
    DWORD type = 0;
    DWORD size = 0;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), kEnvironmentValue, RRF_RT_REG_MULTI_SZ,
                       &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
        return;
    }
    std::string bytes(size, '\0');
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), kEnvironmentValue, RRF_RT_REG_MULTI_SZ,
                       &type, bytes.data(), &size) != ERROR_SUCCESS) {
        return;
    }
    bytes.resize(size);
    for (const std::string& assignment : SplitMultiString(bytes)) {
        const std::size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        const std::string variable = assignment.substr(0, eq);
        const char* own = std::getenv(variable.c_str());
        if (own != nullptr && own[0] != '\0') continue;
        SetVariable(variable, assignment.substr(eq + 1));
    }
}

bool RunAsService(const char* name, bool registered, const ServiceMain& main, int* exit_code) {
    if (!registered) return false;
    std::unique_ptr<Run> run(new (std::nothrow) Run(name, &main));
    if (!run) return false;
    g_run = run.get();
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(name), ServiceMainRoutine},
                                    {nullptr, nullptr}};
    // Fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) when the
    // manager did not start this process.
    if (!::StartServiceCtrlDispatcherA(table)) return false;
    // Bounded: a main routine that hangs after reporting the stopped state
    // must not keep the process for ever.  Its run is then left to it.
    if (run->started &&
        (run->finished == nullptr ||
         ::WaitForSingleObject(run->finished, kStopWaitMilliseconds) != WAIT_OBJECT_0)) {
        (void)run.release();
        *exit_code = 1;
        return true;
    }
    *exit_code = run->started ? run->exit_code : 1;
    return true;
}

SystemLog::SystemLog(const char* ident) : source_(::RegisterEventSourceA(nullptr, ident)) {}

SystemLog::~SystemLog() {
    if (source_ != nullptr) (void)::DeregisterEventSource(static_cast<HANDLE>(source_));
}

void SystemLog::Write(bool warning, const char* text) const {
    if (source_ == nullptr) return;
    const char* strings[] = {text};
    (void)::ReportEventA(static_cast<HANDLE>(source_),
                         warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
                         kTextEventId, nullptr, 1, 0, strings, nullptr);
}

}  // namespace zel::svc

namespace zel::svc {
namespace {

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_START_PENDING:
            return "start pending";
        case SERVICE_STOP_PENDING:
            return "stop pending";
        case SERVICE_RUNNING:
            return "running";
        case SERVICE_CONTINUE_PENDING:
            return "continue pending";
        case SERVICE_PAUSE_PENDING:
            return "pause pending";
        case SERVICE_PAUSED:
            return "paused";
        default:
            return "in an unknown state";
    }
}

}  // namespace

const ManagerWords kManagerWords = {
    "service ",
    ", under the service control manager",
    ", not under the service control manager",
    " (the service control manager cannot be reached)",
    "net start ",
    ".exe as an administrator",
};

ServiceQuery QueryService(const std::string& name) {
    ServiceQuery out;
    out.where = name;
    ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return out;
    out.manager_present = true;
    ScHandle service(::OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        // Installed, but closed to this account: its state is not known.
        out.installed = ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
        if (out.installed) out.state = "state not known (it cannot be opened)";
        return out;
    }
    out.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&status), sizeof status, &needed)) {
        out.state = "state not known (it cannot be queried)";
        return out;
    }
    out.state = StateName(status.dwCurrentState);
    out.pid = static_cast<long>(status.dwProcessId);
    return out;
}

bool RunsAsManagedService(long pid, const std::string& name) {
    const ServiceQuery query = QueryService(name);
    return pid > 0 && query.pid == pid && query.state != "stopped";
}

}  // namespace zel::svc
