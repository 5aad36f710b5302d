// The Map and Modeling tabs offscreen on the simulated ECU, in virtual time:
// what the fitter sees and does there (point labels, held buttons, undo,
// "Compute" placing targets on the model's graph, the map's markers).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>

#include "ecu/InjectionMap.h"
#include "ecu/ModelEditor.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/MapModel.h"
#include "mainwindow/controller/ModelingModel.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "mainwindow/widgets/MapPage.h"
#include "mainwindow/widgets/ModelingPage.h"
#include "mainwindow/widgets/PlotArea.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {
struct TabsOnSim {
    SimSession s;
    std::unique_ptr<FrmKT540> w;
    TabsOnSim() {
        w = std::make_unique<FrmKT540>(*s.session);
        w->show();
        s.Start();
    }
    bool Online() {
        return s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); },
                          30);
    }
    // The window checks the tab it changes to (SstMain_Click).
    void ShowTab(int tab) { w->Tabs()->setCurrentIndex(tab); }
    template <typename T>
    T* Find(const char* name) const {
        return w->findChild<T*>(QString::fromLatin1(name));
    }
    static void Mouse(QWidget* target, QEvent::Type type) {
        const QPointF at(target->width() / 2.0, target->height() / 2.0);
        QMouseEvent e(type, at, target->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                      Qt::NoModifier);
        QApplication::sendEvent(target, &e);
    }
    static QString Style(QWidget* w) { return w->styleSheet(); }
};

bool Yellow(QLabel* l) {
    return l->palette().color(QPalette::Window) == QColor(255, 230, 60);
}

// The steps a hold of `seconds` takes: one with the press, then one after
// each wait of the ladder.
int LadderSteps(double seconds) {
    RepeatLadder ladder;
    int steps = 1;
    for (double t = ladder.Interval(); t <= seconds; ladder.Next(), t += ladder.Interval()) ++steps;
    return steps;
}
}  // namespace

TEST(ModelingTab, LabelsAndBoxesShowWhatTheButtonsMove) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    t.ShowTab(1);
    auto* label2 = t.Find<QLabel>("LblPntMod2");
    auto* label3 = t.Find<QLabel>("LblPntMod3");
    auto* x1 = t.Find<QLineEdit>("TxtXPos1");
    auto* alfa = t.Find<QLineEdit>("TxtALfaPos");
    ASSERT_TRUE(label2 && label3 && x1 && alfa);
    EXPECT_FALSE(Yellow(label2));
    TabsOnSim::Mouse(label2, QEvent::MouseButtonPress);
    EXPECT_TRUE(Yellow(label2));
    EXPECT_FALSE(Yellow(label3));
    EXPECT_TRUE(TabsOnSim::Style(x1).contains("#ffe63c"));
    EXPECT_EQ(t.s.tool().Model().SelectedPoint(), 2);
    // A click on the ALFA box selects the whole line: every label yellow.
    TabsOnSim::Mouse(alfa, QEvent::MouseButtonPress);
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(Yellow(t.Find<QLabel>(qPrintable(QStringLiteral("LblPntMod%1").arg(i))))) << i;
    EXPECT_FALSE(TabsOnSim::Style(x1).contains("#ffe63c"));
    EXPECT_TRUE(TabsOnSim::Style(alfa).contains("#ffe63c"));
    // The tooltip names the point and where it is.
    EXPECT_EQ(label2->toolTip(), QStringLiteral("P2 (8,1 ; 8,1)"));
}

