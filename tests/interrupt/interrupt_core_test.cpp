// The interruption harness: case names, the enumeration of the cases, and a
// sample of the cases of every workflow (at least one per interruption),
// each of which must end without a violation.
#include <gtest/gtest.h>

#include <functional>

#include "CaseChecks.h"
#include "InterruptCase.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {
namespace {

TEST(InterruptCaseId, ReadsBackWhatItWrites) {
    const struct {
        const char* text;
        PointKind kind;
        int index;
        Interruption what;
    } rows[] = {
        {"calibration/r1/esc", PointKind::Request, 1, Interruption::Esc},
        {"calibration/a17/cable-15s", PointKind::Answer, 17, Interruption::Cable15s},
        {"load-offline/s3/ecu-reset", PointKind::Step, 3, Interruption::EcuReset},
        {"upgrade/r120/status-255", PointKind::Request, 120, Interruption::Status255},
    };
    for (const auto& row : rows) {
        const std::optional<CaseId> id = CaseId::Parse(QString::fromLatin1(row.text));
        ASSERT_TRUE(id) << row.text;
        EXPECT_EQ(id->kind, row.kind) << row.text;
        EXPECT_EQ(id->index, row.index) << row.text;
        EXPECT_EQ(id->what, row.what) << row.text;
        EXPECT_EQ(id->Text(), QString::fromLatin1(row.text));
    }
}

TEST(InterruptCaseId, RefusesWhatNamesNoCase) {
    for (const char* text :
         {"calibration/r0/esc", "calibration/x3/esc", "calibration/r3/unplug",
          "calibration/a3/corrupt", "calibration/s3/status-254", "calibration/r3"})
        EXPECT_FALSE(CaseId::Parse(QString::fromLatin1(text))) << text;
}

TEST(InterruptEnumeration, EveryInterruptionAtEveryPoint) {
    const std::vector<CaseId> cases = EnumerateCases(QStringLiteral("w"), {3, 2});
    // Per exchange: every interruption at the request, the seven that are
    // not answer faults after the answer; per step boundary the seven.
    EXPECT_EQ(cases.size(), 3u * (11 + 7) + 2u * 7);
    int answerFaultsAtAnswers = 0;
    for (const CaseId& c : cases)
        answerFaultsAtAnswers += IsAnswerFault(c.what) && c.kind != PointKind::Request;
    EXPECT_EQ(answerFaultsAtAnswers, 0);
    // Every name is one that replays.
    for (const CaseId& c : cases) EXPECT_EQ(CaseId::Parse(c.Text()), c) << qPrintable(c.Text());
}

TEST(InterruptEnumeration, AStrideKeepsTheFirstAndTheLastPoint) {
    const std::vector<CaseId> cases = EnumerateCases(QStringLiteral("w"), {10, 0}, 4);
    std::vector<int> points;
    for (const CaseId& c : cases)
        if (c.what == Interruption::Esc && c.kind == PointKind::Request) points.push_back(c.index);
    EXPECT_EQ(points, (std::vector<int>{1, 5, 9, 10}));
}

// The sample of each workflow: every interruption early in the run, the
// physical ones after an answer in the middle and at a step boundary.
// `instead` names cases (separated by commas) that take the place of the
// same interruptions at the request: where every request of the run meets a
// known finding, or where the request is the store in flash, whose lost
// answer the link waits for for hours of virtual time.
struct Sample {
    const char* workflow;
    int request, answer, step;
    const char* instead = nullptr;
};
constexpr Sample kSamples[] = {
    {"calibration", 3, 640, 12},                                                 //
    {"upgrade", 9, 120, 12},                                                     //
    {"fuel-switch", 2, 40, 0},                                                   //
    {"set", 2, 5, 0},                                                            //
    {"table-write", 5, 10, 0},                                                   //
    {"error-clear", 1, 1, 0},                                                    //
    {"injector-mode", 2, 6, 0},                                                  //
    {"save", 1, 1, 0, "save/a1/cable-1s,save/a1/cable-15s,save/a1/cable-gone"},  //
    {"load", 2, 12, 0, "load/a12/ecu-reset"},
    {"load-offline", 10, 10, 0},  //
    {"load-gas", 2, 2, 0},        //
    {"set-cli", 2, 5, 0},         //
    {"table-write-cli", 3, 12, 0},
    {"save-cli", 1, 2, 0},         //
    {"load-cli", 3, 8, 0},         //
    {"load-gas-cli", 3, 8, 0},     //
    {"error-clear-cli", 2, 2, 0},  //
    {"fuel-switch-cli", 2, 4, 0},  //
};

TEST(InterruptCore, EveryWorkflowHasASample) {
    for (const Workflow& w : Workflows()) {
        bool sampled = false;
        for (const Sample& s : kSamples) sampled |= w.name == QLatin1String(s.workflow);
        EXPECT_TRUE(sampled) << qPrintable(w.name);
    }
}

TEST(InterruptCore, ASampleOfEveryWorkflowEndsWithoutViolation) {
    int cases = 0;
    for (const Sample& s : kSamples) {
        const Workflow* w = FindWorkflow(QString::fromLatin1(s.workflow));
        ASSERT_TRUE(w) << s.workflow;
        std::vector<CaseId> instead;
        if (s.instead)
            for (const QString& text : QString::fromLatin1(s.instead).split(QLatin1Char(','))) {
                const std::optional<CaseId> id = CaseId::Parse(text);
                ASSERT_TRUE(id) << qPrintable(text);
                instead.push_back(*id);
            }
        for (Interruption i : AllInterruptions()) {
            std::vector<CaseId> ids{{w->name, PointKind::Request, s.request, i}};
            for (const CaseId& id : instead)
                if (id.what == i) ids.front() = id;
            if (!IsAnswerFault(i)) {
                ids.push_back({w->name, PointKind::Answer, s.answer, i});
                if (s.step > 0)
                    ids.push_back({w->name, PointKind::Step, s.step, i});  // 0: no steps
            }
            for (const CaseId& id : ids) {
                const CaseResult r = w->run(id);
                ++cases;
                EXPECT_TRUE(r.injected) << qPrintable(id.Text());
                EXPECT_TRUE(r.violations.isEmpty())
                    << qPrintable(id.Text()) << " (" << qPrintable(r.outcome)
                    << "): " << qPrintable(r.violations.join(QStringLiteral("; ")));
            }
        }
    }
    int expected = 0;
    for (const Sample& s : kSamples) expected += 11 + 7 + (s.step > 0 ? 7 : 0);
    EXPECT_EQ(cases, expected);
}

}  // namespace
}  // namespace gascal::interrupt

