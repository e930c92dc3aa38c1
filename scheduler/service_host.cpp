// The schedule service program (see service_host.h).  Owns, for the length
// of a run, the scheduler, its timerfd and the signalfd of the controls; all
// of them live on the one thread that runs the loop.
#include "scheduler/service_host.h"

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/fs.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_setup.h"

namespace zel::cron {
namespace {

// Where the service's events go: syslog as a service, standard output as an
// ordinary program.
class EventOutput {
  public:
    explicit EventOutput(bool service) : service_(service) {
        if (service_) ::openlog(kServiceName, LOG_PID, LOG_DAEMON);
    }
    ~EventOutput() {
        if (service_) ::closelog();
    }
    EventOutput(const EventOutput&) = delete;
    EventOutput& operator=(const EventOutput&) = delete;

    void Write(const char* text, bool warning = false) const {
        if (service_) {
            ::syslog(warning ? LOG_WARNING : LOG_INFO, "%s", text);
        } else {
            std::fputs(text, stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }

  private:
    bool service_;
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
    void OnSignal(const signalfd_siginfo& info);
    void OnTimer();
    [[nodiscard]] bool StartTimer(int milliseconds);
    void StopTimer();
    // The service manager hears the state whenever it handed us its socket,
    // whether or not the registry says we were installed as a service: a
    // unit of Type=notify times out without READY.
    void Report(const char* state) {
        if (!notify_socket_.empty()) (void)SdNotify(notify_socket_, state);
    }

    bool service_;
    std::string notify_socket_;
    EventOutput events_;
    Scheduler scheduler_;
    fs::UniqueFd signals_;
    fs::UniqueFd timer_;
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
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPWR, SIGHUP, SIGCHLD}) {
        sigaddset(&set, sig);
    }
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signals_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    return static_cast<bool>(signals_);
}

void Host::Run() {
    events_.Write("Service started");
    Report("READY=1\nSTATUS=Running");
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!timer_ || !StartTimer(FirstTickMilliseconds())) return;
    scheduler_.SetLoadedStateFile(paths::UnderRoot(kLoadedStateFileName));
    scheduler_.Load();
    Loop();
    StopTimer();
    scheduler_.Free();
}

void Host::Loop() {
    while (!quit_) {
        pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {timer_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;  // nothing sensible is left to wait on
        }
        // Controls first: a stop or pause that arrives together with a tick
        // wins over it.
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (fs::ReadSome(signals_.get(), &info, sizeof info) ==
                   static_cast<long>(sizeof info))
                OnSignal(info);
        }
        if (!quit_ && (fds[1].revents & POLLIN)) OnTimer();
    }
}

void Host::OnSignal(const signalfd_siginfo& info) {
    switch (static_cast<int>(info.ssi_signo)) {
        case SIGTERM:
        case SIGINT:
            StopTimer();
            Report("STOPPING=1\nSTATUS=Stopping");
            quit_ = true;
            break;
        case SIGUSR1:
            StopTimer();
            break;
        case SIGUSR2:
            (void)StartTimer(kTickMilliseconds);
            break;
        case SIGPWR:
            StopTimer();
            scheduler_.Free();
            break;
        case SIGCHLD:
            scheduler_.Reap();
            break;
        default:
            events_.Write("Bad service request");
            break;
    }
}

void Host::OnTimer() {
    std::uint64_t expirations = 0;
    // Nothing to read means the timer was stopped after it had fired.
    if (fs::ReadSome(timer_.get(), &expirations, sizeof expirations) !=
        static_cast<long>(sizeof expirations))
        return;
    StopTimer();
    std::time_t now = std::time(nullptr);
    // localtime_r alone keeps the zone it first loaded; tzset picks up a
    // zone the administrator changed while the service runs, so jobs keep to
    // the wall clock the dealer sees.
    ::tzset();
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) (void)scheduler_.Tick(local);
    // Measured from the end of this tick's work, as the schedule expects.
    (void)StartTimer(kTickMilliseconds);
}

bool Host::StartTimer(int milliseconds) {
    itimerspec spec{};
    spec.it_value.tv_sec = milliseconds / 1000;
    spec.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    return ::timerfd_settime(timer_.get(), 0, &spec, nullptr) == 0;
}

void Host::StopTimer() {
    if (!timer_) return;
    itimerspec off{};
    (void)::timerfd_settime(timer_.get(), 0, &off, nullptr);
}

}  // namespace

int FirstTickMilliseconds() {
    const char* text = std::getenv("ZEL_CRON_FIRST_TICK_MS");
    if (text == nullptr || text[0] == '\0') return kTickMilliseconds;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return kTickMilliseconds;
        value = value * 10 + (*p - '0');
        if (value > kTickMilliseconds) return kTickMilliseconds;
    }
    return value >= 1 ? static_cast<int>(value) : kTickMilliseconds;
}

int SdNotify(const std::string& socket_name, const std::string& state) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t length = 0;
    if (socket_name.size() >= 2 && socket_name[0] == '@') {
        // Abstract namespace: a leading NUL, and the length counts exactly
        // the name's bytes.
        if (socket_name.size() > sizeof addr.sun_path) return EINVAL;
        std::memcpy(addr.sun_path + 1, socket_name.data() + 1, socket_name.size() - 1);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name.size());
    } else if (!socket_name.empty() && socket_name[0] == '/') {
        if (socket_name.size() >= sizeof addr.sun_path) return EINVAL;
        std::memcpy(addr.sun_path, socket_name.c_str(), socket_name.size() + 1);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_name.size() + 1);
    } else {
        return EINVAL;
    }
    fs::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    ssize_t sent = ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&addr), length);
    if (sent < 0) return errno;
    return static_cast<std::size_t>(sent) == state.size() ? 0 : EMSGSIZE;
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
    std::string notify_socket;
    if (const char* ns = std::getenv("NOTIFY_SOCKET"); ns != nullptr) notify_socket = ns;
    ::unsetenv("NOTIFY_SOCKET");
    if (notify_socket.empty()) service = false;

    // Events written to a closed standard output must not end the service;
    // started jobs get default signal handling back.
    ::signal(SIGPIPE, SIG_IGN);
    Host host(service, notify_socket);
    return host.Main();
}

}  // namespace zel::cron
