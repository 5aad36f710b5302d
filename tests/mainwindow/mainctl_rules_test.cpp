// Rules of the polling cycle that hold the ECU's data safe, checked with the
// window's own numbers written out (not the code's constants, so a changed
// constant shows): the injector mask repaired at the first refresh, a failed
// correction-table write tried again 10 slots later, which reads a link
// reset posts, the divider counters at load and after a link stop, the
// variable addresses asked for in the 504-tick slot, and the fuel switch's
// read-back limits. Against the simulated ECU in virtual time.
#include <gtest/gtest.h>

#include <QByteArray>
#include <algorithm>
#include <functional>
#include <vector>

#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "sim/core/SimLayout.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

using Mask = std::array<int, 8>;

Mask EcuMask(const sim::SimEcu& ecu) {
    Mask m{};
    for (int i = 0; i < 8; ++i) m[static_cast<size_t>(i)] = ecu.Working().InjState(i);
    return m;
}

// Writes block 3 into the ECU as another tool would, before this one starts.
void PresetMem3(SimSession& s, int cylinders, const Mask& mask) {
    auto m3 = s.ecu->Working().mem3;
    m3[sim::mem3::NumCylinders] = static_cast<uint8_t>(cylinders);
    for (int i = 0; i < 8; ++i)
        m3[sim::CylOffset(sim::mem3::InjEnable, i, 1)] =
            static_cast<uint8_t>(mask[static_cast<size_t>(i)]);
    const QByteArray frame = BuildRequest(
        CMD_WRT_MEM3, QByteArray(reinterpret_cast<const char*>(m3.data()), sim::kMem3Size));
    s.ecu->ToolWrite(reinterpret_cast<const uint8_t*>(frame.constData()),
                     static_cast<size_t>(frame.size()), MicroSeconds());
    s.RunFor(0.5);
    s.ecu->AdvanceTo(MicroSeconds());
    uint8_t answer[64];
    s.ecu->TakeReadable(answer, sizeof answer, MicroSeconds());
}

// Polling ticks on which the ECU saw `cmd`, one entry per tick.
struct TicksOf {
    TicksOf(SimSession& s, uint8_t cmd) {
        s.ecu->SetRequestObserver([&s, this, cmd](uint8_t c, uint8_t, const char*) {
            const uint64_t t = s.cycle().PollTimer().Ticks();
            if (c == cmd && (ticks.empty() || ticks.back() != t)) ticks.push_back(t);
        });
    }
    std::vector<uint64_t> ticks;
};

}  // namespace

// At the first refresh an injector beyond the cylinder count is switched
// off and a first injector not fitted is fitted, in one block-3 write; a
// mask that needs neither is not written.
TEST(MainCtlRules, TheInjectorMaskIsRepairedAtTheFirstRefresh) {
    const struct {
        const char* what;
        int cylinders;
        Mask before, after;
    } rows[] = {
        {"first injector not fitted", 4, {0, 1, 1, 1, 0, 0, 0, 0}, {1, 1, 1, 1, 0, 0, 0, 0}},
        {"injectors beyond the count", 4, {1, 1, 1, 1, 1, 0, 0, 1}, {1, 1, 1, 1, 0, 0, 0, 0}},
        {"both", 2, {0, 1, 1, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0, 0, 0}},
        {"none fitted", 4, {0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"one switched off by the fitter", 4, {1, 1, 1, 0, 0, 0, 0, 0}, {1, 1, 1, 0, 0, 0, 0, 0}},
        {"six of six", 6, {1, 1, 1, 1, 1, 1, 0, 0}, {1, 1, 1, 1, 1, 1, 0, 0}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        sim::SimOptions o = SimSession::DefaultOptions();
        o.engineRunning = false;  // key on, on petrol
        SimSession s(o);
        PresetMem3(s, r.cylinders, r.before);
        ASSERT_EQ(EcuMask(*s.ecu), r.before);
        const uint64_t writesBefore = s.Sent(CMD_WRT_MEM3);
        ASSERT_TRUE(s.StartAndGoOnline());
        s.RunFor(3);
        EXPECT_EQ(s.cycle().FirstRefreshCount(), 1);
        EXPECT_EQ(EcuMask(*s.ecu), r.after);
        EXPECT_EQ(s.Sent(CMD_WRT_MEM3) - writesBefore, r.before == r.after ? 0u : 1u);
    }
}

// A table write the ECU does not take is tried again when its delay, set
// to 10, has counted down in the 2-tick slot to below 2: 9 slots later.
TEST(MainCtlRules, AFailedTableWriteIsTriedAgainNineSlotsLater) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.RunFor(1);
    int div2Slots = 0;
    s.cycle().OnSlot(Slot::Div2, [&] { ++div2Slots; });
    std::vector<int> attempts;  // the 2-tick slot of each write attempt
    s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (cmd == CMD_WRT_TBL_COR && (attempts.empty() || attempts.back() != div2Slots))
            attempts.push_back(div2Slots);
    });
    s.ecu->Failures().refuseCommand = CMD_WRT_TBL_COR;
    s.sched().StartCorWrite();
    ASSERT_TRUE(s.RunUntil([&] { return attempts.size() == 1; }, 2));
    EXPECT_EQ(s.sched().Delays().DelayWriteCor, 10);
    ASSERT_TRUE(s.RunUntil([&] { return attempts.size() == 3; }, 60));
    EXPECT_EQ(attempts[1] - attempts[0], 9);
    EXPECT_EQ(attempts[2] - attempts[1], 9);
    // Taken at last: the delay is idle and the ECU holds the model's table.
    s.ecu->Failures().refuseCommand = -1;
    ASSERT_TRUE(s.RunUntil([&] { return s.sched().Delays().DelayWriteCor == 0; }, 60));
    s.RunFor(1);
    EXPECT_EQ(s.sched().Delays().DelayWriteCor, 0);
    for (int k : {0, 50, 100, 150})
        EXPECT_NEAR(s.ecu->Working().TableEntry(static_cast<size_t>(k)) * s.image().KInj,
                    s.image().CorTable[static_cast<size_t>(k)], 0.008)
            << k;
}

