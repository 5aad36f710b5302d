// The automatic calibration against the simulated car, in virtual time:
// whole calibrations with the simulated fitter following the instructions,
// the report, the abort in every step, the engine check, and the accuracy
// against several hidden injector curves with and without the two-point
// line.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <cstdio>

#include "tests/ecu/CalRig.h"

using namespace gascal;
using gascal::test::CalRig;

namespace {

// A model that is plainly wrong for the simulated car: too rich at the top,
// too lean at idle.
LineModel WrongModel() {
    LineModel m;
    m.DisponiMatriceModDefault();
    m.ALFA = 0.93;
    m.OFFSET = 0.208;
    m.ModYShift[3] = 0.312;
    m.Recompute();
    return m;
}

// Writes a model to the ECU as the Modeling tab does, and waits for it.
void WriteModel(CalRig& r, const LineModel& m) {
    r.session->Model().SetModel(m);
    r.cycle->Scheduler().StartCorWrite();
    ASSERT_TRUE(r.RunUntil([&] { return r.cycle->Scheduler().Delays().DelayWriteCor == 0; }, 10));
}

QStringList FileLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromLatin1(f.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

}  // namespace

TEST(CalibrationOnSim, AWholeCalibrationFindsTheOffsetAndLogsEveryCycle) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    WriteModel(r, WrongModel());
    r.cal->OnChanged([&] {
        static QString last;
        if (qEnvironmentVariableIsSet("CAL_TRACE") && r.cal->Message() != last) {
            last = r.cal->Message();
            std::fprintf(stderr, "%8.2f [%d] %s\n", MicroSeconds() / 1e6, static_cast<int>(r.cal->State()),
                         qPrintable(last));
        }
    });
    std::vector<int> steps;
    r.cal->OnStepChanged([&](int s) { if (s >= 0) steps.push_back(s); });

    ASSERT_TRUE(r.Calibrate());
    EXPECT_EQ(r.cal->State(), CalState::End) << r.cal->Message().toStdString();
    EXPECT_EQ(steps, (std::vector<int>{0, 1, 2, 3}));
    // The raised speed held by the fitter and the idle were measured.
    EXPECT_GT(r.cal->RaisedRefRpm(), 1980);
    EXPECT_LT(r.cal->IdleRefRpm(), 1000);
    EXPECT_GT(r.cal->TInjRef(), r.cal->IdleRefTime() + 2);

    // OFFSET converged: the last cycles made no correction, and OFFSET
    // never left 0..2 ms (parameters 33 and 24).
    const auto& cycles = r.cal->Cycles();
    ASSERT_GE(cycles.size(), 6u);
    EXPECT_EQ(cycles.back().kind, CalCycle::TaraMin);
    EXPECT_EQ(cycles.back().correction, 0);
    for (const CalCycle& c : cycles) {
        EXPECT_GE(c.offsetAfter, 0);
        EXPECT_LE(c.offsetAfter, 2.0);
    }
    EXPECT_NEAR(r.model().OFFSET, r.cal->Result().savedOffset, 1e-9);
    // The ECU holds the model's table; point 1 sits at 1.25 x idle.
    EXPECT_NEAR(r.EcuEntry(kCorEntryOffset), r.model().OFFSET, 0.001);
    EXPECT_NEAR(r.EcuEntry(50), r.model().Table()[50], 0.008);
    EXPECT_NEAR(r.model().ModX[1],
                std::floor(1.25 * r.cal->IdleRefTime() / kTableStepMs) * kTableStepMs, 1e-9);