namespace gascal::interrupt {
namespace {

// The cable pulled as the calibration ends (after "Yes" switched the car to
// gas) and back within 1 or 15 s: the idle state's return to running mode
// keeps trying until the link is back, so the car is not left in slave mode.
TEST(InterruptFaults, CalibrationGivesBackRunningModeWhenTheCableComesBackAtItsEnd) {
    const Workflow* w = FindWorkflow(QStringLiteral("calibration"));
    ASSERT_TRUE(w);
    const RunShape shape = w->shape();
    ASSERT_GT(shape.steps, 1);
    for (Interruption i : {Interruption::Cable1s, Interruption::Cable15s}) {
        const CaseId id{w->name, PointKind::Step, shape.steps, i};  // the return to state 0
        const CaseResult r = w->run(id);
        EXPECT_TRUE(r.injected) << qPrintable(id.Text());
        EXPECT_EQ(r.outcome, QStringLiteral("completed")) << qPrintable(id.Text());
        EXPECT_TRUE(r.violations.isEmpty())
            << qPrintable(id.Text()) << ": " << qPrintable(r.violations.join(QStringLiteral("; ")));
    }
}

}  // namespace
}  // namespace gascal::interrupt

namespace gascal::interrupt {
namespace {

// The checks over the ECU's memory: which change is a violation of which
// invariant, and which is the ECU's own doing.
TEST(InterruptChecks, TellTheEcusOwnChangesFromTheToolsFaults) {
    CarSnapshot before;
    before.working.mem3[sim::mem3::SwitchTemp] = 40;
    before.working.table[10] = 7;
    before.saved = before.working;
    const struct {
        const char* what;
        std::function<void(CarSnapshot&)> change;
        Part part;
        const char* expected;  // the start of the violation, "" for none
    } rows[] = {
        {"nothing changed", [](CarSnapshot&) {}, Part::Block3, ""},
        {"block 3 changed", [](CarSnapshot& s) { s.working.mem3[sim::mem3::SwitchTemp] = 41; },
         Part::Block3, "invariant 1: block 3 changed"},
        {"the hour counters count", [](CarSnapshot& s) { s.working.mem2[sim::mem2::Hours1] = 9; },
         Part::Block2Config, ""},
        {"the fuel asked for changed",
         [](CarSnapshot& s) { s.working.mem2[sim::mem2::WorkMode] = 3; }, Part::Block2Config,
         "invariant 1: block 2 changed"},
        {"the ECU saved its hour counters",
         [](CarSnapshot& s) { s.saved.mem2[sim::mem2::Hours2] = 1; }, Part::SavedFlash, ""},
        {"the saved table changed", [](CarSnapshot& s) { s.saved.table[3] = 1; }, Part::SavedFlash,
         "invariant 1: the saved configuration changed"},
        {"the test data changed", [](CarSnapshot& s) { s.working.dcol[0] ^= 1; }, Part::TestData,
         "invariant 1: the test data changed"},
    };
    for (const auto& row : rows) {
        CarSnapshot after = before;
        row.change(after);
        QStringList v;
        CaseChecks(before, after, v).Unchanged(row.part);
        if (*row.expected == '\0') {
            EXPECT_TRUE(v.isEmpty()) << row.what << ": " << qPrintable(v.join("; "));
        } else {
            ASSERT_EQ(v.size(), 1) << row.what;
            EXPECT_TRUE(v[0].startsWith(QLatin1String(row.expected)))
                << row.what << ": " << qPrintable(v[0]);
        }
    }
}

TEST(InterruptChecks, ATableLostToAnEcuResetIsTheSavedOne) {
    CarSnapshot before;
    before.working.table[0] = 5;
    before.saved = before.working;
    CarSnapshot after = before;  // the written table went with the reset
    std::vector<uint8_t> result(after.working.table.begin(), after.working.table.end());
    result[0] = 6;
    QStringList v;
    CaseChecks(before, after, v).TableIs(result, "the result", true);
    EXPECT_TRUE(v.isEmpty());
    CaseChecks(before, after, v).TableIs(result, "the result", false);
    ASSERT_EQ(v.size(), 1);
    EXPECT_TRUE(v[0].startsWith(QLatin1String("invariant 2")));
    // A bound passed is a violation of its own.
    QStringList late;
    CaseChecks(before, after, late).Bound(false, 900, 901e6);
    EXPECT_EQ(late.size(), 1);
}

}  // namespace
}  // namespace gascal::interrupt

