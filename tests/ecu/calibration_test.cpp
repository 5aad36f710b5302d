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
    m.SetDefaults();
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
            std::fprintf(stderr, "%8.2f [%d] %s\n", MicroSeconds() / 1e6,
                         static_cast<int>(r.cal->State()), qPrintable(last));
        }
    });
    std::vector<int> steps;
    r.cal->OnStepChanged([&](int s) {
        if (s >= 0) steps.push_back(s);
    });

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
    const QRegularExpression shape(
        QStringLiteral("^\"Tara(Max|Min) Ciclo (\\d+)  TInjRef -?[\\d,]+ TInjMed -?[\\d,]+ TCorr "
                       "-?[\\d,]+ Offset -?[\\d,]+ "
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
        EXPECT_TRUE(file[i].contains(
            QStringLiteral(" Offset ") +
            QString::number(c.offsetBefore).replace(QLatin1Char('.'), QLatin1Char(','))))
            << file[i].toStdString();
    }
    EXPECT_GT(maxCycles, 0);
    EXPECT_GT(minCycles, 2);

    // "Yes": gas, and the ECU back in running mode; Timer3 stops.
    r.cal->Yes();
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
                ASSERT_TRUE(res.residualRaisedBefore && res.residualRaisedAfter &&
                            res.residualIdleAfter);
                if (!res.twoPoint.alfaLimited) {
                    EXPECT_LE(std::fabs(raised), kOffsetStepMs);
                }
            }
        }
    }
    std::printf("\n%-8s %-10s %10s %12s %7s %8s\n", "curve", "two-point", "idle (ms)",
                "raised (ms)", "ALFA", "OFFSET");
    for (const Row& row : rows)
        std::printf("%-8s %-10s %+10.3f %+12.3f %7.3f %8.3f%s\n", row.curve,
                    row.twoPoint ? "yes" : "no", row.idle, row.raised, row.alfa, row.offset,
                    row.alfaLimited ? " (ALFA limited)" : "");
}

namespace {

// What an abort must put back, as the ECU holds it: block 3 as a
// configuration (an injector's state on gas is the ECU's own, a fitted
// injector counts as 1).
struct EcuSnapshot {
    std::array<uint8_t, sim::kMem3Size> mem3;
    std::array<uint8_t, sim::kMem5Size> mem5;
    std::array<uint8_t, sim::kTableEntries * 2> table;
    int workMode;
    LineModel model;
    static EcuSnapshot Of(CalRig& r) {
        const sim::ConfigImage& w = r.ecu->Working();
        return {w.Mem3Config(), w.mem5, w.table, w.WorkMode(), r.model()};
    }
};

void ExpectRestored(CalRig& r, const EcuSnapshot& before) {
    const EcuSnapshot now = EcuSnapshot::Of(r);
    EXPECT_EQ(now.mem3, before.mem3);
    EXPECT_EQ(now.mem5, before.mem5);
    EXPECT_EQ(now.table, before.table);
    EXPECT_EQ(now.workMode, before.workMode);
    EXPECT_EQ(now.model, before.model);
    EXPECT_NEAR(r.model().OFFSET, before.model.OFFSET, 1e-12);
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(r.cal->State(), CalState::Idle);
    EXPECT_FALSE(r.cal->Running());
    // The injectors' states were left to the ECU: on gas it drives every
    // fitted injector (3); a restore that wrote back the states of the start
    // would leave them fitted but undriven (1) on gas.
    for (int i = 0; i < 8; ++i) {
        const bool fitted = before.mem3[sim::CylOffset(sim::mem3::InjEnable, i, 1)] != 0;
        EXPECT_EQ(r.ecu->Working().InjState(i), !fitted          ? 0
                                                : r.ecu->OnGas() ? 3
                                                                 : 1)
            << "injector " << i + 1;
    }
}

// "Esc", then "Esc" at the question, and the abort runs to its end.
void EscEsc(CalRig& r) {
    r.cal->Esc();
    ASSERT_EQ(r.cal->State(), CalState::AbortQuestion);
    r.cal->Esc();
    ASSERT_EQ(r.cal->State(), CalState::Abort);
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
    r.RunFor(1);
}

}  // namespace

