#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/EventService.h"

using namespace gascal;

TEST(VirtualEvents, SixtySecondsOfTwoTimersRunFastWithExactCounts) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int fast = 0, slow = 0;
    Timer t1("Timer1", 1, [&] { ++fast; });
    Timer t2("Timer2", 14, [&] { ++slow; });
    t1.SetEnabled(true);
    t2.SetEnabled(true);
    const auto start = std::chrono::steady_clock::now();
    ev.RunFor(60e6);
    const double realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(fast, 60000);
    EXPECT_EQ(slow, 60000 / 14);
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 60e6);
    RecordProperty("real_ms", static_cast<int>(realMs));
}

TEST(VirtualEvents, WaitInsideAHandlerRunsOtherTimersButSkipsItself) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int t1Ticks = 0, t2Ticks = 0;
    double waitedUntil = 0;
    Timer t2("Timer2", 14, [&] {
        ++t2Ticks;
        if (t2Ticks == 1) {
            WaitMicroSeconds(100000);  // 100 ms inside the handler
            waitedUntil = MicroSeconds();
        }
    });
    Timer t1("Timer1", 1, [&] { ++t1Ticks; });
    t2.SetEnabled(true);
    t1.SetEnabled(true);
    ev.RunFor(14000);  // first Timer2 tick, which waits until 114 ms
    EXPECT_DOUBLE_EQ(waitedUntil, 114000);
    EXPECT_EQ(t2Ticks, 1);
    EXPECT_EQ(t1Ticks, 114);          // Timer1 kept ticking during the wait
    EXPECT_EQ(t2.SkippedTicks(), 7u);  // its own ticks at 28..112 ms were skipped
    ev.RunFor(14000);
    EXPECT_EQ(t2Ticks, 2);
}

TEST(VirtualEvents, PostedEventsRunInTimeOrderAndTiesInPostingOrder) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    std::vector<int> order;
    ev.Post(300, [&] { order.push_back(3); });
    ev.Post(100, [&] { order.push_back(1); });
    ev.Post(100, [&] { order.push_back(2); });
    ev.Post(-5, [&] { order.push_back(0); });  // in the past: runs at once
    WaitMicroSeconds(250);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    WaitMicroSeconds(50);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(VirtualEvents, DisablingAndChangingIntervalTakeEffect) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int n = 0;
    Timer t("T", 10, [&] { ++n; });
    t.SetEnabled(true);
    ev.RunFor(35000);
    EXPECT_EQ(n, 3);
    t.SetEnabled(false);
    ev.RunFor(100000);
    EXPECT_EQ(n, 3);
    t.SetInterval(50);
    t.SetEnabled(true);
    ev.RunFor(100000);
    EXPECT_EQ(n, 5);
}

TEST(VirtualEvents, HandlerThatDisablesItselfStops) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int n = 0;
    Timer* self = nullptr;
    Timer t("T", 5, [&] {
        if (++n == 2) self->SetEnabled(false);
    });
    self = &t;
    t.SetEnabled(true);
    ev.RunFor(1e6);
    EXPECT_EQ(n, 2);
}

TEST(VirtualEvents, RunUntilStopsWhenConditionHolds) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int n = 0;
    Timer t("T", 7, [&] { ++n; });
    t.SetEnabled(true);
    EXPECT_TRUE(ev.RunUntil([&] { return n == 10; }, 1e6));
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 70000);
    EXPECT_FALSE(ev.RunUntil([&] { return n < 0; }, 1000));
}

TEST(VirtualEvents, CalendarClockFollowsVirtualTimeAndWaitSecondsCrossesMidnight) {
    VirtualEventService ev(QDateTime(QDate(2026, 3, 1), QTime(23, 59, 59)));
    ScopedEvents scope(ev);
    WaitSeconds(3);
    EXPECT_GE(ev.MicroSeconds(), 3e6);
    EXPECT_LT(ev.MicroSeconds(), 3.2e6);
    EXPECT_EQ(ev.Now().date(), QDate(2026, 3, 2));
}

TEST(RealEvents, WaitMicroSecondsWaitsAtLeastTheDuration) {
    const double t0 = MicroSeconds();
    WaitMicroSeconds(20000);
    const double waited = MicroSeconds() - t0;
    EXPECT_GE(waited, 20000);
    EXPECT_LT(waited, 2e6);
}

TEST(RealEvents, TimersFireDuringAWait) {
    int n = 0;
    Timer t("T", 5, [&] { ++n; });
    t.SetEnabled(true);
    WaitMicroSeconds(60000);
    t.SetEnabled(false);
    EXPECT_GE(n, 3);
}
