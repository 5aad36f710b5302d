// The calibration's arithmetic: the two corrections of OFFSET, the shape
// text of an injector type, point 1's place, the final limits, the
// two-point line and the report entries.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "ecu/Calibration.h"
#include "ecu/CalibrationMath.h"

using namespace gascal;

namespace {
// Parameters of a gentler setting than the shipped one (band 3 %, gain 0.5,
// largest 0.312 ms), so both the band and the rounding show.
constexpr double kBand = 0.03, kGain = 0.5, kLargest = 0.312;

LineModel Straight(double alfa = 1, double offset = 0) {
    LineModel m;
    m.SetDefaults();
    m.ALFA = alfa;
    m.OFFSET = offset;
    m.Recompute();
    return m;
}
double LineThrough(const LineModel& m, int a, int b, int k) {
    const auto ua = static_cast<size_t>(a), ub = static_cast<size_t>(b),
               uk = static_cast<size_t>(k);
    return m.ModY[ua] +
           (m.ModY[ub] - m.ModY[ua]) / (m.ModX[ub] - m.ModX[ua]) * (m.ModX[uk] - m.ModX[ua]);
}
}  // namespace

TEST(CalCorrections, TheSignFollowsTheDemandOnGasAgainstPetrol) {
    // Step 02 never finds the second pair (0 against the reference speed)
    // in its band, so a demand on gas inside the band but below the
    // reference still moves OFFSET: down, since the gas is too rich.
    EXPECT_DOUBLE_EQ(CorrectionA(9.8, 10.0, 0, 2400, kBand, kGain, kLargest), -0.104);
    EXPECT_DOUBLE_EQ(CorrectionA(10.2, 10.0, 0, 2400, kBand, kGain, kLargest), 0.104);
    EXPECT_DOUBLE_EQ(CorrectionA(8.0, 10.0, 0, 2400, kBand, kGain, kLargest),
                     -0.312);  // at most 0.312
    EXPECT_DOUBLE_EQ(CorrectionA(12.0, 10.0, 0, 2400, kBand, kGain, kLargest), 0.312);
    // Both pairs in their bands: no correction.
    EXPECT_DOUBLE_EQ(CorrectionA(10.2, 10.0, 2450, 2400, kBand, kGain, kLargest), 0);
    // |M - R| x gain below half a step (0.052 ms) rounds to no correction:
    // the cycle counts as stable.
    EXPECT_DOUBLE_EQ(CorrectionA(10.1, 10.0, 0, 2400, kBand, kGain, kLargest), 0);
    EXPECT_DOUBLE_EQ(CorrectionA(9.9, 10.0, 0, 2400, kBand, kGain, kLargest), 0);
    // Whole steps: 0.37 x 0.5 = 0.185 is 1.78 steps, so two.
    EXPECT_DOUBLE_EQ(CorrectionA(3.67, 3.3, 0, 850, kBand, kGain, kLargest), 0.208);
}

TEST(CalCorrections, IdleCorrectionHasABand) {
    EXPECT_DOUBLE_EQ(CorrectionB(3.35, 3.3, kBand, kGain, 0.208), 0);      // within 3 %
    EXPECT_DOUBLE_EQ(CorrectionB(3.60, 3.3, kBand, kGain, 0.208), 0.104);  // 0.15 is 1.44 steps
    EXPECT_DOUBLE_EQ(CorrectionB(4.30, 3.3, kBand, kGain, 0.208), 0.208);  // capped
    EXPECT_DOUBLE_EQ(CorrectionB(3.0, 3.3, kBand, kGain, 0.208), -0.104);
    EXPECT_DOUBLE_EQ(CorrectionB(3.1, 3.3, kBand, kGain, 0.5), -0.104);
}

