// The service loop over a signalfd and a timerfd (see service_loop.h).
#include "platform/service_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

#include "platform/fs.h"

namespace zel::svc {
namespace {

constexpr int kControlSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPWR, SIGHUP, SIGCHLD};

Control ControlOf(unsigned signal_number) {
    switch (static_cast<int>(signal_number)) {
        case SIGTERM:
        case SIGINT:
            return Control::kStop;
        case SIGUSR1:
            return Control::kPause;
        case SIGUSR2:
            return Control::kContinue;
        case SIGPWR:
            return Control::kShutdown;
        case SIGCHLD:
            return Control::kChildEnded;
        default:
            return Control::kOther;
    }
}

}  // namespace

struct ServiceLoop::State {
    fs::UniqueFd controls;
    fs::UniqueFd timer;
};

ServiceLoop::ServiceLoop() : state_(new (std::nothrow) State) {}
ServiceLoop::~ServiceLoop() = default;

int ServiceLoop::OpenControls() {
    if (!state_) return ENOMEM;
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kControlSignals) sigaddset(&set, sig);
    if (int err = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) return err;
    state_->controls.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    return state_->controls ? 0 : errno;
}

int ServiceLoop::OpenTimer() {
    if (!state_) return ENOMEM;
    state_->timer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    return state_->timer ? 0 : errno;
}

bool ServiceLoop::StartTimer(int milliseconds) {
    if (!state_ || !state_->timer) return false;
    itimerspec spec{};
    spec.it_value.tv_sec = milliseconds / 1000;
    spec.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    return ::timerfd_settime(state_->timer.get(), 0, &spec, nullptr) == 0;
}

void ServiceLoop::StopTimer() {
    if (!state_ || !state_->timer) return;
    itimerspec off{};
    (void)::timerfd_settime(state_->timer.get(), 0, &off, nullptr);
}

int ServiceLoop::Wait(bool* control_ready, bool* timer_ready) {
    if (!state_) return ENOMEM;
    pollfd fds[2] = {{state_->controls.get(), POLLIN, 0}, {state_->timer.get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) return errno;
    }
    *control_ready = (fds[0].revents & POLLIN) != 0;
    *timer_ready = (fds[1].revents & POLLIN) != 0;
    return 0;
}

bool ServiceLoop::NextControl(Control* control) {
    if (!state_) return false;
    signalfd_siginfo info;
    if (fs::ReadSome(state_->controls.get(), &info, sizeof info) != static_cast<long>(sizeof info))
        return false;
    *control = ControlOf(info.ssi_signo);
    return true;
}

bool ServiceLoop::TakeTick() {
    if (!state_) return false;
    std::uint64_t expirations = 0;
    return fs::ReadSome(state_->timer.get(), &expirations, sizeof expirations) ==
           static_cast<long>(sizeof expirations);
}

}  // namespace zel::svc
