// The Calibration tab's model on the simulated car, in virtual time, with
// the simulated fitter doing what the tab says: what the tab shows step by
// step (step label, message, progress, buttons, the two-point option,
// blinking boxes, the convergence plot), the abort question, the texts of
// both languages, and a window closing in the middle of a calibration.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <set>

#include "mainwindow/controller/CalibrationModel.h"
#include "sim/core/SimFitter.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

struct CalTab {
    SimSession s;
    sim::SimFitter fitter;
    CalibrationModel& m;
    bool follow = true;
    QStringList stepTexts;  // distinct LblCalStep texts, in order
    int progressDrops = 0;  // the bar going back while a run goes on
    int lastProgress = 0;
    std::vector<bool> cursor;  // waitCursor signals

    explicit CalTab(sim::SimOptions o = SimSession::DefaultOptions())
        : s(o), fitter(s.ecu), m(s.session->CalModel()) {
        QObject::connect(&m, &CalibrationModel::changed, [this] {
            // The fitter reads the tab after every change.
            if (follow)
                fitter.Follow(static_cast<sim::FitterTask>(m.Cal().Instruction()),
                              m.Cal().RaisedTargetRpm());
            if (!m.StepText().isEmpty() &&
                (stepTexts.isEmpty() || stepTexts.last() != m.StepText()))
                stepTexts << m.StepText();
            if (m.Running() && m.Progress() < lastProgress && m.Progress() != 0) ++progressDrops;
            lastProgress = m.Progress();
        });
        QObject::connect(&m, &CalibrationModel::waitCursor,
                         [this](bool on) { cursor.push_back(on); });
    }
    Calibration& cal() { return m.Cal(); }
    bool RunToState(CalState st, double s_ = 600) {
        return s.RunUntil([&] { return cal().State() == st; }, s_);
    }
    bool RunToEnd() {
        return s.RunUntil(
            [&] {
                return cal().State() == CalState::End || cal().State() == CalState::EndWithLimit;
            },
            900);
    }
    QString T(CalText t) const { return m.Text(t); }
};

}  // namespace

TEST(CalibrationTab, AWholeCalibrationAsTheTabShowsIt) {
    CalTab t;
    ASSERT_TRUE(t.s.StartAndGoOnline());
    // Before "Yes": the idle message, no step, only "Yes", the option free.
    EXPECT_EQ(t.m.Message(), t.T(CalText::MsgIdle));
    EXPECT_TRUE(t.m.StepText().isEmpty());
    EXPECT_EQ(t.m.Progress(), 0);
    EXPECT_TRUE(t.m.StartEnabled());
    EXPECT_FALSE(t.m.CancelEnabled());
    EXPECT_TRUE(t.m.TwoPointEnabled());
    EXPECT_EQ(t.m.RpmColour(), BlinkColour::Normal);
    EXPECT_EQ(t.m.TempColour(), BlinkColour::Normal);

    t.m.CmdCalStart_Click();
    EXPECT_FALSE(t.m.StartEnabled());
    EXPECT_TRUE(t.m.CancelEnabled());
    // The option stays as it was chosen for the whole run.
    EXPECT_FALSE(t.m.TwoPointEnabled());
    t.m.SetTwoPoint(true);
    EXPECT_FALSE(t.m.TwoPoint());

    // Step 02 under way: the plot has a point per cycle, on its own scale.
    ASSERT_TRUE(t.s.RunUntil([&] { return t.cal().Step() == 2 && t.cal().CalCycles() >= 2; }, 300));
    EXPECT_TRUE(t.m.StepText().endsWith(QStringLiteral("\n02")));
    EXPECT_TRUE(t.m.Progress() > 22 && t.m.Progress() < 66) << t.m.Progress();
    {
        const CalibrationModel::Plot p = t.m.PlotData();
        ASSERT_EQ(p.offset.size(), t.cal().Cycles().size());
        ASSERT_EQ(p.difference.size(), p.offset.size());
        for (size_t i = 0; i < p.offset.size(); ++i) {
            const CalCycle& c = t.cal().Cycles()[i];
            EXPECT_EQ(p.offset[i], QPointF(static_cast<double>(i + 1), c.offsetBefore));
            EXPECT_EQ(p.difference[i], QPointF(static_cast<double>(i + 1), c.Difference()));
            EXPECT_GE(c.offsetBefore, p.yMin);
            EXPECT_LE(c.offsetBefore, p.yMax);
            EXPECT_GE(c.Difference(), p.yMin);
            EXPECT_LE(c.Difference(), p.yMax);
        }
        EXPECT_GE(p.xMax, 10);
        EXPECT_GT(p.xMax, static_cast<double>(p.offset.size()));
        EXPECT_NEAR(std::remainder(p.yMin, 0.2), 0, 1e-9);
        EXPECT_NEAR(std::remainder(p.yMax, 0.2), 0, 1e-9);
    }

    ASSERT_TRUE(t.RunToEnd()) << t.m.Message().toStdString();
    const QString title = t.T(CalText::Title);
    EXPECT_EQ(t.stepTexts,
              (QStringList{title + "\n00", title + "\n01", title + "\n02", title + "\n03"}));
    EXPECT_EQ(t.progressDrops, 0);
    // The result: no step, a full bar, the result text, both buttons.
    EXPECT_TRUE(t.m.StepText().isEmpty());
    EXPECT_EQ(t.m.Progress(), 100);
    EXPECT_EQ(t.m.Message(), t.cal().ResultText());
    EXPECT_TRUE(t.m.Message().contains(QStringLiteral("OFFSET"))) << t.m.Message().toStdString();
    EXPECT_TRUE(t.m.StartEnabled());
    EXPECT_TRUE(t.m.CancelEnabled());
    EXPECT_EQ(t.m.PlotData().offset.size(), t.cal().Cycles().size());

    // Accept a limit first where one was applied; then "Yes" switches to
    // gas under the wait cursor and the tab is idle again.
    if (t.cal().State() == CalState::EndWithLimit) t.m.CmdCalStart_Click();
    ASSERT_EQ(t.cal().State(), CalState::End);
    t.m.CmdCalStart_Click();
    // The click only asks; the switch and its 4 s run on the calibration's
    // ticks, under the wait cursor.
    EXPECT_EQ(t.cursor, (std::vector<bool>{true}));
    ASSERT_TRUE(t.s.RunUntil([&] { return !t.m.Running(); }, 30));
    EXPECT_EQ(t.cursor, (std::vector<bool>{true, false}));
    t.s.RunFor(1);
    EXPECT_TRUE(t.s.ecu->OnGas());
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(t.m.Message(), t.T(CalText::MsgIdle));
    EXPECT_TRUE(t.m.StartEnabled());
    EXPECT_FALSE(t.m.CancelEnabled());
    EXPECT_TRUE(t.m.TwoPointEnabled());
    // The plot keeps the finished run until the next "Yes".
    EXPECT_FALSE(t.m.PlotData().offset.empty());
}

