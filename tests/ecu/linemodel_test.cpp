// The line model on its own: its correction table and the way back, the
// invariants, every edit button's step and limits, the point labels, the
// repeat ladder of a held button, and the editor's history.
#include "ecu/LineModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/Prompts.h"
#include "ecu/ModelEditor.h"

using namespace gascal;

namespace {

constexpr double kEps = 1e-9;

// A table as the factory leaves it: no correction, slope 1, the nominal
// breakpoints.
CorTableArray FactoryTable() {
    CorTableArray t{};
    t[kCorEntryAlfa] = 1;
    const double breaks[] = {0, 30, 63, 94, 125, 157};
    for (int i = 0; i < 6; ++i) t[static_cast<size_t>(kCorEntryFirstBreak + i)] = breaks[i];
    return t;
}

LineModel Defaults() {
    LineModel m;
    m.SetDefaults();
    m.Recompute();
    return m;
}

// A model reached by edits from the defaults, drawn at random: slope and
// offset on their steps within the line's limit, points shifted by whole
// steps, then the invariants enforced.
LineModel RandomModel(std::mt19937& rng) {
    LineModel m = Defaults();
    std::uniform_int_distribution<int> alfa(0, 200), xShift(-25, 25), yShift(-40, 40), y0(0, 10);
    m.ALFA = alfa(rng) / 100.0;
    const int maxOffsetSteps =
        static_cast<int>((kModelMaxMs - m.ALFA * kLineEndMs) / kModelYStepMs);
    m.OFFSET =
        std::uniform_int_distribution<int>(0, std::max(0, maxOffsetSteps))(rng) * kModelYStepMs;
    for (size_t i = 1; i <= 4; ++i) m.ModXShift[i] = xShift(rng) * kTableStepMs;
    for (size_t i = 1; i <= 5; ++i) m.ModYShift[i] = yShift(rng) * kModelYStepMs;
    m.ModYShift[0] = y0(rng) * kModelYStepMs;
    m.EnforceInvariants();
    return m;
}

}  // namespace

// --- Model to table and back --------------------------------------------------------------

TEST(LineModelTable, DefaultAndOffsetOnlyModelsGiveAFlatTable) {
    struct Case {
        const char* what;
        double alfa, offset, flat;
    };
    const Case cases[] = {
        {"defaults", 1, 0, 0},
        {"offset 0.5", 1, 0.5, 0.5},
        {"offset 2.08", 1, 2.08, 2.08},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LineModel m = Defaults();
        m.ALFA = c.alfa;
        m.OFFSET = c.offset;
        m.Recompute();
        const CorTableArray t = m.Table();
        for (int w = 0; w <= kCorEntryCopiesEnd; ++w)
            ASSERT_DOUBLE_EQ(t[static_cast<size_t>(w)], c.flat) << w;
        EXPECT_DOUBLE_EQ(t[kCorEntryOffset], c.offset);
        EXPECT_DOUBLE_EQ(t[kCorEntryAlfa], c.alfa);
        const double breaks[] = {0, 30, 63, 94, 125, 157};
        for (int i = 0; i < 6; ++i)
            EXPECT_DOUBLE_EQ(t[static_cast<size_t>(kCorEntryFirstBreak + i)], breaks[i]);
    }
}

