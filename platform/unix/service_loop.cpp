// The service loop over a signalfd and a timerfd (see service_loop.h).
#include "platform/service_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

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

int ServiceLoop::OpenControls() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kControlSignals) sigaddset(&set, sig);
    if (int err = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) return err;
    controls_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    return controls_ ? 0 : errno;
}

int ServiceLoop::OpenTimer() {
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    return timer_ ? 0 : errno;
}

bool ServiceLoop::StartTimer(int milliseconds) {
    if (!timer_) return false;
    itimerspec spec{};
    spec.it_value.tv_sec = milliseconds / 1000;
    spec.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    return ::timerfd_settime(timer_.get(), 0, &spec, nullptr) == 0;
}

void ServiceLoop::StopTimer() {
    if (!timer_) return;
    itimerspec off{};
    (void)::timerfd_settime(timer_.get(), 0, &off, nullptr);
}

int ServiceLoop::Wait(bool* control_ready, bool* timer_ready) {
    pollfd fds[2] = {{controls_.get(), POLLIN, 0}, {timer_.get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) return errno;
    }
    *control_ready = (fds[0].revents & POLLIN) != 0;
    *timer_ready = (fds[1].revents & POLLIN) != 0;
    return 0;
}

bool ServiceLoop::NextControl(Control* control) {
    signalfd_siginfo info;
    if (fs::ReadSome(controls_.get(), &info, sizeof info) != static_cast<long>(sizeof info))
        return false;
    *control = ControlOf(info.ssi_signo);
    return true;
}

bool ServiceLoop::TakeTick() {
    std::uint64_t expirations = 0;
    return fs::ReadSome(timer_.get(), &expirations, sizeof expirations) ==
           static_cast<long>(sizeof expirations);
}

}  // namespace zel::svc