TEST(CalibrationTab, EscAsksFirstYesResumesEscAtTheQuestionPutsEverythingBack) {
    CalTab t;
    ASSERT_TRUE(t.s.StartAndGoOnline());
    const auto tableBefore = t.s.ecu->Working().table;
    const LineModel modelBefore = t.s.session->Ecu().Model().Model();
    t.m.CmdCalStart_Click();
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.cal().State() == CalState::TaraMax && t.cal().CalCycles() >= 1; }, 300));
    const int cycles = t.cal().CalCycles();
    t.m.CmdCalCancel_Click();
    EXPECT_EQ(t.m.Message(), t.T(CalText::MsgQuestion));
    EXPECT_TRUE(t.m.StartEnabled());
    EXPECT_TRUE(t.m.CancelEnabled());
    // The question holds the calibration where it is.
    t.s.RunFor(5);
    EXPECT_EQ(t.cal().State(), CalState::AbortQuestion);
    EXPECT_EQ(t.cal().CalCycles(), cycles);
    t.m.CmdCalStart_Click();
    EXPECT_NE(t.cal().State(), CalState::AbortQuestion);
    EXPECT_FALSE(t.m.StartEnabled());
    ASSERT_TRUE(t.s.RunUntil([&] { return t.cal().CalCycles() > cycles; }, 60));

    t.m.CmdCalCancel_Click();
    t.m.CmdCalCancel_Click();
    EXPECT_FALSE(t.m.StartEnabled());
    EXPECT_FALSE(t.m.CancelEnabled());
    bool sawAborted = false;
    ASSERT_TRUE(t.s.RunUntil(
        [&] {
            sawAborted |= t.m.Message().startsWith(t.T(CalText::MsgAborted));
            return !t.m.Running();
        },
        60));
    t.s.RunFor(1);
    EXPECT_TRUE(sawAborted);
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(t.s.ecu->Working().table, tableBefore);
    EXPECT_EQ(t.s.session->Ecu().Model().Model(), modelBefore);
    EXPECT_TRUE(t.m.StartEnabled());
    EXPECT_EQ(t.m.Progress(), 0);
}