TEST(LineModelTable, InterpolatesOnTheSegmentsAndRoundsToThousandths) {
    LineModel m = Defaults();
    m.ModYShift[2] = 3 * kModelYStepMs;  // point 2 (entry 63) 0.312 ms above the line
    m.ModXShift[3] = -2 * kTableStepMs;  // point 3 moved to entry 92
    m.Recompute();
    const CorTableArray t = m.Table();
    EXPECT_DOUBLE_EQ(t[30], 0);
    // Rising over entries 30..63, falling over 63..92.
    EXPECT_DOUBLE_EQ(t[46], std::nearbyint(0.312 * 16 / 33 * 1000) / 1000);  // 0.151
    EXPECT_DOUBLE_EQ(t[46], 0.151);
    EXPECT_DOUBLE_EQ(t[63], 0.312);
    EXPECT_DOUBLE_EQ(t[70], std::nearbyint(0.312 * 22 / 29 * 1000) / 1000);
    EXPECT_DOUBLE_EQ(t[92], 0);
    EXPECT_DOUBLE_EQ(t[kCorEntryFirstBreak + 3], 92);

    // A steeper line: the correction grows with the petrol time up to point
    // 5; entries 158..183 repeat the value at 20.096 ms.
    m = Defaults();
    m.ALFA = 1.5;
    m.Recompute();
    const CorTableArray s = m.Table();
    EXPECT_DOUBLE_EQ(s[10], std::nearbyint(0.5 * 10 * 0.128 * 1000) / 1000);    // 0.64
    EXPECT_DOUBLE_EQ(s[101], std::nearbyint(0.5 * 101 * 0.128 * 1000) / 1000);  // 6.464
    EXPECT_DOUBLE_EQ(s[kCorEntryLineEnd], 10.048);
    EXPECT_DOUBLE_EQ(s[170], 10.048);
    EXPECT_DOUBLE_EQ(s[kCorEntryCopiesEnd], 10.048);
    EXPECT_DOUBLE_EQ(s[kCorEntryAlfa], 1.5);
}

TEST(LineModelTable, RebuildingRepairsTheTableFirst) {
    struct Case {
        const char* what;
        std::array<double, 6> breaks;  // entries 186..191 as read
        std::array<double, 6> repaired;
    };
    const Case cases[] = {
        {"as the factory writes it", {0, 30, 63, 94, 125, 157}, {0, 30, 63, 94, 125, 157}},
        {"ends moved", {5, 30, 63, 94, 125, 150}, {0, 30, 63, 94, 125, 157}},
        {"inner ones outside the ends", {0, -4, 63, 94, 170, 157}, {0, 0, 63, 94, 157, 157}},
        {"decreasing", {0, 50, 40, 30, 20, 157}, {0, 50, 50, 50, 50, 157}},
        {"one dip", {0, 30, 63, 20, 125, 157}, {0, 30, 63, 63, 125, 157}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CorTableArray t = FactoryTable();
        for (size_t w = 0; w < kCorTimeEntries; ++w) t[w] = 0.008 * static_cast<double>(w);
        for (size_t i = 0; i < 6; ++i) t[kCorEntryFirstBreak + i] = c.breaks[i];
        LineModel m = Defaults();
        m.ModX[6] = m.ModY[6] = 25;  // point 6 keeps whatever it was
        m.FromTable(t);
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_DOUBLE_EQ(t[kCorEntryFirstBreak + i], c.repaired[i]) << i;
            EXPECT_NEAR(m.ModX[i], c.repaired[i] * kTableStepMs, kEps) << i;
            EXPECT_NEAR(m.ModXDefault[i], m.ModX[i], kEps);
            EXPECT_EQ(m.ModXShift[i], 0);
            // The gas time is the petrol time plus the table's correction there.
            EXPECT_NEAR(m.ModY[i], m.ModX[i] + 0.008 * c.repaired[i], kEps) << i;
        }
        EXPECT_EQ(m.ModX[6], 25);
        EXPECT_EQ(m.ModY[6], 25);
    }

    // Negative slope and offset are read as 0, in the table too; the
    // vertical shifts make up the difference to the table's correction.
    CorTableArray t = FactoryTable();
    t[kCorEntryOffset] = -1;
    t[kCorEntryAlfa] = -0.5;
    t[94] = 0.4;
    LineModel m;
    m.FromTable(t);
    EXPECT_EQ(t[kCorEntryOffset], 0);
    EXPECT_EQ(t[kCorEntryAlfa], 0);
    EXPECT_EQ(m.OFFSET, 0);
    EXPECT_EQ(m.ALFA, 0);
    EXPECT_NEAR(m.ModYShift[3], 0.4 + 12.032, kEps);  // (C - OFFSET) - (ALFA - 1) * ModX
    EXPECT_NEAR(m.ModY[3], 12.032 + 0.4, kEps);
}

