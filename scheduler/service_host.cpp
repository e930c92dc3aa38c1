// The schedule service program (see service_host.h).  Owns, for the length
// of a run, the scheduler and the service loop (its timer and the controls);
// all of them live on the one thread that runs the loop (on Windows, under
// the service control manager, the service thread the dispatcher makes).
#include "scheduler/service_host.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "platform/fs.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_loop.h"
#include "platform/service_manager.h"
#include "platform/system.h"
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
    // status: the line to the service manager, or null for an ordinary
    // program that no manager started.
    Host(bool service, svc::ServiceStatus* status)
        : service_(service), status_(status), events_(service) {
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
    // The service manager hears the state whenever it started us, whether or
    // not the registry says we were installed as a service: a unit of
    // Type=notify times out without READY.
    void Report(svc::ServiceState state) {
        if (status_ != nullptr) status_->Report(state);
    }

    bool service_;
    svc::ServiceStatus* status_;
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
    Report(svc::ServiceState::kStartPending);
    Run();
    Report(svc::ServiceState::kStopped);
    if (service_) events_.Write("Service stopped");
    return 0;
}

bool Host::InstallHandler() {
    if (status_ != nullptr && !status_->HandlerInstalled()) return false;
    return loop_.OpenControls() == 0;
}

void Host::Run() {
    events_.Write("Service started");
    Report(svc::ServiceState::kRunning);
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
            Report(svc::ServiceState::kStopPending);
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
    // The local-time conversion alone keeps the zone it first loaded; tzset
    // picks up a zone the administrator changed while the service runs, so
    // jobs keep to the wall clock the dealer sees.
    ::tzset();
    std::tm local{};
    if (sys::LocalTime(now, &local)) (void)scheduler_.Tick(local);
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

    bool registered = false;
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
        registered = reg::QueryString(key, "LocalService", &value) == reg::kSuccess;
    }
    // Installed as the service: run on what the service was installed with
    // (its system root), whoever started the program.
    if (registered) svc::AdoptServiceEnvironment(kServiceName);

    // One running copy per system root: a second one would start every due
    // batch file a second time in the same minute.  The lock is held until
    // the process ends; started jobs do not inherit it.
    fs::InstanceLock instance_lock;
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

    // Events written to a closed standard output must not end the service;
    // started jobs get default signal handling back.
    proc::IgnoreBrokenPipe();
    // Under the service manager when it started this process (as a service
    // only when also installed as one), else as an ordinary program.
    int exit_code = 0;
    if (svc::RunAsService(
            kServiceName, registered,
            [registered](svc::ServiceStatus& status) {
                Host host(registered, &status);
                return host.Main();
            },
            &exit_code)) {
        return exit_code;
    }
    Host host(false, nullptr);
    return host.Main();
}

}  // namespace zel::cron