TEST(CalibrationAbort, AnAbortInEveryStepPutsEverythingBack) {
    const CalState where[] = {CalState::IdleSettle,    CalState::IdleReference,
                              CalState::RaisedWait,    CalState::RaisedReference,
                              CalState::TaraMax,       CalState::TaraMaxSettle,
                              CalState::IdleWait,      CalState::TaraMin,
                              CalState::TaraMinSettle, CalState::End};
    for (const CalState st : where) {
        SCOPED_TRACE(static_cast<int>(st));
        CalRig r;
        ASSERT_TRUE(r.GoOnline());
        WriteModel(r, WrongModel());
        const EcuSnapshot before = EcuSnapshot::Of(r);
        r.cal->Yes();
        ASSERT_TRUE(r.RunToState(st));
        if (st == CalState::TaraMaxSettle) {
            // OFFSET has moved and the table with it.
            EXPECT_NE(r.ecu->Working().table, before.table);
            EXPECT_NE(r.model().OFFSET, before.model.OFFSET);
        }
        EscEsc(r);
        ExpectRestored(r, before);
        EXPECT_EQ(r.cal->Message(), r.cal->Texts()[static_cast<int>(CalText::MsgIdle)]);
    }
    // Step 00: a cold engine waits for the gas temperature.
    CalRig cold(CalRig::Options());
    cold.ecu->Engine().SetWarm(false);
    ASSERT_TRUE(cold.GoOnline());
    const EcuSnapshot before = EcuSnapshot::Of(cold);
    cold.cal->Yes();
    ASSERT_TRUE(cold.RunToState(CalState::WaitGasTemp));
    cold.RunFor(2);
    EXPECT_TRUE(cold.cal->TempOutOfRange());
    EXPECT_TRUE(cold.cal->Message().contains(QStringLiteral(" < 50,00")))
        << cold.cal->Message().toStdString();
    EXPECT_EQ(cold.ecu->Mode(), sim::EcuMode::Slave);
    EscEsc(cold);
    ExpectRestored(cold, before);
}

TEST(CalibrationAbort, YesAtTheQuestionGoesOnWhereItWas) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::TaraMax));
    r.cal->Esc();
    EXPECT_EQ(r.cal->State(), CalState::AbortQuestion);
    EXPECT_EQ(r.cal->Instruction(), CalInstruction::RaisedSpeed);  // the fitter keeps the speed
    EXPECT_TRUE(r.cal->StartEnabled());
    EXPECT_TRUE(r.cal->CancelEnabled());
    r.RunFor(5);  // the question waits
    EXPECT_EQ(r.cal->State(), CalState::AbortQuestion);
    r.cal->Yes();
    EXPECT_EQ(r.cal->State(), CalState::TaraMax);
    ASSERT_TRUE(r.RunUntil([&] { return r.cal->State() == CalState::End; }, 600));
}

TEST(CalibrationAbort, TheEngineCheckAbortsNineTicksLaterAndAtOnceWhileWarmingUp) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    WriteModel(r, WrongModel());
    const EcuSnapshot before = EcuSnapshot::Of(r);
    std::vector<std::pair<CalState, int>> ticks;
    r.cal->OnChanged([&] { ticks.emplace_back(r.cal->State(), r.cal->EngineMessageTicks()); });
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::TaraMax));
    r.followInstructions = false;
    r.ecu->SetEngineRunning(false);
    ticks.clear();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
    // The message counts 9 .. 1 on nine ticks in the cycle's state, then the
    // calibration aborts.
    auto first =
        std::find_if(ticks.begin(), ticks.end(), [](const auto& t) { return t.second > 0; });
    ASSERT_NE(first, ticks.end());
    for (int left = 9; left >= 1; --left, ++first) {
        ASSERT_NE(first, ticks.end());
        EXPECT_EQ(first->first, CalState::TaraMax);
        EXPECT_EQ(first->second, left);
    }
    ASSERT_NE(first, ticks.end());
    EXPECT_EQ(first->first, CalState::Abort);
    r.RunFor(1);
    ExpectRestored(r, before);

    // While waiting for the gas temperature the first failing tick aborts.
    CalRig cold;
    cold.ecu->Engine().SetWarm(false);
    ASSERT_TRUE(cold.GoOnline());
    std::vector<std::pair<CalState, int>> coldTicks;
    cold.cal->OnChanged(
        [&] { coldTicks.emplace_back(cold.cal->State(), cold.cal->EngineMessageTicks()); });
    cold.cal->Yes();
    ASSERT_TRUE(cold.RunToState(CalState::WaitGasTemp));
    cold.followInstructions = false;
    cold.ecu->SetEngineRunning(false);
    ASSERT_TRUE(cold.RunToState(CalState::Abort, 10));
    EXPECT_EQ(coldTicks[coldTicks.size() - 2].first, CalState::WaitGasTemp);
    EXPECT_EQ(cold.cal->EngineMessageTicks(), 0);
    ASSERT_TRUE(cold.RunUntil([&] { return !cold.cal->Running(); }, 30));
    EXPECT_EQ(cold.ecu->Mode(), sim::EcuMode::Run);
}