TEST(CalShapeText, LineRulesPutPointsOnTheLineAndPointRulesBendThem) {
    LineModel bent = Straight(1, 0.5);
    bent.ModYShift[2] = 0.416;
    bent.ModYShift[3] = -0.312;
    bent.ModYShift[4] = 0.208;
    bent.Recompute();

    LineModel m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("R0|1|4")));
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2), 1e-6);
    EXPECT_NEAR(m.ModY[3], LineThrough(m, 1, 4, 3), 1e-6);
    EXPECT_NEAR(m.ModY[4], bent.ModY[4], 1e-9);  // the ends stay
    EXPECT_NEAR(m.ModY[1], bent.ModY[1], 1e-9);

    // The X rule with value 0 does nothing; the Y rule is added again after
    // the line rule.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("P2|+0|+0,5;R0|1|4")));
    EXPECT_NEAR(m.ModX[2], bent.ModX[2], 1e-9);
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2) + 0.5, 1e-6);
    EXPECT_NEAR(m.ModY[3], LineThrough(m, 1, 4, 3), 1e-6);

    // An empty X part reads as value 0: the field's Y rule still applies.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("P2||+0,5;R0|1|4")));
    EXPECT_NEAR(m.ModX[2], bent.ModX[2], 1e-9);
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2) + 0.5, 1e-6);
    // And an empty Y part leaves the point where the line rule put it.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("P2|+0|;R0|1|4")));
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2), 1e-6);

    // Point rules alone: "#" sets, "*" multiplies, "-" subtracts; X moves
    // the point and keeps its nominal place.
    m = Straight();
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("P1|#4,352|-0,208; P3|+0|*1,1")));
    EXPECT_NEAR(m.ModX[1], 4.352, 1e-9);
    EXPECT_NEAR(m.ModXDefault[1], 3.84, 1e-9);
    EXPECT_NEAR(m.ModXShift[1], 0.512, 1e-9);
    EXPECT_NEAR(m.ModY[1], 4.352 - 0.208, 1e-9);
    EXPECT_NEAR(m.ModY[3], 12.032 * 1.1, 1e-6);
}

TEST(CalShapeText, ReadingStopsOrSkipsAsWritten) {
    const LineModel bent = [] {
        LineModel m = Straight();
        m.ModYShift[2] = 0.416;
        m.Recompute();
        return m;
    }();
    // A rule for point 7 is ignored; the line rule after it still applies.
    LineModel m = bent;
    const ShapeRules r7 = ParseShapeText(QStringLiteral("P7|+0|+1;R0|1|4"));
    for (const auto& p : r7.point) EXPECT_EQ(p.y, 0);
    ApplyShapeRules(m, r7);
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2), 1e-6);

    // A field of two parts ends the reading: the rule after it is not applied.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("P3|+0|+0,2;R0|1;R1|1|4")));
    EXPECT_NEAR(m.ModY[2], bent.ModY[2], 1e-9);
    EXPECT_NEAR(m.ModY[3], bent.ModY[3] + 0.2, 1e-9);
    // So does an empty field.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral(";R0|1|4")));
    EXPECT_EQ(m, bent);
    // Another letter, or a number that is none, is skipped; reading goes on.
    m = bent;
    ApplyShapeRules(m, ParseShapeText(QStringLiteral("X1|+0|+1;Pa|+0|+1;R0|1|4")));
    EXPECT_NEAR(m.ModY[2], LineThrough(m, 1, 4, 2), 1e-6);
    // Point 6's rule and line rule 5 are read and never applied; a later
    // rule for the same point replaces the earlier one.
    m = bent;
    const ShapeRules r = ParseShapeText(QStringLiteral("P6|+1|+1;R5|1|4;P2|+0|+1;P2|+0|+0,104"));
    EXPECT_EQ(r.point[6].y, 1);
    EXPECT_EQ(r.line[5].a, QStringLiteral("1"));
    ApplyShapeRules(m, r);
    EXPECT_NEAR(m.ModY[2], bent.ModY[2] + 0.104, 1e-9);
    EXPECT_EQ(m.ModY[6], bent.ModY[6]);
}

TEST(CalEnd, Point1SitsAtAQuarterAboveIdleOnATableStep) {
    LineModel m = Straight(1, 0.8);
    PlacePoint1(m, 3.33);  // 1.25 x 3.33 = 4.1625 -> 32 steps
    EXPECT_NEAR(m.ModX[1], 4.096, 1e-9);
    EXPECT_NEAR(m.ModXDefault[1], 4.096, 1e-9);
    EXPECT_EQ(m.ModXShift[1], 0);
    EXPECT_NEAR(m.ModY[1], 4.096 + 0.8, 1e-9);
    PlacePoint1(m, 3.072);  // exactly 30 steps
    EXPECT_NEAR(m.ModX[1], 3.84, 1e-9);
}