TEST(ModelingTab, AHeldButtonStepsOnTheLadderWhileTheWindowKeepsPollingAndWritesOnce) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    t.ShowTab(1);
    t.s.RunFor(1);
    TabsOnSim::Mouse(t.Find<QLabel>("LblPntMod2"), QEvent::MouseButtonPress);
    auto* up = t.Find<QPushButton>("CmdUp");
    auto* y1 = t.Find<QLineEdit>("TxtYPos1");
    ASSERT_TRUE(up && y1);
    const uint64_t reads = t.s.Sent(CMD_READ_MEM1);
    const uint64_t writes = t.s.Sent(CMD_WRT_TBL_COR);
    // Each step's time: the repeats run on the event layer, so they keep
    // the ladder's pace exactly while the polling goes on.
    std::vector<double> at;
    t.s.tool().Model().OnModelChanged([&] { at.push_back(MicroSeconds() / 1e6); });
    TabsOnSim::Mouse(up, QEvent::MouseButtonPress);
    t.s.RunFor(1.05);
    // While held the window goes on polling, and nothing is written yet.
    EXPECT_GE(t.s.Sent(CMD_READ_MEM1) - reads, 5u);
    EXPECT_EQ(t.s.Sent(CMD_WRT_TBL_COR), writes);
    TabsOnSim::Mouse(up, QEvent::MouseButtonRelease);
    ASSERT_FALSE(at.empty());
    const int steps = static_cast<int>(at.size());
    EXPECT_EQ(steps, LadderSteps(MicroSeconds() / 1e6 - at.front() + 1e-9));
    EXPECT_GE(steps, 12);
    RepeatLadder ladder;
    for (size_t i = 1; i < at.size(); ++i, ladder.Next())
        EXPECT_NEAR(at[i] - at[i - 1], ladder.Interval(), 1e-6) << i;
    const double shift = steps * kModelYStepMs;
    EXPECT_NEAR(t.s.tool().Model().Model().ModYShift[2], shift, 1e-9);
    EXPECT_EQ(y1->text(), QString::number(shift, 'f', 3).replace('.', ','));
    // No step comes after the release; the table is written once.
    t.s.RunFor(5);
    EXPECT_NEAR(t.s.tool().Model().Model().ModYShift[2], shift, 1e-9);
    EXPECT_EQ(t.s.Sent(CMD_WRT_TBL_COR) - writes, 4u);  // one table, four chunks
    EXPECT_EQ(t.s.image().CorTable, t.s.tool().Model().Model().Table());

    // Ctrl+Z takes the whole hold back and writes the table again.
    QShortcut* undo = nullptr;
    for (QShortcut* sc : t.w->findChildren<QShortcut*>())
        if (sc->key() == QKeySequence(QKeySequence::Undo)) undo = sc;
    ASSERT_NE(undo, nullptr);
    emit undo->activated();
    EXPECT_EQ(t.s.tool().Model().Model().ModYShift[2], 0);
    EXPECT_EQ(y1->text(), "0,000");
    t.s.RunFor(5);
    EXPECT_EQ(t.s.Sent(CMD_WRT_TBL_COR) - writes, 8u);
}

TEST(ModelingTab, APointButtonWithoutAPointDoesNothingAndTheWindowClosingEndsAHold) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    t.ShowTab(1);
    auto* page = t.w->findChild<ModelingPage*>();
    ASSERT_NE(page, nullptr);
    const LineModel before = t.s.tool().Model().Model();
    EXPECT_FALSE(page->Model().ButtonDown(EditButton::Up));
    t.s.RunFor(1);
    EXPECT_EQ(t.s.tool().Model().Model(), before);
    // Held while the window goes: the hold ends with it and the edit is
    // still written, as a release would.
    const uint64_t writes = t.s.Sent(CMD_WRT_TBL_COR);
    ASSERT_TRUE(page->Model().ButtonDown(EditButton::OffsetUp));
    t.s.RunFor(0.3);
    t.w.reset();
    EXPECT_FALSE(t.s.tool().Model().Held());
    const double offset = t.s.tool().Model().Model().OFFSET;
    EXPECT_NEAR(offset, 2 * kModelYStepMs, 1e-9);
    t.s.RunFor(5);
    EXPECT_EQ(t.s.tool().Model().Model().OFFSET, offset);
    EXPECT_EQ(t.s.Sent(CMD_WRT_TBL_COR) - writes, 4u);
}

TEST(MapTab, ComputePlacesTargetsOnTheModelsGraphAndClearModelTakesThemAway) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    // Two petrol points at 400 mbar (merged to 3.2 ms), a gas point there
    // at 3.6 ms, and a petrol point at 700 mbar with no gas point.
    MapPoints p;
    p.X_VacmBnz[0] = 400, p.Y_TinjBnz[0] = 3.0;
    p.X_VacmBnz[1] = 400, p.Y_TinjBnz[1] = 3.4;
    p.X_VacmBnz[2] = 700, p.Y_TinjBnz[2] = 6.0;
    p.X_VacmGas[0] = 400, p.Y_TinjGas[0] = 3.6;
    t.s.tool().Map().SetMapped(p);
    t.ShowTab(2);
    auto* compute = t.Find<QPushButton>("CmdMapCompute");
    auto* map = t.w->findChild<MapPage*>();
    ASSERT_TRUE(compute && map);
    // The map step of the next 54-tick slot draws the points and allows "Compute".
    ASSERT_TRUE(t.s.RunUntil([&] { return compute->isEnabled(); }, 2));
    EXPECT_EQ(map->Graph()->LayerPoints(0).size(), 3u);  // petrol as mapped
    EXPECT_EQ(map->Graph()->LayerPoints(1).size(), 1u);  // gas
    EXPECT_EQ(t.Find<QLabel>("LblMapMatches")->text(), "Matches: 1");

    compute->click();
    auto* modeling = t.w->findChild<ModelingPage*>();
    ASSERT_NE(modeling, nullptr);
    const std::vector<QPointF> targets = modeling->Graph()->LayerPoints(2);
    ASSERT_EQ(targets.size(), 1u);
    const double table = t.s.image().CorTable[static_cast<size_t>(std::lround(3.2 / kTableStepMs))];
    EXPECT_NEAR(targets[0].x(), 3.2, 1e-9);
    EXPECT_NEAR(targets[0].y(), table + 3.6, 1e-9);

    t.ShowTab(1);
    t.Find<QPushButton>("CmdShpMapMod")->click();
    EXPECT_TRUE(modeling->Graph()->LayerPoints(2).empty());
}