// The settings an abort puts back are those before this calibration's
// "Yes", not those of an earlier calibration: a setting changed in between
// stays.
TEST(CalibrationAbort, TheBackupIsTakenAtEveryStart) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    ASSERT_TRUE(r.Calibrate());
    r.cal->Yes();  // gas, and the end
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 30));
    const int switchTemp = static_cast<int>(r.image().Mem3Block.SwitchTempRaw) + 5;
    r.image().PendingEdits.Mem3Block.SwitchTempRaw = switchTemp;
    ASSERT_EQ(DirectRequests(*r.session).WriteBlocks({3}).failed, DirectRequests::WriteStep::Done);
    ASSERT_EQ(r.ecu->Working().SwitchTempC(), switchTemp);
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::RaisedWait));
    EscEsc(r);
    EXPECT_EQ(r.ecu->Working().SwitchTempC(), switchTemp);
}

// The cable pulled for a moment while the calibration writes the table of
// its result: when the link is back, the first refresh reads the ECU's
// table. The running calibration alone moves the model: it is not rebuilt
// from that table (a model rebuilt from a table can differ from the model
// the table came from by a count), so the result shown is the table the
// ECU holds.
TEST(CalibrationOnSim, ALinkResetDuringTheCalibrationLeavesItsModelAlone) {
    CalRig rig;
    // As the window wires them.
    rig.cycle->SetCalibrationHooks(
        {[&] { return rig.cal->Running(); }, [&] { rig.cal->EndForClose(); }});
    ASSERT_TRUE(rig.GoOnline());
    WriteModel(rig, WrongModel());
    bool pulled = false;
    int chunks = 0;
    LineModel atPull;
    rig.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        const CalState s = rig.cal->State();
        if (pulled || cmd != sim::CMD_WRT_TBL_COR ||
            (s != CalState::End && s != CalState::EndWithLimit) || ++chunks != 2)
            return;
        pulled = true;
        atPull = rig.session->Model().Model();
        rig.ev.Post(MicroSeconds(), [&] { rig.ecu->Vanish(1e6, MicroSeconds()); });
    });
    const int refreshes = rig.cycle->FirstRefreshCount();
    rig.cal->Yes();
    ASSERT_TRUE(rig.RunUntil([&] { return pulled; }, 900));
    ASSERT_TRUE(rig.RunUntil([&] { return rig.cycle->FirstRefreshCount() > refreshes; }, 120));
    rig.ecu->SetRequestObserver(nullptr);
    EXPECT_TRUE(rig.cal->Running());
    EXPECT_EQ(rig.session->Model().Model(), atPull);
    rig.RunFor(5);
    // The table of the result's model, as it travels, is the ECU's.
    ParamImage result = rig.image();
    result.SetHost(nullptr);
    result.CorTable = rig.session->Model().Model().Table();
    std::vector<uint8_t> want;
    for (int start = 0; start < kCorTableSize; start += kCorChunkCount) {
        const std::vector<uint8_t> chunk = result.BuildCorChunk(start);
        want.insert(want.end(), chunk.begin() + 2, chunk.end());
    }
    const auto& ecuTable = rig.ecu->Working().table;
    EXPECT_EQ(want, std::vector<uint8_t>(ecuTable.begin(), ecuTable.end()));
}