    // One report entry per cycle, in the file as they were told, quoted.
    const QStringList file = FileLines(r.ReportPath());
    ASSERT_EQ(file.size(), static_cast<int>(cycles.size()));
    ASSERT_EQ(r.entries.size(), file.size());
    const QRegularExpression shape(QStringLiteral(
        "^\"Tara(Max|Min) Ciclo (\\d+)  TInjRef -?[\\d,]+ TInjMed -?[\\d,]+ TCorr -?[\\d,]+ Offset -?[\\d,]+ "
        "TempVap -?[\\d,]+ PressVap -?[\\d,]+\"$"));
    int maxCycles = 0, minCycles = 0;
    for (int i = 0; i < file.size(); ++i) {
        EXPECT_EQ(file[i], QLatin1Char('"') + r.entries[i] + QLatin1Char('"'));
        const auto m = shape.match(file[i]);
        ASSERT_TRUE(m.hasMatch()) << file[i].toStdString();
        const int n = m.captured(2).toInt();
        if (m.captured(1) == QLatin1String("Max"))
            EXPECT_EQ(n, ++maxCycles);
        else
            EXPECT_EQ(n, ++minCycles);
        // The entry carries the cycle's own numbers.
        const CalCycle& c = cycles[static_cast<size_t>(i)];
        EXPECT_TRUE(file[i].contains(QStringLiteral(" Offset ") +
                                     QString::number(c.offsetBefore).replace(QLatin1Char('.'), QLatin1Char(','))))
            << file[i].toStdString();
    }
    EXPECT_GT(maxCycles, 0);
    EXPECT_GT(minCycles, 2);

    // "Yes": gas, and the ECU back in running mode; Timer3 stops.
    r.cal->CmdCalStart_Click();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 30));
    r.RunFor(1);
    EXPECT_TRUE(r.ecu->OnGas());
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
}

// After the calibration the car's petrol controller demands the same petrol
// time on gas as on petrol: within one OFFSET step at idle for every hidden
// curve. The single OFFSET cannot follow a slope that differs from the
// model's at the raised speed; the two-point line can, within the ALFA
// limits. The figures are printed for the record.
TEST(CalibrationAccuracy, ResidualsAtIdleAndRaisedSpeedForEveryCurve) {
    struct Row {
        const char* curve;
        bool twoPoint;
        double idle, raised, alfa, offset;
        bool alfaLimited;
    };
    std::vector<Row> rows;
    for (const char* const* name = sim::InjectorCurveNames(); *name; ++name) {
        for (const bool twoPoint : {false, true}) {
            SCOPED_TRACE(std::string(*name) + (twoPoint ? " two-point" : ""));
            CalRig r(CalRig::Options(*sim::NamedInjectorCurve(*name)));
            ASSERT_TRUE(r.GoOnline());
            WriteModel(r, WrongModel());
            r.cal->SetTwoPoint(twoPoint);
            ASSERT_TRUE(r.Calibrate());
            const CalResult& res = r.cal->Result();
            if (qEnvironmentVariableIsSet("CAL_TRACE"))
                for (const QString& e : r.entries) std::fprintf(stderr, "%s\n", qPrintable(e));
            const double idle = r.Residual(sim::FitterTask::Idle);
            const double raised = r.Residual(sim::FitterTask::RaisedSpeed);
            rows.push_back({*name, twoPoint, idle, raised, r.model().ALFA, r.model().OFFSET,
                            res.twoPoint.alfaLimited});
            EXPECT_LE(std::fabs(idle), kOffsetStepMs);
            if (twoPoint) {
                ASSERT_TRUE(res.twoPoint.possible);
                ASSERT_TRUE(res.residualRaisedBefore && res.residualRaisedAfter && res.residualIdleAfter);
                if (!res.twoPoint.alfaLimited) {
                    EXPECT_LE(std::fabs(raised), kOffsetStepMs);
                }
            }
        }
    }
    std::printf("\n%-8s %-10s %10s %12s %7s %8s\n", "curve", "two-point", "idle (ms)", "raised (ms)", "ALFA",
                "OFFSET");
    for (const Row& row : rows)
        std::printf("%-8s %-10s %+10.3f %+12.3f %7.3f %8.3f%s\n", row.curve, row.twoPoint ? "yes" : "no",
                    row.idle, row.raised, row.alfa, row.offset, row.alfaLimited ? " (ALFA limited)" : "");
}