TEST(MapTab, AutoTuningHoldsReadAndAMapThatCannotBeSavedSaysSo) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    t.ShowTab(2);
    auto* read = t.Find<QPushButton>("CmdMapRead");
    auto* map = t.w->findChild<MapPage*>();
    ASSERT_TRUE(read && map);
    t.s.RunFor(1);
    EXPECT_TRUE(read->isEnabled());
    read->click();
    EXPECT_EQ(t.s.sched().Delays().DelaySamples, 1);  // both fuels in the next slot
    t.s.cycle().SetAutoTuning(true);
    t.s.RunFor(1);
    EXPECT_FALSE(read->isEnabled());
    const double paced = t.s.sched().Delays().DelaySamples;
    map->Model().CmdMapRead_Click();
    EXPECT_EQ(t.s.sched().Delays().DelaySamples, paced);  // auto tuning keeps its own pace

    t.s.prompts.files.push_back(t.s.root + "/no such folder/points.map");
    t.Find<QPushButton>("CmdMapSave")->click();
    ASSERT_FALSE(t.s.prompts.shown.empty());
    EXPECT_TRUE(t.s.prompts.shown.back().text.startsWith("The map file could not be written:"));
}

// "Fit" on the Modeling tab: enabled once "Compute" has placed targets, it
// fits the model to them as one edit, shows the distances before and
// after, writes the table once and is undone as one step.
TEST(ModelingTab, FitIsOneUndoableEditWrittenOnceWithItsDistances) {
    TabsOnSim t;
    ASSERT_TRUE(t.Online());
    t.ShowTab(1);
    auto* fit = t.Find<QPushButton>("CmdFit");
    ASSERT_NE(fit, nullptr);
    EXPECT_EQ(fit->text(), "Fit");
    EXPECT_FALSE(fit->isEnabled()) << "no target yet";

    // Five pressures; on gas the car asks for 0.6 ms more petrol time than
    // on petrol everywhere: the factory table is 0.6 ms too lean.
    MapPoints p;
    for (size_t i = 0; i < 5; ++i) {
        p.X_VacmBnz[i] = p.X_VacmGas[i] = 400 + 100.0 * static_cast<double>(i);
        p.Y_TinjBnz[i] = 3.0 + static_cast<double>(i);
        p.Y_TinjGas[i] = p.Y_TinjBnz[i] + 0.6;
    }
    t.s.tool().Map().SetMapped(p);
    t.ShowTab(2);
    auto* compute = t.Find<QPushButton>("CmdMapCompute");
    ASSERT_TRUE(t.s.RunUntil([&] { return compute->isEnabled(); }, 2));
    compute->click();
    t.ShowTab(1);
    ASSERT_TRUE(fit->isEnabled());

    ModelEditor& editor = t.s.tool().Model();
    const LineModel before = editor.Model();
    const uint64_t writes = t.s.Sent(CMD_WRT_TBL_COR);
    fit->click();
    EXPECT_EQ(editor.Model().ALFA, 1);
    EXPECT_NEAR(editor.Model().OFFSET, 6 * kModelYStepMs, 1e-9);  // 0.624, the nearest step to 0.6
    EXPECT_EQ(editor.UndoSteps(), 1u);
    const QString shown = t.Find<QLabel>("LblFit")->text();
    EXPECT_TRUE(shown.startsWith("Distance to the targets")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("before 0") && shown.contains("600 / 0") &&
                shown.contains("after 0"))
        << shown.toStdString();

    // Written once, after the table's delay.
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.Sent(CMD_WRT_TBL_COR) - writes >= 4; }, 5));
    t.s.RunUntil([] { return false; }, 2);
    EXPECT_EQ(t.s.Sent(CMD_WRT_TBL_COR) - writes, 4u);
    EXPECT_NEAR(t.s.ecu->GasTimeMs(0, 5.0) - 5.0, 0.624, 0.008);

    // One undo takes the whole fit back.
    t.Find<QPushButton>("CmdUndo")->click();
    EXPECT_EQ(editor.Model(), before);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.Sent(CMD_WRT_TBL_COR) - writes >= 8; }, 5));
    EXPECT_NEAR(t.s.ecu->GasTimeMs(0, 5.0) - 5.0, 0, 0.008);

    // In Italian the button and the distances come from the dictionary.
    t.s.ctl().MnuLngT_Click(1);
    EXPECT_EQ(fit->text(), "Adatta");
    EXPECT_TRUE(t.Find<QLabel>("LblFit")->text().startsWith("Distanza dai bersagli"));
}