namespace gascal::interrupt {
namespace {

// The window closed while a parameter file is loaded into a car idling on
// gas (the load put it in slave mode and on petrol): the close waits until
// the load's attempt is over and the car is back on gas and running on its
// own, at every exchange of the load.
TEST(InterruptFaults, ClosingDuringALoadOnGasLeavesTheCarOnGasAndRunning) {
    const Workflow* w = FindWorkflow(QStringLiteral("load-gas"));
    ASSERT_TRUE(w);
    const RunShape shape = w->shape();
    ASSERT_GT(shape.exchanges, 4);
    for (int n = 1; n <= shape.exchanges; ++n) {
        for (PointKind k : {PointKind::Request, PointKind::Answer}) {
            const CaseId id{w->name, k, n, Interruption::Esc};
            const CaseResult r = w->run(id);
            EXPECT_TRUE(r.injected) << qPrintable(id.Text());
            EXPECT_TRUE(r.violations.isEmpty())
                << qPrintable(id.Text()) << ": "
                << qPrintable(r.violations.join(QStringLiteral("; ")));
        }
    }
}

}  // namespace
}  // namespace gascal::interrupt

namespace gascal::interrupt {
namespace {

// Ctrl+C while gascal-cli sets fields of blocks 2, 3 and 5, at every
// exchange: the command finishes its writes before it ends, so the ECU
// never keeps part of the change without a word.
TEST(InterruptFaults, CtrlCDuringACliSetNeverLeavesPartOfTheChange) {
    const Workflow* w = FindWorkflow(QStringLiteral("set-cli"));
    ASSERT_TRUE(w);
    const RunShape shape = w->shape();
    ASSERT_GT(shape.exchanges, 4);
    for (int n = 1; n <= shape.exchanges; ++n) {
        for (PointKind k : {PointKind::Request, PointKind::Answer}) {
            const CaseId id{w->name, k, n, Interruption::Esc};
            const CaseResult r = w->run(id);
            EXPECT_TRUE(r.injected) << qPrintable(id.Text());
            EXPECT_TRUE(r.violations.isEmpty())
                << qPrintable(id.Text()) << ": "
                << qPrintable(r.violations.join(QStringLiteral("; ")));
        }
    }
}

}  // namespace
}  // namespace gascal::interrupt