TEST(LineModelTable, EveryModelWithinTheInvariantsSurvivesTheRoundTrip) {
    std::mt19937 rng(20260115);
    int checked = 0;
    for (int n = 0; n < 3000; ++n) {
        const LineModel m = RandomModel(rng);
        if (!m.WithinInvariants()) continue;  // (only a model squeezed by 100 passes)
        ++checked;
        CorTableArray t = m.Table();
        LineModel back = Defaults();
        back.FromTable(t);
        SCOPED_TRACE(n);
        for (size_t i = 0; i < kModelLinePoints; ++i) {
            ASSERT_NEAR(back.ModX[i], m.ModX[i], kEps) << "point " << i;
            // The table keeps corrections to 0.001 ms.
            ASSERT_NEAR(back.ModY[i], m.ModY[i], 0.0005 + kEps) << "point " << i;
        }
        ASSERT_NEAR(back.ALFA, m.ALFA, kEps);
        ASSERT_NEAR(back.OFFSET, m.OFFSET, 0.0005 + kEps);
        ASSERT_TRUE(back.WithinInvariants());
        // Once through the table, the model is a fixed point of the trip.
        CorTableArray t2 = back.Table();
        LineModel again = Defaults();
        again.FromTable(t2);
        for (size_t i = 0; i < kModelPoints; ++i) {
            ASSERT_NEAR(again.ModX[i], back.ModX[i], kEps);
            ASSERT_NEAR(again.ModY[i], back.ModY[i], kEps);
        }
    }
    EXPECT_GT(checked, 2500);
}

// --- Invariants and steps -----------------------------------------------------------------------

TEST(LineModelInvariants, APointMovedOntoItsNeighbourIsPushedBack) {
    // Point 2 moved towards point 1 (CmdRight lowers the petrol time) stops
    // three steps from it; point 1 does not move.
    LineModel m = Defaults();
    for (int n = 0; n < 60; ++n) {
        m.Step(EditButton::Right, 2);
        m.EnforceInvariants();
        ASSERT_TRUE(m.WithinInvariants()) << n;
    }
    EXPECT_NEAR(m.ModX[1], 3.84, kEps);
    EXPECT_NEAR(m.ModX[2] - m.ModX[1], 3 * kTableStepMs, kEps);

    // Point 4 moved towards point 5 (CmdLeft raises it) stops at entry 154.
    m = Defaults();
    for (int n = 0; n < 60; ++n) {
        m.Step(EditButton::Left, 4);
        m.EnforceInvariants();
    }
    EXPECT_NEAR(m.ModX[4], 154 * kTableStepMs, kEps);
    EXPECT_NEAR(m.ModX[5], kLineEndMs, kEps);

    // Two steps apart exactly is too close: the push happens at 0.256 ms.
    m = Defaults();
    m.ModXShift[2] = -(63 - 32) * kTableStepMs;  // entry 32, point 1 at 30
    m.Recompute();
    EXPECT_FALSE(m.WithinInvariants());
    EXPECT_TRUE(m.EnforceInvariants());
    EXPECT_NEAR(m.ModX[2], 33 * kTableStepMs, kEps);
}

TEST(LineModelInvariants, GasTimesStayWithinZeroAnd31) {
    LineModel m = Defaults();
    for (int n = 0; n < 400; ++n) {
        m.Step(EditButton::Up, 5);
        m.EnforceInvariants();
    }
    EXPECT_LE(m.ModY[5], 31 + kEps);
    EXPECT_GT(m.ModY[5], 31 - kModelYStepMs);
    for (int n = 0; n < 400; ++n) {
        m.Step(EditButton::Down, 1);
        m.EnforceInvariants();
    }
    EXPECT_GE(m.ModY[1], -kEps);
    EXPECT_LT(m.ModY[1], kModelYStepMs);
    EXPECT_TRUE(m.WithinInvariants());
}

