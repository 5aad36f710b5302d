// The window's link timer (Timer1) in virtual time: asleep between link work
// while online and polling, on every tick while the link is stopped (the link
// reset applies what the fitter edits offline), and asleep again once a port
// is chosen and the window is back online.
#include <gtest/gtest.h>

#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

struct TicksOver {
    uint64_t ran = 0, slept = 0;
};

TicksOver RunAndCount(SimSession& s, double seconds) {
    Timer& t1 = s.tool().LinkTimer();
    const uint64_t ran = t1.Ticks(), slept = t1.SleptTicks();
    s.RunFor(seconds);
    return {t1.Ticks() - ran, t1.SleptTicks() - slept};
}

}  // namespace

TEST(MainCtlLinkTimer, SleepsWhileOnlineTicksWhileStoppedAndSleepsAgainOnceBack) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.RunFor(2);

    // Online: about 14 requests a second, each a few link-timer ticks.
    const uint64_t mem1 = s.Sent(CMD_READ_MEM1);
    const TicksOver online = RunAndCount(s, 10);
    EXPECT_GT(s.Sent(CMD_READ_MEM1) - mem1, 20u);
    EXPECT_GT(online.slept, 8000u);
    EXPECT_LT(online.ran, 1500u);

    // Stopped: every tick runs, so an edit made offline is applied at once.
    s.ctl().MnuDevOffline_Click();
    s.RunFor(0.1);
    ASSERT_EQ(s.comm().ComState(), ComState::Stopped);
    const TicksOver stopped = RunAndCount(s, 1);
    EXPECT_EQ(stopped.ran, 1000u);
    EXPECT_EQ(stopped.slept, 0u);
    s.sched().StartWriteDelay(Block::Mem3, 5);
    s.RunFor(0.002);
    EXPECT_EQ(s.sched().Delays().DelayWriteMem3, 0);

    // A port chosen: online again, and asleep again between link work.
    s.ctl().MnuDevCom_Click(0);
    ASSERT_TRUE(
        s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); }, 30));
    s.RunFor(2);
    const TicksOver back = RunAndCount(s, 10);
    EXPECT_GT(back.slept, 8000u);
    EXPECT_LT(back.ran, 1500u);
}