// A link reset posts every block read again, but not the read of a block
// whose write is waiting (that write goes first), nor the table's read while
// the table's write delay is at 1 or more.
TEST(MainCtlRules, ALinkResetPostsTheReadsThatNoWaitingWriteHolds) {
    const Request reads[] = {Request::ReadMem1,    Request::ReadMem2,   Request::ReadMem3,
                             Request::ReadMem5,    Request::ReadCor,    Request::ReadDcol,
                             Request::ReadSmplBnz, Request::ReadSmplGas};
    const struct {
        const char* what;
        std::vector<Request> writes;
        double corDelay;
        std::vector<Request> notPosted;
    } rows[] = {
        {"nothing waiting", {}, 0, {}},
        {"block 2 write", {Request::WriteMem2}, 0, {Request::ReadMem2}},
        {"block 3 write", {Request::WriteMem3}, 0, {Request::ReadMem3}},
        {"block 5 write", {Request::WriteMem5}, 0, {Request::ReadMem5}},
        {"all three writes",
         {Request::WriteMem2, Request::WriteMem3, Request::WriteMem5},
         0,
         {Request::ReadMem2, Request::ReadMem3, Request::ReadMem5}},
        {"table delay 2", {}, 2, {Request::ReadCor}},
        {"table delay 1", {}, 1, {Request::ReadCor}},
        {"table delay below 1", {}, 0.5, {}},
        {"table delay 10 (a retry)", {}, 10, {Request::ReadCor}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        SimSession s;
        ASSERT_TRUE(s.StartAndGoOnline());
        // The scheduler stands still, so what the reset posts stays posted.
        s.cycle().PollTimer().SetEnabled(false);
        for (Request q : reads) s.sched().Withdraw(q);
        for (Request w : r.writes) s.sched().Post(w);
        s.sched().StartCorWrite(r.corDelay);
        s.comm().Reopen();
        s.RunFor(0.003);
        ASSERT_FALSE(s.cycle().Online());
        for (Request q : reads) {
            const bool held =
                std::find(r.notPosted.begin(), r.notPosted.end(), q) != r.notPosted.end();
            EXPECT_EQ(s.sched().Pending(q), !held) << "request " << static_cast<int>(q);
        }
        for (Request w : r.writes) EXPECT_TRUE(s.sched().Pending(w));
    }
}

// The divider counters: 3, 7, 17, 23, 53 and 101 at the window's load; the
// same after the link is stopped except the 504-tick counter, at 103.
TEST(MainCtlRules, DividerCountersAtLoadAndAfterALinkStop) {
    SimSession s;
    s.Start();
    const Dividers& d = s.cycle().Counters();
    const double atLoad[] = {d.Div2, d.Div5, d.Div18, d.Div24, d.Div54, d.Div504};
    EXPECT_EQ(std::vector<double>(std::begin(atLoad), std::end(atLoad)),
              (std::vector<double>{3, 7, 17, 23, 53, 101}));
    ASSERT_TRUE(
        s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); }, 30));
    s.RunFor(1);
    s.cycle().PollTimer().SetEnabled(false);
    s.ctl().MnuDevOffline_Click();
    s.RunFor(0.01);
    ASSERT_EQ(s.comm().ComState(), ComState::Stopped);
    const double afterStop[] = {d.Div2, d.Div5, d.Div18, d.Div24, d.Div54, d.Div504};
    EXPECT_EQ(std::vector<double>(std::begin(afterStop), std::end(afterStop)),
              (std::vector<double>{3, 7, 17, 23, 53, 103}));
}

