// The fit of the line model to the targets: the steps it may take, the
// limits it keeps, what it does with too few targets, and how close it gets
// on lines and bent curves.
#include "ecu/ModelFit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "ecu/ModelEditor.h"

using namespace gascal;

namespace {

LineModel DefaultModel() {
    LineModel m;
    m.SetDefaults();
    m.Recompute();
    return m;
}

std::vector<FitTarget> Sample(const std::function<double(double)>& gas, double from, double to,
                              double step) {
    std::vector<FitTarget> out;
    for (double x = from; x <= to + 1e-9; x += step) out.push_back({x, gas(x)});
    return out;
}

bool Multiple(double v, double step) {
    return std::fabs(v / step - std::nearbyint(v / step)) < 1e-6;
}

// Every value the fit chose is one the Modeling tab's buttons reach from
// `from`, and the model's invariants and the line's limits hold.
void ExpectButtonSteps(const LineModel& from, const LineModel& m, const FitLimits& l) {
    EXPECT_TRUE(Multiple(m.ALFA - from.ALFA, kAlfaStep) || m.ALFA == l.alfaMin ||
                m.ALFA == l.alfaMax)
        << m.ALFA;
    EXPECT_TRUE(Multiple(m.OFFSET - from.OFFSET, kModelYStepMs) || m.OFFSET == 0 ||
                m.OFFSET == l.offsetMin || m.OFFSET == l.offsetMax)
        << m.OFFSET;
    for (size_t k = 0; k < kModelLinePoints; ++k) {
        EXPECT_TRUE(Multiple(m.ModYShift[k] - from.ModYShift[k], kModelYStepMs)) << k;
        EXPECT_TRUE(Multiple(m.ModXShift[k] - from.ModXShift[k], kTableStepMs)) << k;
    }
    EXPECT_GE(m.ALFA, l.alfaMin - 1e-9);
    EXPECT_LE(m.ALFA, l.alfaMax + 1e-9);
    EXPECT_GE(m.OFFSET, std::max(0.0, l.offsetMin) - 1e-9);
    EXPECT_LE(m.OFFSET, l.offsetMax + 1e-9);
    EXPECT_LE(m.LineTop(), kModelMaxMs + 1e-9);
    EXPECT_TRUE(m.WithinInvariants());
    LineModel recomputed = m;
    recomputed.Recompute();
    EXPECT_EQ(recomputed, m) << "the fitted points are those of its own line and shifts";
}

}  // namespace

TEST(ModelFit, NoTargetNothingChanges) {
    const LineModel m = DefaultModel();
    const FitResult r = FitModel(m, {}, FitLimits{});
    EXPECT_EQ(r.outcome, FitOutcome::Nothing);
    EXPECT_EQ(r.model, m);
    EXPECT_FALSE(r.Changed(m));
    EXPECT_EQ(r.before.largest, 0);
    EXPECT_EQ(r.after.mean, 0);
}

TEST(ModelFit, TargetsAtOnePetrolTimeMoveOnlyOffset) {
    // A bent model; three targets at about 6 ms, 0.33 ms above it.
    LineModel m = DefaultModel();
    m.ALFA = 1.05;
    m.OFFSET = 0.312;
    m.ModYShift[2] = 0.208;
    m.Recompute();
    const CorTableArray table = m.Table();
    const double here = TableGasMs(table, 6.0);
    const std::vector<FitTarget> targets = {{6.0, here + 0.30},
                                            {6.2, TableGasMs(table, 6.2) + 0.36},
                                            {6.1, TableGasMs(table, 6.1) + 0.33}};
    const FitLimits limits;
    const FitResult r = FitModel(m, targets, limits);
    EXPECT_EQ(r.outcome, FitOutcome::OffsetOnly);
    EXPECT_EQ(r.model.ALFA, m.ALFA);
    EXPECT_EQ(r.model.ModYShift, m.ModYShift);
    EXPECT_EQ(r.model.ModXShift, m.ModXShift);
    EXPECT_NEAR(r.model.OFFSET, 0.312 + 3 * kModelYStepMs, 1e-9);
    EXPECT_LT(r.after.largest, r.before.largest);
    ExpectButtonSteps(m, r.model, limits);

    // One single target: the same.
    const FitResult one = FitModel(m, {{6.0, here - 0.21}}, limits);
    EXPECT_EQ(one.outcome, FitOutcome::OffsetOnly);
    EXPECT_NEAR(one.model.OFFSET, 0.312 - 2 * kModelYStepMs, 1e-9);
    EXPECT_EQ(one.model.ALFA, m.ALFA);
}

