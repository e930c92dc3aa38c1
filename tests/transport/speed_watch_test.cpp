// The idle limit that the WinInet engine keeps itself (SpeedWatch), on a
// clock of the test's making: a trickle ends after the idle limit, a steady
// transfer never, and a slow start that picks up is forgiven.
#include <gtest/gtest.h>

#include <chrono>

#include "transport/engine_internal.h"

using zel::transport::RequestTimeouts;
using zel::transport::SpeedWatch;

namespace {

using namespace std::chrono_literals;

RequestTimeouts Limits() {
    RequestTimeouts limits{60, 2};
    limits.min_speed = 1000;
    return limits;
}

// Feeds the watch bytes_per_tick every 100 ms for ticks ticks from start
// (the count so far continuing from moved); the seconds after which it said
// "too slow", or -1.
double FirstTooSlow(SpeedWatch& watch, SpeedWatch::Clock::time_point start, int first_tick,
                    int ticks, std::uint64_t* moved, std::uint64_t bytes_per_tick) {
    for (int i = first_tick; i < first_tick + ticks; ++i) {
        *moved += bytes_per_tick;
        if (watch.TooSlow(*moved, start + i * 100ms)) return i / 10.0;
    }
    return -1;
}

TEST(SpeedWatch, TrickleEndsAfterTheIdleLimitSteadyTransferNever) {
    const SpeedWatch::Clock::time_point start{};
    std::uint64_t moved = 0;
    SpeedWatch trickle(Limits(), start);
    // 100 bytes a second: slow from the first second on.
    EXPECT_NEAR(FirstTooSlow(trickle, start, 1, 100, &moved, 10), 2.0, 0.11);

    moved = 0;
    SpeedWatch steady(Limits(), start);
    EXPECT_EQ(FirstTooSlow(steady, start, 1, 300, &moved, 500), -1);  // 5000 bytes a second
}

TEST(SpeedWatch, SlowStartThatPicksUpIsForgiven) {
    const SpeedWatch::Clock::time_point start{};
    std::uint64_t moved = 0;
    SpeedWatch watch(Limits(), start);
    // 1.5 s of nothing (the server thinking), then a steady body.
    EXPECT_FALSE(watch.TooSlow(0, start + 1500ms));
    EXPECT_EQ(FirstTooSlow(watch, start, 16, 100, &moved, 500), -1);
}

}  // namespace
