// The window and the ECU's flash, against the simulated ECU in virtual time:
// an edit is shown as not stored until "Store in ECU" stores it, closing and
// going offline ask first; and a configuration loaded offline is offered to
// the ECU when it is back instead of being dropped.
#include <gtest/gtest.h>

#include <cmath>

#include "common/Prompts.h"
#include "data/core/ParamFile.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/CalibrationModel.h"
#include "sim/core/SimFitter.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// The switchover temperature changed from the settings list to 50 °C; true
// once the ECU holds it in its working memory.
bool EditSwitchTemp(SimSession& s) {
    const EntryList& l = s.settings().Lists().temp;
    for (size_t i = 0; i < l.size(); ++i) {
        if (std::abs(l[i].value - 50) > 1e-9) continue;
        s.settings().CmbSwtchTemp_Click(static_cast<int>(i));
        return s.RunUntil([&] { return s.ecu->Working().SwitchTempC() == 50; }, 10);
    }
    return false;
}

}  // namespace

TEST(MainCtlStore, AnEditIsNotStoredUntilStoreInEcu) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    EXPECT_EQ(s.ctl().ConfigStateText(), QString());
    ASSERT_TRUE(EditSwitchTemp(s));
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unstored(); }, 2));
    EXPECT_EQ(s.ctl().ConfigStateText(), "Not stored in ECU");
    EXPECT_NE(s.ecu->Saved().SwitchTempC(), 50);
    s.ctl().MnuFileStore_Click();
    ASSERT_TRUE(s.RunUntil([&] { return !s.ctl().Unstored(); }, 5));
    EXPECT_EQ(s.ecu->Saved().SwitchTempC(), 50);
    EXPECT_EQ(s.ctl().ConfigStateText(), QString());
    // A new edit, then an ECU reset: the change is lost, and the window no
    // longer claims it holds one once block 3 is read again.
    const EntryList& l = s.settings().Lists().temp;
    for (size_t i = 0; i < l.size(); ++i)
        if (std::abs(l[i].value - 40) < 1e-9) s.settings().CmbSwtchTemp_Click(static_cast<int>(i));
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unstored(); }, 10));
    s.ecu->Reset(s.ev.MicroSeconds());
    EXPECT_TRUE(s.RunUntil([&] { return !s.ctl().Unstored(); }, 30));
    EXPECT_EQ(s.ecu->Working().SwitchTempC(), 50);
}

TEST(MainCtlStore, ClosingOrGoingOfflineAsksWhileChangesAreNotStored) {
    for (const bool offline : {false, true}) {
        for (const BoxResult answer : {BoxResult::Yes, BoxResult::No}) {
            SCOPED_TRACE(std::string(offline ? "offline" : "close") +
                         (answer == BoxResult::Yes ? " Yes" : " No"));
            SimSession s;
            ASSERT_TRUE(s.StartAndGoOnline());
            ASSERT_TRUE(EditSwitchTemp(s));
            ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unstored(); }, 2));
            s.prompts.answers.push_back(answer);
            const size_t shown = s.prompts.shown.size();
            if (offline)
                s.ctl().MnuDevOffline_Click();
            else
                s.ctl().Form_QueryUnload();
            ASSERT_EQ(s.prompts.shown.size(), shown + 1);
            EXPECT_TRUE(s.prompts.shown.back().text.contains("not stored"));
            if (offline)
                ASSERT_TRUE(
                    s.RunUntil([&] { return s.comm().ComState() == ComState::Stopped; }, 10));
            else
                ASSERT_TRUE(s.RunUntil([&] { return s.cycle().Closed(); }, 10));
            EXPECT_EQ(s.ecu->Saved().SwitchTempC() == 50, answer == BoxResult::Yes);
        }
    }
    // Nothing to store: no question.
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const size_t shown = s.prompts.shown.size();
    s.ctl().Form_QueryUnload();
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().Closed(); }, 10));
    EXPECT_EQ(s.prompts.shown.size(), shown);
}