// While the link does not know the ECU's variable addresses, the 504-tick
// slot asks for them (CMD_GET_ADR_VAR, no data): first on the 102nd tick
// (the counter starts at 101), then every 504 ticks; once the ECU has
// answered, never again until they are unknown again.
TEST(MainCtlRules, TheVariableAddressesAreAskedForInThe504TickSlotWhileUnknown) {
    SimSession s;
    TicksOf asks(s, CMD_GET_ADR_VAR);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return !asks.ticks.empty(); }, 30));
    EXPECT_EQ(asks.ticks[0] % 504, 102u);
    s.RunFor(0.1);
    EXPECT_TRUE(s.comm().RichiediIndVar());
    const auto ticks = [&] { return s.cycle().PollTimer().Ticks(); };
    const uint64_t known = ticks();
    ASSERT_TRUE(s.RunUntil([&] { return ticks() >= known + 3 * 504; }, 300));
    ASSERT_EQ(asks.ticks.size(), 1u);
    // Forgotten (as after a new link): asked in the next 504-tick slot.
    const uint64_t forgotten = ticks();
    s.comm().SetRichiediIndVar(false);
    ASSERT_TRUE(
        s.RunUntil([&] { return asks.ticks.size() == 2 || ticks() > forgotten + 504; }, 300));
    ASSERT_EQ(asks.ticks.size(), 2u);
    EXPECT_EQ((asks.ticks[1] - asks.ticks[0]) % 504, 0u);
    EXPECT_LE(asks.ticks[1] - forgotten, 504u);
    s.RunFor(0.1);
    EXPECT_TRUE(s.comm().RichiediIndVar());
}

// Going to gas with the logo, block 2 is read back every 0.5 s until it
// asks for gas: at most 20 times, and not after a read that failed.
TEST(MainCtlRules, TheFuelSwitchReadsBackAtMost20TimesOrUntilAReadFails) {
    const struct {
        const char* what;
        std::function<void(sim::SimEcu&)> afterWrite;  // what the ECU does after the write
        uint64_t reads;
        double minS, maxS;
    } rows[] = {
        {"asks for gas at once", [](sim::SimEcu&) {}, 1, 0.5, 1.0},
        // The car's own switch keeps asking for petrol: 20 reads, 10 s.
        {"never asks for gas", [](sim::SimEcu& e) { e.SetFuelSwitch(false); }, 20, 10.0, 14.0},
        // Block 2 can no longer be read: the first failed read ends it.
        {"a read fails", [](sim::SimEcu& e) { e.Failures().refuseCommand = CMD_READ_MEM2; }, 0, 0.5,
         2.0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        SimSession s;
        s.ecu->SetFuelSwitch(false);
        ASSERT_TRUE(s.StartAndGoOnline());
        s.RunFor(1);
        ASSERT_EQ(s.image().Mem2Block.WorkMode, 0);
        sim::SimEcu& ecu = *s.ecu;
        ecu.SetWriteObserver([&](uint8_t cmd, const sim::ConfigImage&, const sim::ConfigImage&) {
            if (cmd == CMD_WRT_MEM2) r.afterWrite(ecu);
        });
        uint64_t reads = 0, refused = 0;
        bool written = false;
        double writtenAt = 0;
        ecu.SetRequestObserver([&](uint8_t cmd, uint8_t status, const char*) {
            if (cmd == CMD_WRT_MEM2 && !written) {
                written = true;
                writtenAt = MicroSeconds();
            }
            if (cmd != CMD_READ_MEM2 || !written) return;
            if (status == sim::kStatusDone)
                ++reads;
            else
                ++refused;
        });
        s.ctl().ImgLogo_MouseUp();
        ASSERT_TRUE(s.cycle().FuelChangeRequested());
        ASSERT_TRUE(s.RunUntil([&] { return !s.cycle().FuelChangeRequested(); }, 30));
        ASSERT_TRUE(written);
        const double took = (MicroSeconds() - writtenAt) / 1e6;
        EXPECT_EQ(reads, r.reads);
        EXPECT_GE(took, r.minS);
        EXPECT_LE(took, r.maxS);
        if (r.reads == 0) {
            EXPECT_GT(refused, 0u);
        }
    }
}
