// The service loop's controls and timer, and the signal dispositions of
// process.h.  Each case blocks or changes signals, so it runs in a child
// process with a deadline and leaves the test process as it was.
#include "platform/service_loop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "platform/process.h"
#include "tests/common/child.h"

namespace {

namespace svc = zel::svc;
using zel::test::RunInChild;

// Waits for the next event; false on failure.
bool WaitOnce(svc::ServiceLoop& loop, bool* control, bool* timer) {
    *control = *timer = false;
    return loop.Wait(control, timer) == 0;
}

TEST(ServiceLoop, ControlsArriveInOrderAndAStoppedTimerHasNoTickLeft) {
    const int rc = RunInChild(
        [] {
            svc::ServiceLoop loop;
            if (loop.OpenControls() != 0 || loop.OpenTimer() != 0) return 1;
            // Blocked now: raising queues them for the loop instead of
            // ending the process.
            ::raise(SIGUSR1);
            ::raise(SIGTERM);
            bool control = false, timer = false;
            if (!WaitOnce(loop, &control, &timer) || !control || timer) return 2;
            svc::Control first{}, second{}, third{};
            // Standard signals are delivered lowest number first.
            if (!loop.NextControl(&first) || first != svc::Control::kPause) return 3;
            if (!loop.NextControl(&second) || second != svc::Control::kStop) return 4;
            if (loop.NextControl(&third)) return 5;

            if (!loop.StartTimer(1)) return 6;
            if (!WaitOnce(loop, &control, &timer) || !timer) return 7;
            // Stopped after it fired (a pause arriving with a tick): the tick
            // is gone.
            loop.StopTimer();
            if (loop.TakeTick()) return 8;
            if (!loop.StartTimer(1) || !WaitOnce(loop, &control, &timer) || !loop.TakeTick())
                return 9;
            ::raise(SIGHUP);
            if (!WaitOnce(loop, &control, &timer) || !loop.NextControl(&first) ||
                first != svc::Control::kOther)
                return 10;
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
}

TEST(ProcessSignals, InterruptIgnoredOnlyWhileItLives) {
    const int rc = RunInChild(
        [] {
            {
                const zel::proc::InterruptIgnored ignored;
                ::raise(SIGINT);  // survived: ignored
            }
            struct sigaction now {};
            if (::sigaction(SIGINT, nullptr, &now) != 0) return 1;
            return now.sa_handler == SIG_DFL ? 0 : 2;
        },
        10000);
    EXPECT_EQ(rc, 0);
}

TEST(ProcessIdentity, ReadsOnlyDigitsSeparatorDigits) {
    zel::proc::ProcessIdentity who;
    EXPECT_EQ(zel::proc::ParseIdentity("4242 77 rest", ' ', &who), 7u);
    EXPECT_EQ(who.pid, 4242);
    EXPECT_EQ(who.start, 77u);
    for (const char* bad :
         {"+42 7", "42 -7", "42 ", " 42 7", "0 7", "2147483648 7", "12345678901234567890 7"}) {
        zel::proc::ProcessIdentity untouched{1, 2};
        EXPECT_EQ(zel::proc::ParseIdentity(bad, ' ', &untouched), 0u) << bad;
        EXPECT_EQ(untouched.pid, 1) << bad;
    }
}

}  // namespace
