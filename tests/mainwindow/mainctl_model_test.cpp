// The main window's hooks for the line model and the injection map, against
// the simulated ECU in virtual time: a saved configuration carries the
// model's table, the Modeling tab reads the ECU's table into the model, and
// the Map tab runs the map step on every 54-tick slot.
#include <gtest/gtest.h>

#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/ModelingModel.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

TEST(MainCtlModel, ASavedConfigurationCarriesTheModelsTableBeforeItIsWritten) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ModelEditor& e = s.tool().Model();
    e.Hold(EditButton::OffsetUp, 5);
    e.SelectPoint(3);
    e.Hold(EditButton::Up, 2);
    ASSERT_GE(s.sched().Delays().DelayWriteCor, 1);  // not written yet
    const QString path = s.root + "/car.var";
    s.prompts.files.push_back(path);
    s.ctl().MnuFileSaveConf_Click();
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    const int cor = lines.indexOf("[COR]");
    ASSERT_GE(cor, 0);
    const CorTableArray model = e.Model().Table();
    for (int k = 0; k < kCorTableSize; ++k)
        ASSERT_EQ(ParseReal(lines.value(cor + 1 + k)).value_or(-1), model[static_cast<size_t>(k)])
            << k;
    EXPECT_EQ(ParseReal(lines.value(cor + 1 + 94)).value_or(-1), 0.52 + 0.208);
}

TEST(MainCtlModel, OnlyAReleaseAfterAPressThatTookHoldSendsTheTable) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ModelEditor& e = s.tool().Model();
    ModelingModel page(s.tool(), s.cycle());
    e.DeselectPoints();
    const struct {
        const char* what;
        std::function<void()> act;
        bool sent;
    } cases[] = {
        {"point button, no point selected", [&] { e.Hold(EditButton::Up, 3); }, false},
        {"the page's press and release, no point selected",
         [&] {
             EXPECT_FALSE(page.ButtonDown(EditButton::Down));
             page.ButtonUp();
         },
         false},
        {"a release without a press", [&] { e.Release(); }, false},
        {"a point moved",
         [&] {
             e.SelectPoint(3);
             e.Hold(EditButton::Up, 1);
         },
         true},
        {"the line moved by the page",
         [&] {
             EXPECT_TRUE(page.ButtonDown(EditButton::OffsetUp));
             page.ButtonUp();
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        s.sched().ForgetWrites();
        c.act();
        EXPECT_EQ(s.sched().Delays().DelayWriteCor >= 1, c.sent);
    }
}

TEST(MainCtlModel, TheModelingTabReadsTheEcusTableIntoTheModel) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ModelEditor& e = s.tool().Model();
    // A model out of step with the ECU (which holds the factory table).
    CorTableArray t = s.image().CorTable;
    t[kCorEntryOffset] = 1.04;
    e.RebuildFromTable(t);
    ASSERT_NE(e.Model().OFFSET, 0);
    e.SelectPoint(2);
    const uint64_t reads = s.Sent(CMD_READ_TBL_COR);
    s.ctl().SstMain_Click(TAB_MODELING);
    EXPECT_EQ(s.Sent(CMD_READ_TBL_COR) - reads, 4u);
    EXPECT_EQ(e.Model().OFFSET, 0);
    EXPECT_EQ(e.SelectedPoint(), -1);  // every point deselected
    // Another tab reads nothing.
    s.ctl().SstMain_Click(TAB_GENERAL);
    EXPECT_EQ(s.Sent(CMD_READ_TBL_COR) - reads, 4u);
}

TEST(MainCtlModel, TheMapTabRunsTheMapStepOnItsSlot) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    int steps = 0, div54Slots = 0;
    s.tool().Map().OnStepped([&](const MapStepResult& r) {
        ++steps;
        EXPECT_FALSE(r.targetsPlaced);  // the slot's step does not compute
    });
    s.cycle().OnSlot(Slot::Div54, [&] { ++div54Slots; });
    s.ctl().SstMain_Click(TAB_GENERAL);
    ASSERT_TRUE(s.RunUntil([&] { return div54Slots >= 2; }, 30));
    EXPECT_EQ(steps, 0);
    s.ctl().SstMain_Click(TAB_MAP);
    div54Slots = 0;
    ASSERT_TRUE(s.RunUntil([&] { return div54Slots >= 3; }, 30));
    EXPECT_EQ(steps, div54Slots);
}
