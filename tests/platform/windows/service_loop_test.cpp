// The service loop on Windows: the thread timer's ticks, the end of a
// started program heard of until it is collected, and the quit message as
// a stop.  (The Linux loop's signals are tested in service_loop_test.cpp.)
#include "platform/service_loop.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/process.h"

namespace {

namespace svc = zel::svc;

// Waits for the next event; false on failure.
bool WaitOnce(svc::ServiceLoop& loop, bool* control, bool* timer) {
    *control = *timer = false;
    return loop.Wait(control, timer) == 0;
}

TEST(ServiceLoopWindows, TimerTicksAndAStoppedTimerHasNoTickLeft) {
    svc::ServiceLoop loop;
    ASSERT_EQ(loop.OpenControls(), 0);
    ASSERT_EQ(loop.OpenTimer(), 0);
    bool control = false, timer = false;
    ASSERT_TRUE(loop.StartTimer(1));
    ASSERT_TRUE(WaitOnce(loop, &control, &timer));
    EXPECT_TRUE(timer);
    EXPECT_FALSE(control);
    // Stopped after it fired (a pause arriving with a tick): the tick is
    // gone.
    loop.StopTimer();
    EXPECT_FALSE(loop.TakeTick());
    ASSERT_TRUE(loop.StartTimer(1));
    ASSERT_TRUE(WaitOnce(loop, &control, &timer));
    EXPECT_TRUE(loop.TakeTick());
    EXPECT_FALSE(loop.TakeTick());  // one tick, taken once
    loop.StopTimer();
}

TEST(ServiceLoopWindows, AProgramsEndWakesTheLoopUntilCollected) {
    svc::ServiceLoop loop;
    ASSERT_EQ(loop.OpenControls(), 0);
    ASSERT_EQ(loop.OpenTimer(), 0);
    pid_t pid = -1;
    ASSERT_EQ(zel::proc::Start("cmd /c exit 3", {}, &pid), 0);
    // A guard: the end must come long before this tick.
    ASSERT_TRUE(loop.StartTimer(30000));
    bool control = false, timer = false;
    ASSERT_TRUE(WaitOnce(loop, &control, &timer));
    ASSERT_TRUE(control);
    EXPECT_FALSE(timer);
    svc::Control what{};
    ASSERT_TRUE(loop.NextControl(&what));
    EXPECT_EQ(what, svc::Control::kChildEnded);
    EXPECT_FALSE(loop.NextControl(&what));
    // Not collected yet: the next wait hears of it again.
    ASSERT_TRUE(WaitOnce(loop, &control, &timer));
    ASSERT_TRUE(control && loop.NextControl(&what));
    EXPECT_EQ(what, svc::Control::kChildEnded);
    std::vector<zel::proc::FinishedChild> finished;
    ASSERT_EQ(zel::proc::ReapFinished(&finished), 1);
    EXPECT_EQ(finished[0].pid, pid);
    EXPECT_EQ(finished[0].exit_code, 3);
    loop.StopTimer();
}

TEST(ServiceLoopWindows, QuitMessageIsAStop) {
    svc::ServiceLoop loop;
    ASSERT_EQ(loop.OpenControls(), 0);
    ::PostQuitMessage(0);
    bool control = false, timer = false;
    ASSERT_TRUE(WaitOnce(loop, &control, &timer));
    ASSERT_TRUE(control);
    svc::Control what{};
    ASSERT_TRUE(loop.NextControl(&what));
    EXPECT_EQ(what, svc::Control::kStop);
    EXPECT_FALSE(loop.NextControl(&what));
}

}  // namespace