TEST(LineModelSteps, EachButtonKeepsItsLimits) {
    struct Case {
        const char* what;
        double alfa, offset;
        EditButton button;
        int point;
        bool changes;
        double alfaAfter, offsetAfter;
    };
    const Case cases[] = {
        {"slope up", 1, 0, EditButton::AlfaUp, -1, true, 1.01, 0},
        // With OFFSET 0 the line's top (ALFA × 20.096) allows at most 1.54.
        {"slope up to 1.54", 1.53, 0, EditButton::AlfaUp, -1, true, 1.54, 0},
        {"slope up from 1.54", 1.54, 0, EditButton::AlfaUp, -1, false, 1.54, 0},
        // The slope's own limit, on a line lowered far enough (no edit gets
        // there; it shows the limit apart from the line's top).
        {"slope up from 1.99", 1.99, -31, EditButton::AlfaUp, -1, true, 2.00, -31},
        {"slope up at 2.00", 2.00, -31, EditButton::AlfaUp, -1, false, 2.00, -31},
        {"slope down to 0", 0.01, 0, EditButton::AlfaDown, -1, true, 0, 0},
        {"slope down at 0", 0, 0, EditButton::AlfaDown, -1, false, 0, 0},
        {"slope up past the line's top", 1.04, 10, EditButton::AlfaUp, -1, false, 1.04, 10},
        {"offset down at 0.05", 1, 0.05, EditButton::OffsetDown, -1, true, 1, 0},
        {"offset down at 0.104", 1, 0.104, EditButton::OffsetDown, -1, true, 1, 0},
        {"offset down at 0.208", 1, 0.208, EditButton::OffsetDown, -1, true, 1, 0.104},
        {"offset down at 0", 1, 0, EditButton::OffsetDown, -1, false, 1, 0},
        {"offset up", 1, 0, EditButton::OffsetUp, -1, true, 1, 0.104},
        {"offset up past the line's top", 1, 10.848, EditButton::OffsetUp, -1, false, 1, 10.848},
        {"offset up below 31, flat line", 0, 30.888, EditButton::OffsetUp, -1, true, 0, 30.992},
        {"offset up to above 31", 0, 30.992, EditButton::OffsetUp, -1, false, 0, 30.992},
        // A line read above the limit may be brought down, not further up.
        {"too high: slope down", 2, 5, EditButton::AlfaDown, -1, true, 1.99, 5},
        {"too high: offset down", 2, 5, EditButton::OffsetDown, -1, true, 2, 4.896},
        {"too high: offset up", 2, 5, EditButton::OffsetUp, -1, false, 2, 5},
        // Points: 0 and 6 never move, 5 only up and down.
        {"point 0 up", 1, 0, EditButton::Up, 0, false, 1, 0},
        {"point 6 up", 1, 0, EditButton::Up, 6, false, 1, 0},
        {"point 5 up", 1, 0, EditButton::Up, 5, true, 1, 0},
        {"point 5 left", 1, 0, EditButton::Left, 5, false, 1, 0},
        {"point 5 right", 1, 0, EditButton::Right, 5, false, 1, 0},
        {"point 1 left", 1, 0, EditButton::Left, 1, true, 1, 0},
        {"point 4 right", 1, 0, EditButton::Right, 4, true, 1, 0},
        {"no point", 1, 0, EditButton::Down, -1, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LineModel m = Defaults();
        m.ALFA = c.alfa;
        m.OFFSET = c.offset;
        m.Recompute();
        const LineModel before = m;
        EXPECT_EQ(m.Step(c.button, c.point), c.changes);
        EXPECT_NEAR(m.ALFA, c.alfaAfter, kEps);
        EXPECT_NEAR(m.OFFSET, c.offsetAfter, kEps);
        if (!c.changes) {
            EXPECT_TRUE(m == before);
        }
    }

    // The point steps' sizes and directions: CmdLeft raises the petrol time.
    LineModel m = Defaults();
    m.Step(EditButton::Up, 3);
    m.Step(EditButton::Up, 3);
    m.Step(EditButton::Down, 2);
    m.Step(EditButton::Left, 1);
    m.Step(EditButton::Right, 4);
    EXPECT_NEAR(m.ModYShift[3], 0.208, kEps);
    EXPECT_NEAR(m.ModY[3], 12.032 + 0.208, kEps);
    EXPECT_NEAR(m.ModYShift[2], -0.104, kEps);
    EXPECT_NEAR(m.ModX[1], 3.84 + 0.128, kEps);
    EXPECT_NEAR(m.ModX[4], 16 - 0.128, kEps);
    // A slope step moves every point of the line but point 6.
    m.Step(EditButton::AlfaUp, -1);
    EXPECT_NEAR(m.ModY[5], 1.01 * kLineEndMs, kEps);
    EXPECT_NEAR(m.ModY[6], 23.68, kEps);
}

TEST(LineModelSteps, ThousandsOfStepsLandOnTheDecimalValues) {
    LineModel m = Defaults();
    for (int n = 0; n < 100; ++n) m.Step(EditButton::AlfaDown, -1);
    EXPECT_EQ(m.ALFA, 0);
    for (int n = 0; n < 200; ++n) m.Step(EditButton::AlfaUp, -1);
    EXPECT_EQ(m.ALFA, 1.54);  // 1.54 × 20.096 is the last step within 31 ms
    for (int n = 0; n < 1000; ++n) {
        m.Step(EditButton::Up, 2);
        m.Step(EditButton::Down, 2);
    }
    EXPECT_EQ(m.ModYShift[2], 0);
}

// --- Selection, texts and the repeat ladder -----------------------------------------------------

TEST(PointSelection, LabelsAndBoxesFollowTheClicks) {
    PointSelection s;
    EXPECT_EQ(s.SelectedPoint(), -1);
    s.SelectPoint(3);
    EXPECT_EQ(s.SelectedPoint(), 3);
    EXPECT_TRUE(s.xBox[2] && s.yBox[2]);
    EXPECT_EQ(std::count(s.label.begin(), s.label.end(), true), 1);
    s.SelectPointOfBox(0);  // point 1
    EXPECT_EQ(s.SelectedPoint(), 1);
    EXPECT_FALSE(s.xBox[2]);
    EXPECT_TRUE(s.xBox[0] && s.yBox[0]);
    s.SelectPoint(6);  // point 6 has no boxes
    EXPECT_EQ(s.SelectedPoint(), 6);
    EXPECT_EQ(std::count(s.xBox.begin(), s.xBox.end(), true), 0);
    s.SelectSlope();
    EXPECT_TRUE(s.WholeLine());
    EXPECT_TRUE(s.alfaBox);
    EXPECT_FALSE(s.offsetBox);
    EXPECT_EQ(s.SelectedPoint(), 0);
    s.SelectOffset();
    EXPECT_TRUE(s.offsetBox && !s.alfaBox && s.WholeLine());
    s.DeselectPoints();
    EXPECT_TRUE(s == PointSelection{});
}

TEST(LineModelTexts, BoxesAndToolTipsShowTheModel) {
    LineModel m = Defaults();
    m.ALFA = 1.25;
    m.OFFSET = 0.416;
    m.ModYShift[2] = -0.104;
    m.Recompute();
    const ModelTexts t = ModelTextsOf(m);
    EXPECT_EQ(t.xPos[1], "8,064");
    EXPECT_EQ(t.yPos[1], "-0,104");
    EXPECT_EQ(t.yPos[0], "0,000");
    EXPECT_EQ(t.alfa, "1,25");
    EXPECT_EQ(t.offset, "0,4");
    EXPECT_EQ(t.toolTip[2], "P2 (8,1 ; 10,4)");  // 1.25 × 8.064 + 0.416 - 0.104 = 10.392
    EXPECT_EQ(t.toolTip[6], "P6 (23,7 ; 23,7)");
}

TEST(RepeatLadder, ShrinksBy1Point2UntilNotAboveAnEightiethOfASecond) {
    RepeatLadder ladder;
    std::vector<double> waits;
    for (int n = 0; n < 25; ++n) {
        waits.push_back(ladder.Interval());
        ladder.Next();
    }
    EXPECT_DOUBLE_EQ(waits[0], 0.2);
    EXPECT_NEAR(waits[1], 0.1667, 1e-4);
    EXPECT_NEAR(waits[2], 0.1389, 1e-4);
    // 0.2 / 1.2^16 = 0.01082 is the first wait not above 1/80 s: it stays.
    for (size_t n = 1; n < waits.size(); ++n) {
        if (waits[n - 1] > RepeatLadder::kShortestS)
            EXPECT_DOUBLE_EQ(waits[n], waits[n - 1] / 1.2) << n;
        else
            EXPECT_EQ(waits[n], waits[n - 1]) << n;
    }
    EXPECT_GT(waits[15], RepeatLadder::kShortestS);
    EXPECT_NEAR(waits[16], 0.2 / std::pow(1.2, 16), 1e-12);
    EXPECT_EQ(waits[24], waits[16]);
    ladder.Restart();
    EXPECT_EQ(ladder.Interval(), 0.2);
}

// --- The editor: presses, resets, history
// ---------------------------------------------------------

TEST(ModelEditor, APressAndHoldIsOneStepOfTheHistory) {
    ModelEditor e;
    int writes = 0, changes = 0;
    e.OnTableToWrite([&] { ++writes; });
    e.OnModelChanged([&] { ++changes; });

    // Nothing selected: the point buttons do nothing, and their release
    // has nothing to send.
    EXPECT_FALSE(e.Press(EditButton::Up));
    EXPECT_FALSE(e.Held());
    e.Release();
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(e.UndoSteps(), 0u);

    e.SelectPoint(2);
    ASSERT_TRUE(e.Press(EditButton::Up));
    EXPECT_TRUE(e.Held());
    for (int n = 0; n < 5; ++n) e.RepeatStep();
    EXPECT_FALSE(e.Undo());  // not while held
    EXPECT_EQ(writes, 0);    // nothing is written while the button is held
    e.Release();
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(changes, 5);
    EXPECT_NEAR(e.Model().ModYShift[2], 0.52, kEps);
    EXPECT_EQ(e.UndoSteps(), 1u);

    // A line button selects the whole line.
    ASSERT_TRUE(e.Press(EditButton::OffsetUp));
    EXPECT_TRUE(e.Selection().WholeLine());
    EXPECT_TRUE(e.Selection().offsetBox);
    e.RepeatStep();
    e.RepeatStep();
    e.Release();
    EXPECT_NEAR(e.Model().OFFSET, 0.208, kEps);
    EXPECT_EQ(e.UndoSteps(), 2u);

    // A hold that changes nothing (slope at its top) is no step.
    e.Hold(EditButton::AlfaUp, 150);
    const size_t steps = e.UndoSteps();
    e.Hold(EditButton::AlfaUp, 3);
    EXPECT_EQ(e.UndoSteps(), steps);

    // Undo and redo walk the steps; each sends the table.
    const LineModel latest = e.Model();
    const int before = writes;
    ASSERT_TRUE(e.Undo());
    EXPECT_NEAR(e.Model().ALFA, 1, kEps);
    ASSERT_TRUE(e.Undo());
    EXPECT_NEAR(e.Model().OFFSET, 0, kEps);
    EXPECT_NEAR(e.Model().ModYShift[2], 0.52, kEps);
    ASSERT_TRUE(e.Undo());
    EXPECT_TRUE(e.Model() == Defaults());
    EXPECT_FALSE(e.Undo());
    EXPECT_EQ(writes, before + 3);
    ASSERT_TRUE(e.Redo());
    ASSERT_TRUE(e.Redo());
    ASSERT_TRUE(e.Redo());
    EXPECT_TRUE(e.Model() == latest);
    EXPECT_FALSE(e.Redo());

    // A new edit after an undo drops what could be redone.
    e.Undo();
    e.SelectPoint(4);
    e.Hold(EditButton::Left, 1);
    EXPECT_FALSE(e.CanRedo());
    EXPECT_TRUE(e.CanUndo());
}

TEST(ModelEditor, ResetsAreStepsAndATableReadStartsTheHistoryAfresh) {
    ModelEditor e;
    e.SelectPoint(3);
    e.Hold(EditButton::Down, 4);
    e.Hold(EditButton::AlfaDown, 20);
    const LineModel edited = e.Model();

    e.ResetLine();  // shifts gone, slope kept
    EXPECT_NEAR(e.Model().ALFA, 0.8, kEps);
    EXPECT_EQ(e.Model().ModYShift[3], 0);
    EXPECT_NEAR(e.Model().ModY[3], 0.8 * 12.032, kEps);
    EXPECT_EQ(e.SelectedPoint(), -1);  // everything deselected
    e.Reset();
    EXPECT_TRUE(e.Model() == Defaults());
    EXPECT_EQ(e.UndoSteps(), 4u);
    e.Reset();  // nothing left to reset: no step
    EXPECT_EQ(e.UndoSteps(), 4u);
    e.Undo();
    e.Undo();
    EXPECT_TRUE(e.Model() == edited);

    CorTableArray t = FactoryTable();
    t[kCorEntryOffset] = 0.312;
    t[kCorEntryFirstBreak + 2] = 70;  // point 2 read at entry 70
    e.SelectPoint(2);
    e.RebuildFromTable(t);
    EXPECT_FALSE(e.CanUndo());
    EXPECT_FALSE(e.CanRedo());
    EXPECT_EQ(e.SelectedPoint(), -1);
    EXPECT_NEAR(e.Model().OFFSET, 0.312, kEps);
    EXPECT_NEAR(e.Model().ModX[2], 70 * kTableStepMs, kEps);
    // Back on the line means back at the nominal places too.
    e.ResetLine();
    EXPECT_NEAR(e.Model().ModX[2], 8.064, kEps);
    EXPECT_NEAR(e.Model().ModY[2], 8.064 + 0.312, kEps);
}

TEST(ModelEditor, TheResetButtonsAskFirstAndReloadTheWatchdogEitherWay) {
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ModelEditor e;
    e.SelectPoint(1);
    e.Hold(EditButton::Up, 3);
    int reloads = 0, writes = 0;
    e.OnTableToWrite([&] { ++writes; });
    const auto reload = [&] { ++reloads; };

    prompts.answers = {BoxResult::No, BoxResult::Yes, BoxResult::Yes};
    EXPECT_FALSE(e.AskAndReset("Reset the model?", "GasCal", reload));
    EXPECT_NEAR(e.Model().ModYShift[1], 0.312, kEps);
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(e.AskAndResetLine("Points back on the line?", "GasCal", reload));
    EXPECT_EQ(e.Model().ModYShift[1], 0);
    EXPECT_TRUE(e.AskAndReset("Reset the model?", "GasCal", reload));
    EXPECT_EQ(reloads, 3);
    EXPECT_EQ(writes, 2);
    ASSERT_EQ(prompts.shown.size(), 3u);
    EXPECT_EQ(prompts.shown[0].title, "GasCal -  Software ver. 01.01.05");
    EXPECT_EQ(prompts.shown[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(prompts.shown[1].text, "Points back on the line?");
}

// Entry 157 is the correction at 20.096 ms read on the segment from point 5
// to point 6, and entries 158 to 183 copy it; with the last segments bent,
// an entry taken one index off, or from another segment, reads otherwise.
TEST(LineModelTable, EntryOneFiftySevenIsTheLastSegmentsValueAt20096AndIsCopiedTo183) {
    const struct {
        const char* what;
        int point5Steps;          // point 5 moved by this many table steps
        double point5Y, point6Y;  // shifts in ms
    } cases[] = {{"point 6 raised", 0, 0, 2.08},
                 {"point 5 moved left, point 6 lowered", -3, 0.52, -1.04},
                 {"both raised", -1, 1.04, 3.12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LineModel m;
        m.ALFA = 1.2;
        m.OFFSET = 0.416;
        m.ModXShift[5] = c.point5Steps * 0.128;
        m.ModYShift[5] = c.point5Y;
        m.ModYShift[6] = c.point6Y;
        m.Recompute();
        const CorTableArray t = m.Table();
        // The correction (gas time minus petrol time) on the segment of
        // points 5 and 6 at the petrol time 20.096 ms.
        const auto correction = [&](double x) {
            const double d5 = m.ModY[5] - m.ModX[5], d6 = m.ModY[6] - m.ModX[6];
            return d5 + (d6 - d5) * (x - m.ModX[5]) / (m.ModX[6] - m.ModX[5]);
        };
        const double expected = std::round(correction(20.096) * 1000) / 1000;
        EXPECT_NEAR(t[157], expected, 1e-9);
        // One table step either side reads another value.
        EXPECT_GT(std::fabs(correction(20.096 + 0.128) - correction(20.096)), 0.002);
        for (int w = 158; w <= 183; ++w) EXPECT_EQ(t[static_cast<size_t>(w)], t[157]) << w;
        EXPECT_NE(t[184], t[157]);  // OFFSET follows the copies
    }
}