TEST(MainCtlStore, AFileLoadedOfflineIsOfferedToTheEcuWhenItIsBack) {
    for (const BoxResult answer : {BoxResult::Yes, BoxResult::No}) {
        SCOPED_TRACE(answer == BoxResult::Yes ? "Yes" : "No");
        SimSession s(SimSession::DefaultOptions(), /*withFeatures=*/true);
        ASSERT_TRUE(s.StartAndGoOnline());
        ParamImage file = s.image();
        file.SetHost(nullptr);
        file.Mem3Block.SwitchRpm = 1800;
        const QString path = s.root + "/car.var";
        ASSERT_TRUE(SaveParamFile(path, file, SimSession::ShippedVersionNum(), "test"));
        const double ecuRpm = s.ecu->Working().SwitchRpm();
        ASSERT_GT(std::abs(ecuRpm - 1800), 10);

        s.ctl().MnuDevOffline_Click();
        ASSERT_TRUE(s.RunUntil([&] { return s.comm().ComState() == ComState::Stopped; }, 2));
        s.prompts.files.push_back(path);
        s.ctl().MnuFileLoadConf_Click();
        s.RunFor(0.5);
        EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 1800, 2);
        EXPECT_EQ(s.cycle().OfflineFile(), path);
        EXPECT_EQ(s.ctl().ConfigStateText(), "Values of the file, not of the ECU");

        s.prompts.answers.push_back(answer);
        const size_t shown = s.prompts.shown.size();
        s.ctl().MnuDevSearch_Click();
        ASSERT_TRUE(s.RunUntil([&] { return s.prompts.shown.size() > shown; }, 60));
        EXPECT_TRUE(s.prompts.shown.back().text.contains("loaded while offline"))
            << s.prompts.shown.back().text.toStdString();
        EXPECT_TRUE(s.cycle().OfflineFile().isEmpty());
        if (answer == BoxResult::Yes) {
            ASSERT_TRUE(
                s.RunUntil([&] { return std::abs(s.ecu->Saved().SwitchRpm() - 1800) < 2; }, 60));
        } else {
            s.RunFor(5);
            EXPECT_NEAR(s.ecu->Working().SwitchRpm(), ecuRpm, 2);
            EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, ecuRpm, 2);
        }
        EXPECT_EQ(s.ctl().ConfigStateText(), QString());
    }
}

// A close asked for again while the store answered with Yes has not been
// carried out (the link may be gone) closes at once: the window can always
// be closed.
TEST(MainCtlStore, ASecondCloseDoesNotWaitForTheStore) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(EditSwitchTemp(s));
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unstored(); }, 2));
    s.prompts.answers.push_back(BoxResult::Yes);
    s.ctl().Form_QueryUnload();
    // The ECU goes silent before the store is sent: the link reconnects for
    // ever and the store waits for an ECU that does not come back.
    s.ecu->Failures().deaf = 1.0;
    s.comm().Reopen();
    s.RunFor(2);
    ASSERT_TRUE(s.sched().Pending(Request::SaveFlash));
    EXPECT_FALSE(s.cycle().Closed());
    s.ctl().Form_QueryUnload();
    EXPECT_TRUE(s.RunUntil([&] { return s.cycle().Closed(); }, 10));
    EXPECT_NE(s.ecu->Saved().SwitchTempC(), 50);
}

// Closing in the middle of an automatic calibration aborts it and puts the
// ECU back: nothing is asked and the table it was moving is never stored.
TEST(MainCtlStore, ClosingMidCalibrationStoresNothing) {
    SimSession s;
    sim::SimFitter fitter(s.ecu);
    CalibrationModel& m = s.session->CalModel();
    QObject::connect(&m, &CalibrationModel::changed, [&] {
        fitter.Follow(static_cast<sim::FitterTask>(m.Cal().Instruction()),
                      m.Cal().RaisedTargetRpm());
    });
    ASSERT_TRUE(s.StartAndGoOnline());
    const auto saved = s.ecu->Saved().table;
    m.CmdCalStart_Click();
    ASSERT_TRUE(
        s.RunUntil([&] { return s.ecu->Working().table != saved && s.ctl().Unstored(); }, 300));
    s.prompts.answers.push_back(BoxResult::Yes);
    const size_t shown = s.prompts.shown.size();
    s.ctl().MnuFileStore_Click();
    s.ctl().Form_QueryUnload();
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unloaded(); }, 30));
    for (size_t i = shown; i < s.prompts.shown.size(); ++i)
        EXPECT_FALSE(s.prompts.shown[i].text.contains("not stored"))
            << s.prompts.shown[i].text.toStdString();
    EXPECT_EQ(s.ecu->Saved().table, saved);
}