// Targets on straight lines and on bent curves of the kind real injectors
// have, from a plainly wrong model: a line is reached within half an OFFSET
// step plus what the table's 0.128 ms grid costs, a bent curve within one
// OFFSET step (two points of the model bend between 2.5 and 10 ms).
TEST(ModelFit, ReachesLinesAndCurvesWithinItsSteps) {
    struct Case {
        const char* name;
        std::function<double(double)> gas;
        double from, to;
        double within;  // largest distance allowed after the fit (ms)
    };
    const auto curve = [](double slope, double opening, double extra, double decay) {
        return [=](double x) { return slope * x + opening + extra * std::exp(-x / decay); };
    };
    const Case cases[] = {
        {"line 1.10 x + 0.5", [](double x) { return 1.1 * x + 0.5; }, 2, 16, 0.065},
        {"line 0.90 x + 1.2", [](double x) { return 0.9 * x + 1.2; }, 2.4, 12, 0.065},
        {"default injector", curve(1.12, 0.35, 0.25, 2.0), 2.5, 10, kModelYStepMs},
        {"bent injector", curve(1.10, 0.40, 0.60, 3.0), 2.5, 10, kModelYStepMs},
        {"steep injector", curve(1.21, 0.0, 0.25, 2.0), 2.5, 10, kModelYStepMs},
    };
    const FitLimits limits;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineModel start = DefaultModel();
        start.OFFSET = 2.08;
        start.ModYShift[3] = -0.52;
        start.Recompute();
        const auto targets = Sample(c.gas, c.from, c.to, 0.4);
        const FitResult r = FitModel(start, targets, limits);
        EXPECT_EQ(r.outcome, FitOutcome::Fitted);
        EXPECT_LE(r.after.largest, c.within);
        EXPECT_LT(r.after.mean, r.before.mean);
        EXPECT_FALSE(r.alfaLimited);
        ASSERT_EQ(r.modelGasMs.size(), targets.size());
        ExpectButtonSteps(start, r.model, limits);
        // Points where no target is follow the line.
        for (size_t k = 1; k < kModelLinePoints; ++k)
            if (r.model.ModX[k] > c.to || r.model.ModX[k] < c.from) {
                EXPECT_EQ(r.model.ModYShift[k], 0) << "point " << k;
                EXPECT_NEAR(r.model.ModY[k], LineAt(r.model, r.model.ModX[k]), 1e-9)
                    << "point " << k;
            }
    }
}

TEST(ModelFit, AlfaAndOffsetStayWithinTheConfigurationsLimits) {
    FitLimits limits;
    limits.alfaMin = 0.75;
    limits.alfaMax = 1.25;
    limits.offsetMin = 0.1;
    limits.offsetMax = 1.0;
    const LineModel start = DefaultModel();

    // A slope of 1.5 is beyond the largest ALFA.
    const FitResult steep =
        FitModel(start, Sample([](double x) { return 1.5 * x + 0.3; }, 2, 12, 0.5), limits);
    EXPECT_EQ(steep.outcome, FitOutcome::Fitted);
    EXPECT_TRUE(steep.alfaLimited);
    EXPECT_EQ(steep.model.ALFA, 1.25);
    ExpectButtonSteps(start, steep.model, limits);
    EXPECT_LT(steep.after.mean, steep.before.mean);

    // A slope of 0.5 is below the smallest.
    const FitResult flat =
        FitModel(start, Sample([](double x) { return 0.5 * x + 0.8; }, 2, 12, 0.5), limits);
    EXPECT_TRUE(flat.alfaLimited);
    EXPECT_EQ(flat.model.ALFA, 0.75);
    ExpectButtonSteps(start, flat.model, limits);

    // An offset of 2.5 ms is beyond the largest OFFSET.
    const FitResult high =
        FitModel(start, Sample([](double x) { return x + 2.5; }, 2, 12, 0.5), limits);
    EXPECT_TRUE(high.offsetLimited);
    EXPECT_FALSE(high.alfaLimited);
    EXPECT_LE(high.model.OFFSET, 1.0 + 1e-9);
    ExpectButtonSteps(start, high.model, limits);
    // Also with a single petrol time.
    const FitResult highOne = FitModel(start, {{5, 7.5}}, limits);
    EXPECT_EQ(highOne.outcome, FitOutcome::OffsetOnly);
    EXPECT_TRUE(highOne.offsetLimited);
    EXPECT_EQ(highOne.model.OFFSET, 1.0);
}

