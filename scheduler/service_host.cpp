// The schedule service program (see service_host.h).  Owns, for the length
// of a run, the scheduler and the service loop (its timer and the controls);
// all of them live on the one thread that runs the loop.
#include "scheduler/service_host.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "platform/fs.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_loop.h"
#include "platform/service_manager.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_setup.h"

namespace zel::cron {
namespace {

// Where the service's events go: the system log as a service, standard
// output as an ordinary program.
class EventOutput {
  public:
    explicit EventOutput(bool service) {
        if (service) system_log_.emplace(kServiceName);
    }

    void Write(const char* text, bool warning = false) const {
        if (system_log_) {
            system_log_->Write(warning, text);
        } else {
            std::fputs(text, stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }

  private:
    std::optional<svc::SystemLog> system_log_;
};

class Host {
  public:
    Host(bool service, std::string notify_socket)
        : service_(service), notify_socket_(std::move(notify_socket)), events_(service) {
        // What the scheduler does goes to the journal beside the service's
        // own events.
        scheduler_.set_reporter([this](bool warning, const std::string& text) {
            events_.Write(text.c_str(), warning);
        });
    }

    // The service main routine, or the plain run of an ordinary program.
    int Main();

  private:
    [[nodiscard]] bool InstallHandler();
    void Run();
    void Loop();
    void OnControl(svc::Control control);
    void OnTimer();
    // The service manager hears the state whenever it handed us its socket,
    // whether or not the registry says we were installed as a service: a
    // unit of Type=notify times out without READY.
    void Report(const char* state) {
        if (!notify_socket_.empty()) (void)svc::NotifyServiceManager(notify_socket_, state);
    }

    bool service_;
    std::string notify_socket_;
    EventOutput events_;
    Scheduler scheduler_;
    svc::ServiceLoop loop_;
    bool quit_ = false;
};

int Host::Main() {
    if (!InstallHandler()) {
        events_.Write("Handler not installed");
        return 1;
    }
    Report("STATUS=Starting");
    Run();
    Report("STATUS=Stopped");
    if (service_) events_.Write("Service stopped");
    return 0;
}

bool Host::InstallHandler() {
    return loop_.OpenControls() == 0;
}

void Host::Run() {
    events_.Write("Service started");
    Report("READY=1\nSTATUS=Running");
    if (loop_.OpenTimer() != 0 || !loop_.StartTimer(FirstTickMilliseconds())) return;
    scheduler_.SetLoadedStateFile(paths::UnderRoot(kLoadedStateFileName));
    scheduler_.Load();
    Loop();
    loop_.StopTimer();
    scheduler_.Free();
}

void Host::Loop() {
    while (!quit_) {
        bool control_ready = false;
        bool timer_ready = false;
        if (loop_.Wait(&control_ready, &timer_ready) != 0) return;  // nothing left to wait on
        // Controls first: a stop or pause that arrives together with a tick
        // wins over it.
        svc::Control control{};
        while (control_ready && loop_.NextControl(&control)) OnControl(control);
        if (!quit_ && timer_ready) OnTimer();
    }
}

void Host::OnControl(svc::Control control) {
    switch (control) {
        case svc::Control::kStop:
            loop_.StopTimer();
            Report("STOPPING=1\nSTATUS=Stopping");
            quit_ = true;
            break;
        case svc::Control::kPause:
            loop_.StopTimer();
            break;
        case svc::Control::kContinue:
            (void)loop_.StartTimer(kTickMilliseconds);
            break;
        case svc::Control::kShutdown:
            loop_.StopTimer();
            scheduler_.Free();
            break;
        case svc::Control::kChildEnded:
            scheduler_.Reap();
            break;
        case svc::Control::kOther:
            events_.Write("Bad service request");
            break;
    }
}

void Host::OnTimer() {
    // Nothing to take means the timer was stopped after it had fired.
    if (!loop_.TakeTick()) return;
    loop_.StopTimer();
    std::time_t now = std::time(nullptr);
    // localtime_r alone keeps the zone it first loaded; tzset picks up a
    // zone the administrator changed while the service runs, so jobs keep to
    // the wall clock the dealer sees.
    ::tzset();
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) (void)scheduler_.Tick(local);
    // Measured from the end of this tick's work, as the schedule expects.
    (void)loop_.StartTimer(kTickMilliseconds);
}

}  // namespace

int FirstTickMilliseconds() {
    const char* text = std::getenv("ZEL_CRON_FIRST_TICK_MS");
    if (text == nullptr) return kTickMilliseconds;
    const char* end = text + std::strlen(text);
    int value = 0;
    // Digits only: from_chars would also take a sign.
    if (text == end || *text < '0' || *text > '9') return kTickMilliseconds;
    const auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || value < 1 || value > kTickMilliseconds)
        return kTickMilliseconds;
    return value;
}

int ServiceProgramMain(int argc, char** argv) {
    SetupCommand command = ParseSetupCommand(argc, argv);
    if (command != SetupCommand::kNone) return RunSetupCommand(command);
    if (argc > 1)
        std::fprintf(stderr,
                     "%s: no option recognised in the arguments; running the schedule "
                     "(%s --help lists the options)\n",
                     kServiceName, kServiceName);

    bool service = false;
    {
        reg::Key key;
        reg::Status st =
            reg::OpenKey(reg::Hive::ClassesRoot, std::string(kAppIdRoot) + "\\" + kAppId, &key);
        if (st != reg::kSuccess) {
            std::fprintf(stderr, "%s: not registered (run %s -RegServer or -Service first)\n",
                         kServiceName, kServiceName);
            return static_cast<int>(st);
        }
        std::string value;
        service = reg::QueryString(key, "LocalService", &value) == reg::kSuccess;
    }

    // One running copy per system root: a second one would start every due
    // batch file a second time in the same minute.  The lock is held until
    // the process ends; started jobs do not inherit it.
    fs::UniqueFd instance_lock;
    const std::string lock_path = paths::UnderRoot(kInstanceLockFile);
    pid_t holder = 0;
    if (int err = fs::LockPidFile(lock_path, &instance_lock, &holder); err != 0) {
        if (err == EWOULDBLOCK) {
            std::fprintf(stderr,
                         "%s: already running on this system root (pid %s, lock %s); not "
                         "starting a second copy\n",
                         kServiceName, holder > 0 ? std::to_string(holder).c_str() : "unknown",
                         lock_path.c_str());
        } else {
            std::fprintf(stderr, "%s: cannot lock %s: %s\n", kServiceName, lock_path.c_str(),
                         std::strerror(err));
        }
        return kAlreadyRunningExit;
    }

    // systemd hands a notify service its socket in the environment; without
    // one there is no service manager to talk to and the program runs as an
    // ordinary one.  The batch files it starts must not inherit the socket.
    const std::string notify_socket = svc::TakeNotifySocket();
    if (notify_socket.empty()) service = false;

    // Events written to a closed standard output must not end the service;
    // started jobs get default signal handling back.
    proc::IgnoreBrokenPipe();
    Host host(service, notify_socket);
    return host.Main();
}

}  // namespace zel::cron
