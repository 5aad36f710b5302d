#include "common/EventService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <vector>

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
    EXPECT_EQ(t1Ticks, 114);           // Timer1 kept ticking during the wait
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

// --- Sleeping timers and waits that return on events ---------------------------

TEST(VirtualEvents, ASleepingTimerRunsTheFirstRegularTickAtOrAfterItsDeadline) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    std::vector<double> ran;
    Timer t("T", 1, [&] { ran.push_back(ev.MicroSeconds()); });
    t.SetEnabled(true);
    ev.RunFor(3000);
    ASSERT_EQ(ran, (std::vector<double>{1000, 2000, 3000}));
    // Between ticks: the deadline lies off the grid, the tick after it runs.
    t.SleepUntil(7500);
    ev.RunFor(6000);
    EXPECT_EQ(ran, (std::vector<double>{1000, 2000, 3000, 8000, 9000}));
    EXPECT_EQ(t.SleptTicks(), 4u);  // 4, 5, 6 and 7 ms
    EXPECT_EQ(t.Ticks(), 5u);
    // On the grid: that very tick runs.
    t.SleepUntil(12000);
    ev.RunFor(3000);
    EXPECT_EQ(ran.back(), 12000);
    EXPECT_EQ(t.SleptTicks(), 6u);
}

TEST(VirtualEvents, WakeEndsASleepAtTheNextTickAndEnablingEndsItToo) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int n = 0;
    Timer t("T", 1, [&] { ++n; });
    t.SetEnabled(true);
    t.SleepUntil(std::numeric_limits<double>::infinity());
    ev.RunFor(50000);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(t.SleptTicks(), 50u);
    // Woken from a device event between two ticks.
    ev.Post(50300, [&] { t.Wake(); });
    ev.RunFor(1000);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(t.SleepingUntil(), -std::numeric_limits<double>::infinity());
    // Disabling and enabling again starts awake.
    t.SleepUntil(1e9);
    t.SetEnabled(false);
    t.SetEnabled(true);
    ev.RunFor(1000);
    EXPECT_EQ(n, 2);
}

TEST(VirtualEvents, SleepAskedInsideTheHandlerTakesEffectAfterIt) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    std::vector<double> ran;
    Timer* self = nullptr;
    // Each tick sleeps 10 ms; a wake from inside the same tick is overridden.
    Timer t("T", 1, [&] {
        ran.push_back(ev.MicroSeconds());
        self->Wake();
        self->SleepUntil(ev.MicroSeconds() + 10000);
    });
    self = &t;
    t.SetEnabled(true);
    ev.RunFor(35000);
    EXPECT_EQ(ran, (std::vector<double>{1000, 11000, 21000, 31000}));
}

TEST(VirtualEvents, WaitForEventsReturnsAfterTheFirstEventThatRan) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    int ticks = 0;
    Timer t("T", 5, [&] { ++ticks; });
    t.SetEnabled(true);
    t.SleepUntil(20000);  // ticks at 5, 10, 15 ms are slept through: no events
    bool posted = false;
    ev.Post(17000, [&] { posted = true; });
    EXPECT_TRUE(WaitForEvents(100000));
    EXPECT_TRUE(posted);
    EXPECT_EQ(ticks, 0);
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 17000);
    EXPECT_TRUE(WaitForEvents(100000));
    EXPECT_EQ(ticks, 1);
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 20000);
    // Nothing runs before the deadline: the clock stops there.
    t.SetEnabled(false);
    EXPECT_FALSE(WaitForEvents(30000));
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 30000);
    EXPECT_FALSE(WaitForEvents(10000));  // a deadline already passed
    EXPECT_DOUBLE_EQ(ev.MicroSeconds(), 30000);
}

TEST(VirtualEvents, WaitForEventsSkipsTicksOfABusyHandler) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    bool waited = false;
    double returnedAt = 0;
    Timer t("T", 1, [&] {
        if (waited) return;
        waited = true;
        // Inside its own handler the timer's ticks are no events.
        returnedAt = WaitForEvents(ev.MicroSeconds() + 5000) ? -1 : ev.MicroSeconds();
    });
    t.SetEnabled(true);
    ev.RunFor(10000);
    EXPECT_DOUBLE_EQ(returnedAt, 6000);
    EXPECT_EQ(t.SkippedTicks(), 5u);
}

TEST(VirtualEvents, WakeUpsCountWhatWouldWakeARealProcess) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    Timer fast("T1", 1, [] {});
    fast.SetEnabled(true);
    ev.RunFor(100000);
    EXPECT_EQ(ev.WakeUps(), 100u);
    // A sleeping timer wakes nothing; its ticks are still visited in order.
    fast.SleepUntil(std::numeric_limits<double>::infinity());
    const uint64_t events = ev.EventsRun();
    ev.RunFor(100000);
    EXPECT_EQ(ev.WakeUps(), 100u);
    EXPECT_EQ(ev.EventsRun() - events, 100u);
    // A wait of the tool's own ends with a wake-up; several events at one
    // instant are one wake-up.
    WaitMicroSeconds(500);
    EXPECT_EQ(ev.WakeUps(), 101u);
    ev.Post(ev.MicroSeconds() + 10, [] {});
    ev.Post(ev.MicroSeconds() + 10, [] {});
    ev.RunFor(100);
    EXPECT_EQ(ev.WakeUps(), 102u);
}

TEST(RealEvents, ASleepingTimerIsNotRunUntilWokenOrItsDeadline) {
    constexpr double kForEver = std::numeric_limits<double>::infinity();
    int n = 0;
    double ranAt = 0;
    Timer* self = nullptr;
    Timer t("T", 1, [&] {
        ++n;
        ranAt = MicroSeconds();
        self->SleepUntil(kForEver);  // each run is followed by a sleep
    });
    self = &t;
    t.SetEnabled(true);
    t.SleepUntil(kForEver);
    WaitMicroSeconds(30000);
    EXPECT_EQ(n, 0);
    // Woken, it runs, and a wait for events returns for it.
    t.Wake();
    const double limit = MicroSeconds() + 2e6;
    while (n == 0 && MicroSeconds() < limit) WaitForEvents(limit);
    EXPECT_EQ(n, 1);
    // A sleep with a deadline ends no earlier than the deadline.
    t.SleepUntil(MicroSeconds() + 20000);
    const double deadline = t.SleepingUntil();
    const double limit2 = MicroSeconds() + 2e6;
    while (n == 1 && MicroSeconds() < limit2) WaitForEvents(limit2);
    t.SetEnabled(false);
    EXPECT_EQ(n, 2);
    EXPECT_GE(ranAt, deadline);
}

TEST(RealEvents, ShortAndLongWaitsLastAtLeastTheirTime) {
    for (double us : {300.0, 1200.0, 4000.0}) {
        const double t0 = MicroSeconds();
        WaitMicroSeconds(us);
        EXPECT_GE(MicroSeconds() - t0, us) << us;
    }
    // A wait for events with nothing to run returns at its deadline.
    const double t0 = MicroSeconds();
    EXPECT_FALSE(WaitForEvents(t0 + 3000));
    EXPECT_GE(MicroSeconds() - t0, 3000);
}