TEST(ModelFit, TargetsBeyondTwentyMilliseconds) {
    // Past 20.096 ms the ECU keeps the last correction: targets up to 24 ms
    // on a line are met by the line, and the model stays under 31 ms.
    const FitLimits limits;
    const LineModel start = DefaultModel();
    const auto targets = Sample([](double x) { return 1.08 * x + 0.4; }, 12, 24, 0.5);
    const FitResult r = FitModel(start, targets, limits);
    EXPECT_EQ(r.outcome, FitOutcome::Fitted);
    ExpectButtonSteps(start, r.model, limits);
    // Beyond point 5 the model grows with slope 1 while the targets grow
    // with 1.08: over 4 ms that is 0.32 ms the model cannot follow, and
    // least squares shares it out.
    EXPECT_LE(r.after.largest, 0.25);
    EXPECT_LT(r.after.largest, r.before.largest);
    for (size_t k = 1; k <= 2; ++k)
        EXPECT_EQ(r.model.ModYShift[k], 0) << "point " << k << " is below every target";

    // A line that would end above 31 ms at 20.096 ms is not taken.
    const FitResult tall =
        FitModel(start, Sample([](double x) { return 1.2 * x + 8; }, 10, 24, 1), limits);
    EXPECT_LE(tall.model.LineTop(), kModelMaxMs + 1e-9);
    ExpectButtonSteps(start, tall.model, limits);
}

TEST(ModelFit, WithoutALargestOffsetTheLineRisesToTheTargets) {
    // Parameter 24 unknown means no largest OFFSET of the configuration's own.
    FitLimits l;
    EXPECT_TRUE(std::isinf(l.offsetMax));
    const FitResult r =
        FitModel(DefaultModel(), Sample([](double x) { return x + 3.0; }, 2, 12, 1), l);
    EXPECT_NEAR(r.model.OFFSET, 3.016, 1e-9);  // 29 steps of 0.104 ms
}

TEST(ModelFit, AppliedAsOneEditThatCanBeUndone) {
    ModelEditor editor;
    int writes = 0;
    editor.OnTableToWrite([&] { ++writes; });
    const LineModel before = editor.Model();
    const FitResult r =
        FitModel(before, Sample([](double x) { return 1.1 * x + 0.6; }, 2, 14, 0.5), FitLimits{});
    ASSERT_TRUE(r.Changed(before));
    EXPECT_TRUE(editor.Apply(r.model));
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(editor.Model(), r.model);
    EXPECT_EQ(editor.UndoSteps(), 1u);
    EXPECT_FALSE(editor.Apply(r.model)) << "the same model is no edit";
    EXPECT_EQ(editor.UndoSteps(), 1u);
    ASSERT_TRUE(editor.Undo());
    EXPECT_EQ(editor.Model(), before);
    ASSERT_TRUE(editor.Redo());
    EXPECT_EQ(editor.Model(), r.model);

    // Not while an edit button is held.
    editor.SelectOffset();
    ASSERT_TRUE(editor.Press(EditButton::OffsetUp));
    EXPECT_FALSE(editor.Apply(before));
    editor.Release();
}