TEST(CalEnd, FinalLimitsBringTheLineAndTheTableWithinTheConfiguration) {
    FinalLimitParams p;
    p.offsetMin = 0.1;
    p.offsetMax = 2.0;
    p.alfaMin = 0.75;
    p.alfaMax = 1.25;
    p.t1 = 8;
    p.t2 = 2;

    LineModel m = Straight(1, 0.8);
    FinalLimitResult r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_FALSE(r.Any());
    EXPECT_EQ(r.table, m.Table());

    m = Straight(1.3, 2.0);  // OFFSET at its largest: it alone is looked at
    r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_EQ(r.line, LimitApplied::None);
    m = Straight(1.3, 2.5);
    r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_EQ(r.line, LimitApplied::OffsetMax);
    EXPECT_EQ(m.OFFSET, 2.0);
    EXPECT_EQ(m.ALFA, 1.3);  // one limit only
    m = Straight(1.3, 0.8);
    r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_EQ(r.line, LimitApplied::AlfaMax);
    EXPECT_EQ(m.ALFA, 1.25);
    m = Straight(0.7, 0.05);
    r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_EQ(r.line, LimitApplied::OffsetMin);
    EXPECT_EQ(m.OFFSET, 0.1);

    // A point far above the band: entries past the idle time come down to
    // the smaller of 0.25 X + 2 and T1, those before it stay.
    m = Straight(1, 0.8);
    m.ModYShift[4] = 6.24;
    m.Recompute();
    r = ApplyFinalLimits(m, 3.3, p);
    EXPECT_EQ(r.line, LimitApplied::None);
    EXPECT_GT(r.entriesLowered, 0);
    EXPECT_EQ(r.entriesRaised, 0);
    EXPECT_TRUE(r.Any());
    EXPECT_NEAR(r.table[125], std::min(125 * 0.128 * 0.25 + 2.0, 8.0), 1e-9);
    EXPECT_EQ(r.table[10], m.Table()[10]);
    // Below the band: T2 - X near idle is the larger lower limit.
    m = Straight(1, 0.2);
    m.ModYShift[1] = -4.0;
    m.Recompute();
    r = ApplyFinalLimits(m, 1.0, p);
    EXPECT_GT(r.entriesRaised, 0);
    EXPECT_NEAR(r.table[10], 2.0 - 1.28, 1e-9);
}

TEST(CalEnd, TwoPointLineThroughBothBalances) {
    FinalLimitParams p;
    p.offsetMax = 2.0;
    // Needs 0.80 ms at 3.3 ms and 1.09 ms at 6.1 ms: slope 1.104.
    TwoPointLine l = TwoPointFromBalances(6.1, 1.092, 3.3, 0.8, p);
    ASSERT_TRUE(l.possible);
    EXPECT_FALSE(l.alfaLimited);
    EXPECT_NEAR(l.alfa, 1.104, 0.001);
    EXPECT_NEAR(l.offset + (l.alfa - 1) * 3.3, 0.8, 0.002);  // idle stays balanced
    // Beyond the slope's limit: ALFA held at 1.25, idle kept.
    l = TwoPointFromBalances(6.1, 2.0, 3.3, 1.0, p);
    EXPECT_TRUE(l.alfaLimited);
    EXPECT_EQ(l.alfa, 1.25);
    EXPECT_NEAR(l.offset, 1.0 - 0.25 * 3.3, 0.001);
    // OFFSET stays 0 or more.
    EXPECT_EQ(TwoPointFromBalances(6.1, 2.0, 3.3, 0.5, p).offset, 0);
    // Two petrol times too close: no line.
    EXPECT_FALSE(TwoPointFromBalances(3.5, 1.0, 3.3, 0.8, p).possible);
}

TEST(CalReport, EntriesAreWholeQuotedLines) {
    EXPECT_EQ(
        Calibration::ReportLine(QStringLiteral("TaraMax Ciclo 3 "), 6.06251, 6.1, -0.104, 0.832, 72,
                                1.0514),
        QStringLiteral(
            "TaraMax Ciclo 3  TInjRef 6,0625 TInjMed 6,1 TCorr -0,104 Offset 0,832 TempVap 72 "
            "PressVap 1,0514"));
    QTemporaryDir dir;
    const QString path = dir.path() + "/TaraCorr.txt";
    ASSERT_TRUE(Calibration::AppendReportEntry(path, QStringLiteral("a")));
    ASSERT_TRUE(Calibration::AppendReportEntry(path, QStringLiteral("b")));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("\"a\"\r\n\"b\"\r\n"));
    f.close();
    // An entry cut short by a crash is closed before the next one, which
    // stays whole on its own line.
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("\"TaraMin Ciclo 2  TInj");
    f.close();
    ASSERT_TRUE(Calibration::AppendReportEntry(path, QStringLiteral("c")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("\"a\"\r\n\"b\"\r\n\"TaraMin Ciclo 2  TInj\r\n\"c\"\r\n"));
}