// TxtRpm blinks while the raised speed is not reached, TxtTmpVap(1) while
// the reducer is cold; each toggles yellow and black on every tick and the
// message says how far off the value is.
TEST(CalibrationTab, OutOfRangeBoxesBlinkAndTheMessageSaysHowFarOff) {
    {
        CalTab t;
        t.follow = false;  // the fitter never raises the speed
        ASSERT_TRUE(t.s.StartAndGoOnline());
        t.m.CmdCalStart_Click();
        ASSERT_TRUE(t.RunToState(CalState::RaisedWait, 120));
        std::set<BlinkColour> seen;
        BlinkColour last = t.m.RpmColour();
        int toggles = 0;
        for (int i = 0; i < 8; ++i) {
            t.s.RunFor(0.25);
            seen.insert(t.m.RpmColour());
            toggles += t.m.RpmColour() != last;
            last = t.m.RpmColour();
            EXPECT_EQ(t.m.TempColour(), BlinkColour::Normal);
        }
        EXPECT_EQ(seen, (std::set<BlinkColour>{BlinkColour::Yellow, BlinkColour::Black}));
        EXPECT_GE(toggles, 6);
        EXPECT_TRUE(t.m.Message().contains(QStringLiteral(" < 1980")))
            << t.m.Message().toStdString();
        EXPECT_EQ(t.cal().State(), CalState::RaisedWait);
    }
    {
        sim::SimOptions cold = SimSession::DefaultOptions();
        cold.warm = false;
        CalTab t(cold);
        ASSERT_TRUE(t.s.StartAndGoOnline());
        t.m.CmdCalStart_Click();
        ASSERT_TRUE(t.RunToState(CalState::WaitGasTemp, 30));
        t.s.RunFor(1);
        std::set<BlinkColour> seen;
        for (int i = 0; i < 4; ++i) {
            t.s.RunFor(0.25);
            seen.insert(t.m.TempColour());
            EXPECT_EQ(t.m.RpmColour(), BlinkColour::Normal);
        }
        EXPECT_EQ(seen, (std::set<BlinkColour>{BlinkColour::Yellow, BlinkColour::Black}));
        EXPECT_TRUE(
            t.m.Message().contains(QRegularExpression(QStringLiteral("\n-?\\d+,\\d\\d < 50,00$"))))
            << t.m.Message().toStdString();
    }
}

// The texts are the dictionary's "[FrmCal]" section (entries 500 on), in
// English the same as the code's own, in Italian with the same
// placeholders; a language switch shows the idle message in the new one.
TEST(CalibrationTab, TextsComeFromTheDictionaryInEnglishAndItalian) {
    CalTab t;
    ClsLingue& lingue = t.s.lingue();
    ASSERT_GE(lingue.UboundLingue(), 1);
    for (int lang = 0; lang <= 1; ++lang) {
        EXPECT_EQ(lingue.VoceDizionario(lang, 500), QStringLiteral("[FrmCal]"));
        for (int k = 0; k < static_cast<int>(CalText::Count); ++k)
            EXPECT_NE(lingue.VoceDizionario(lang, 501 + k), QStringLiteral("-"))
                << lang << " " << k;
    }
    EXPECT_EQ(t.cal().Texts(), Calibration::EnglishTexts());
    const QRegularExpression placeholder(QStringLiteral("%\\d"));
    const auto marks = [&](const QString& s) {
        QStringList out;
        for (auto it = placeholder.globalMatch(s); it.hasNext();) out << it.next().captured();
        out.sort();
        return out;
    };
    t.s.ctl().MnuLngT_Click(1);
    const QStringList& it = t.cal().Texts();
    ASSERT_EQ(it.size(), static_cast<int>(CalText::Count));
    int differ = 0;
    for (int k = 0; k < it.size(); ++k) {
        EXPECT_EQ(marks(it[k]), marks(Calibration::EnglishTexts()[k])) << k;
        differ += it[k] != Calibration::EnglishTexts()[k];
    }
    EXPECT_GT(differ, 30);
    EXPECT_EQ(t.m.Message(), it[static_cast<int>(CalText::MsgIdle)]);
    EXPECT_TRUE(t.m.Message().startsWith(QStringLiteral("Avviare il motore")));
    EXPECT_EQ(t.m.Text(CalText::CmdYes), QString::fromLatin1("S\xec"));
    ASSERT_TRUE(t.s.StartAndGoOnline());
    t.m.CmdCalStart_Click();
    ASSERT_TRUE(t.s.RunUntil([&] { return t.cal().Step() == 1; }, 60));
    EXPECT_EQ(t.m.StepText(), QStringLiteral("Taratura automatica\n01"));
    t.s.ctl().MnuLngT_Click(0);
    // Mid-run the message of the step stays; the next tick says it in English.
    t.s.RunFor(0.5);
    EXPECT_TRUE(t.m.StepText().startsWith(QStringLiteral("Automatic calibration\n")));
    EXPECT_TRUE(t.m.Message().startsWith(QStringLiteral("Step 0"))) << t.m.Message().toStdString();
}

// The window closing in the middle of a calibration has it aborted first,
// on its own ticks, with the full restore, while the link still runs: the
// car is not left in slave mode or on a moved table.
TEST(CalibrationTab, ClosingTheWindowMidCalibrationPutsEverythingBack) {
    CalTab t;
    ASSERT_TRUE(t.s.StartAndGoOnline());
    const auto tableBefore = t.s.ecu->Working().table;
    const auto mem3Before = t.s.ecu->Working().Mem3Config();
    t.m.CmdCalStart_Click();
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.cal().State() == CalState::TaraMax && t.cal().CalCycles() >= 2; }, 300));
    ASSERT_NE(t.s.ecu->Working().table, tableBefore);
    ASSERT_EQ(t.s.ecu->Mode(), sim::EcuMode::Slave);
    const double askedUs = MicroSeconds();
    t.s.ctl().Form_QueryUnload();
    // The link stays for the abort.
    EXPECT_NE(t.s.comm().ComState(), ComState::Stopped);
    EXPECT_EQ(t.cal().State(), CalState::Abort);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.ctl().Unloaded(); }, 20));
    // A few ticks, not the exchange's retries.
    EXPECT_LT(MicroSeconds() - askedUs, 5e6);
    EXPECT_EQ(t.cal().State(), CalState::Idle);
    EXPECT_FALSE(t.m.Running());
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(t.s.ecu->Working().table, tableBefore);
    EXPECT_EQ(t.s.ecu->Working().Mem3Config(), mem3Before);
    EXPECT_EQ(t.s.comm().ComState(), ComState::Stopped);
}

// At the result (state 20) a close keeps the calibration and gives the ECU
// back its running mode.
TEST(CalibrationTab, ClosingAtTheResultKeepsIt) {
    CalTab t;
    ASSERT_TRUE(t.s.StartAndGoOnline());
    t.m.CmdCalStart_Click();
    ASSERT_TRUE(t.RunToEnd());
    if (t.cal().State() == CalState::EndWithLimit) t.m.CmdCalStart_Click();
    ASSERT_EQ(t.cal().State(), CalState::End);
    t.s.RunFor(1);
    const auto table = t.s.ecu->Working().table;
    t.s.ctl().Form_QueryUnload();
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.ctl().Unloaded(); }, 20));
    EXPECT_EQ(t.s.ecu->Working().table, table);
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_FALSE(t.m.Running());
}

// A calibration that ends with its result kept offers to store it in the
// ECU's flash: Yes stores the calibrated table, No leaves the flash as it was
// (the ECU's next reset would lose the result). An aborted one asks nothing.
TEST(CalibrationTab, TheKeptResultIsOfferedForTheEcusFlash) {
    for (const BoxResult answer : {BoxResult::Yes, BoxResult::No}) {
        SCOPED_TRACE(answer == BoxResult::Yes ? "Yes" : "No");
        CalTab t;
        ASSERT_TRUE(t.s.StartAndGoOnline());
        const auto flashBefore = t.s.ecu->Saved().table;
        t.m.CmdCalStart_Click();
        ASSERT_TRUE(t.RunToEnd()) << t.m.Message().toStdString();
        if (t.cal().State() == CalState::EndWithLimit) t.m.CmdCalStart_Click();
        const size_t shown = t.s.prompts.shown.size();
        t.s.prompts.answers.push_back(answer);
        t.m.CmdCalStart_Click();
        ASSERT_TRUE(t.s.RunUntil([&] { return !t.m.Running(); }, 30));
        t.s.RunFor(3);
        ASSERT_EQ(t.s.prompts.shown.size(), shown + 1);
        EXPECT_TRUE(t.s.prompts.shown.back().text.contains(QStringLiteral("Store it")))
            << t.s.prompts.shown.back().text.toStdString();
        ASSERT_NE(t.s.ecu->Working().table, flashBefore);  // the calibration moved the table
        if (answer == BoxResult::Yes) {
            EXPECT_EQ(t.s.ecu->Saved().table, t.s.ecu->Working().table);
            EXPECT_FALSE(t.s.ctl().Unstored());
        } else {
            EXPECT_EQ(t.s.ecu->Saved().table, flashBefore);
            EXPECT_TRUE(t.s.ctl().Unstored());
        }
    }
    // Aborted: everything is put back and nothing is offered.
    CalTab t;
    ASSERT_TRUE(t.s.StartAndGoOnline());
    t.m.CmdCalStart_Click();
    ASSERT_TRUE(t.s.RunUntil([&] { return t.cal().Step() == 2; }, 300));
    t.m.CmdCalCancel_Click();
    t.m.CmdCalCancel_Click();
    ASSERT_TRUE(t.s.RunUntil([&] { return !t.m.Running(); }, 120));
    const size_t shown = t.s.prompts.shown.size();
    t.s.RunFor(3);
    EXPECT_EQ(t.s.prompts.shown.size(), shown);
}
