// The calibration as a step machine on the simulated car, in virtual time:
// where its backups come from, an abort while the ECU does not answer, the
// table that reaches the ECU after the final limits, and the counting rules
// of the cycles (table-driven).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "link/core/CommandTable.h"
#include "tests/ecu/CalRig.h"

using namespace gascal;
using gascal::test::CalRig;

namespace {

uint64_t Sent(const sim::SimEcu& ecu, uint8_t command) {
    const auto& m = ecu.Counters().perCommand;
    const auto it = m.find(command);
    return it == m.end() ? 0 : it->second;
}

QString Text(CalRig& r, CalText t) {
    return r.cal->Texts()[static_cast<int>(t)];
}

// Every message the calibration showed, in order, without repeats.
struct Messages {
    explicit Messages(CalRig& r) {
        r.cal->OnChanged([this, &r] {
            if (qEnvironmentVariableIsSet("CAL_TRACE"))
                std::fprintf(stderr, "%8.2f [%d] %s\n", MicroSeconds() / 1e6,
                             static_cast<int>(r.cal->State()),
                             qPrintable(r.cal->Message().left(50)));
            if (seen.isEmpty() || seen.last() != r.cal->Message()) seen << r.cal->Message();
        });
    }
    bool Any(const QString& text) const {
        for (const QString& m : seen)
            if (m.contains(text)) return true;
        return false;
    }
    QStringList seen;
};

}  // namespace

// "Yes" does nothing before the ECU's blocks have been read, and the
// backups are blocks read from this ECU in this calibration: an image the
// ECU never filled (or another car's) is never written back by an abort.
TEST(CalibrationBackups, YesWaitsForTheBlocksAndAnAbortNeverWritesAnImageTheEcuDidNotFill) {
    {
        CalRig r;
        EXPECT_FALSE(r.cal->StartEnabled());
        r.cal->Yes();
        EXPECT_EQ(r.cal->State(), CalState::Idle);
        EXPECT_FALSE(r.cal->Running());
        r.RunFor(1);
        EXPECT_EQ(Sent(*r.ecu, CMD_SET_ECU_SLAVE), 0u);
        ASSERT_TRUE(r.GoOnline());
        EXPECT_TRUE(r.cal->StartEnabled());
    }
    // Online, but the tool's image holds zeros (as before any read, or
    // another car's blocks); the key comes on a moment after "Yes", so the
    // engine check fails and the calibration aborts.
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    const auto mem2 = r.ecu->Working().mem2;
    const auto mem3 = r.ecu->Working().Mem3Config();
    const auto mem5 = r.ecu->Working().mem5;
    const auto table = r.ecu->Working().table;
    r.image().Mem3Block = Mem3Fields{};
    r.image().Mem5Block = Mem5Fields{};
    r.image().Mem2Block.RpmCompEnable = r.image().Mem2Block.VacuumAcqEnable = 0;
    r.ecu->SetEngineRunning(false);
    r.followInstructions = false;
    r.cal->Yes();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 120));
    EXPECT_EQ(r.ecu->Working().Mem3Config(), mem3);
    EXPECT_EQ(r.ecu->Working().mem5, mem5);
    for (const size_t i :
         {sim::mem2::WorkMode, sim::mem2::RpmCompEnable, sim::mem2::VacuumAcqEnable})
        EXPECT_EQ(r.ecu->Working().mem2[i], mem2[i]) << i;
    EXPECT_EQ(r.ecu->Working().table, table);
    EXPECT_EQ(Sent(*r.ecu, CMD_WRT_MEM3), 0u);
    EXPECT_EQ(Sent(*r.ecu, CMD_WRT_MEM5), 0u);
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);

    // With the engine running the same stale image is not what comes back
    // either: the backup is read at step 00.
    r.ecu->SetEngineRunning(true);
    r.followInstructions = true;
    r.image().Mem3Block = Mem3Fields{};
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::IdleSettle, 60));
    r.cal->Esc();
    r.cal->Esc();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
    EXPECT_EQ(r.ecu->Working().Mem3Config(), mem3);
    EXPECT_EQ(r.ecu->Working().mem5, mem5);
    EXPECT_EQ(r.ecu->Working().table, table);
}

// The ECU stops answering (cable pulled) once OFFSET has moved: the abort
// keeps trying, says nothing is back while it is not, and completes by
// itself when the ECU answers again.
TEST(CalibrationAbort, AnAbortKeepsTryingWhileTheEcuIsAbsentAndCompletesWhenItAnswers) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    const auto table = r.ecu->Working().table;
    const auto mem3 = r.ecu->Working().Mem3Config();
    const LineModel model = r.model();
    Messages messages(r);
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::TaraMaxSettle));
    ASSERT_NE(r.ecu->Working().table, table);
    r.ecu->Failures().deaf = 1;
    r.cal->Esc();
    r.cal->Esc();
    ASSERT_EQ(r.cal->State(), CalState::Abort);
    // 90 s later the ECU answers again. (The check runs as an event of its
    // own: the link's waits inside other handlers' exchanges go on meanwhile.)
    bool abortingThen = false, buttonsThen = true;
    QString messageThen;
    double backUs = 0;
    Events().Post(MicroSeconds() + 90e6, [&] {
        abortingThen = r.cal->State() == CalState::Abort;
        messageThen = r.cal->Message();
        buttonsThen = r.cal->StartEnabled() || r.cal->CancelEnabled();
        EXPECT_FALSE(messages.Any(Text(r, CalText::MsgAborted)));
        r.ecu->Failures().deaf = 0;
        backUs = MicroSeconds();
    });
    ASSERT_TRUE(r.RunUntil([&] { return backUs > 0 && !r.cal->Running(); }, 400));
    EXPECT_TRUE(abortingThen);
    EXPECT_EQ(messageThen, Text(r, CalText::MsgRestoring));
    EXPECT_FALSE(buttonsThen);
    // Everything goes back without a click, within a round of retries.
    EXPECT_LT(MicroSeconds() - backUs, 60e6);
    EXPECT_EQ(r.ecu->Working().table, table);
    EXPECT_EQ(r.ecu->Working().Mem3Config(), mem3);
    EXPECT_EQ(r.model(), model);
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(r.cal->NotRestored(), 0);
    EXPECT_TRUE(messages.Any(Text(r, CalText::MsgAborted)));
}

// The ECU never comes back: after 2 minutes the abort names what it could
// not put back, and never said that it had.
TEST(CalibrationAbort, AnAbortGivesUpAfterTwoMinutesAndNamesWhatIsNotBack) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    Messages messages(r);
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::TaraMaxSettle));
    r.ecu->Failures().deaf = 1;
    r.cal->RequestAbort();
    const double abortUs = MicroSeconds();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 600));
    EXPECT_GE(MicroSeconds() - abortUs, kRestoreRetryUs);
    EXPECT_EQ(r.cal->NotRestored(),
              RestoreRunning | RestoreBlock2 | RestoreBlock3 | RestoreBlock5 | RestoreTable);
    EXPECT_FALSE(messages.Any(Text(r, CalText::MsgAborted)));
    for (const CalText part : {CalText::PartRunning, CalText::PartBlock3, CalText::PartTable})
        EXPECT_TRUE(r.cal->Message().contains(Text(r, part))) << r.cal->Message().toStdString();
}

// The link goes silent right after a cycle: the engine message counts down
// and the calibration aborts, whatever exchange was left over; the car is
// put back once the ECU answers.
TEST(CalibrationAbort, ASilentEcuMidCycleShowsTheEngineMessageAndAborts) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    const auto table = r.ecu->Working().table;
    // Deaf as soon as the ECU goes back to petrol after the first cycle on gas.
    bool armed = true;
    r.ecu->SetWriteObserver(
        [&](uint8_t cmd, const sim::ConfigImage& before, const sim::ConfigImage& after) {
            if (armed && cmd == CMD_WRT_MEM2 && before.WorkMode() == 3 && after.WorkMode() == 0 &&
                r.cal->State() == CalState::TaraMax) {
                armed = false;
                r.ecu->Failures().deaf = 1;
            }
        });
    Messages messages(r);
    // The ECU answers again once the abort has begun.
    std::vector<int> countdown;
    bool aborted = false;
    r.cal->OnChanged([&] {
        if (!armed && r.cal->EngineMessageTicks() > 0)
            countdown.push_back(r.cal->EngineMessageTicks());
        if (!aborted && r.cal->State() == CalState::Abort) {
            aborted = true;
            r.ecu->Failures().deaf = 0;
        }
    });
    r.cal->Yes();
    ASSERT_TRUE(r.RunUntil([&] { return aborted && !r.cal->Running(); }, 900));
    EXPECT_FALSE(armed);
    EXPECT_TRUE(messages.Any(Text(r, CalText::MsgNotReady).arg(2)));
    ASSERT_GE(countdown.size(), 9u);
    EXPECT_EQ(countdown.front(), 9);
    EXPECT_EQ(countdown.back(), 1);
    EXPECT_EQ(r.ecu->Working().table, table);
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(r.cal->NotRestored(), 0);
}

// A limit on the table entries (T1 of the injector type) gives state 21;
// the ECU then holds the model's own table, so a saved file (the table
// rebuilt from the model) and the Modeling tab's next read (the model
// rebuilt from the ECU's table) agree with it.
TEST(CalibrationEnd, AfterTheFinalLimitsTheModelTheEcuAndTheFileHoldOneTable) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    ScaleConfig& scale = r.session->Scale();
    const int type = scale.InjectorIndexByCode(r.image().Mem3Block.InjTypeCode);
    ASSERT_GE(type, 0);
    scale.InjectorType[static_cast<size_t>(type)].CalValue1 = 0.4;
    ASSERT_TRUE(r.Calibrate());
    ASSERT_EQ(r.cal->State(), CalState::EndWithLimit) << r.cal->Message().toStdString();
    EXPECT_GT(r.cal->Result().limits.entriesLowered, 0);
    const auto check = [&] {
        const CorTableArray model = r.model().Table();
        for (int k = 0; k < kCorTimeEntries; ++k)
            ASSERT_NEAR(r.EcuEntry(k), model[static_cast<size_t>(k)], 0.008) << k;
        ASSERT_NEAR(r.EcuEntry(kCorEntryOffset), r.model().OFFSET, 0.001);
        // What "Save configuration" writes is the table built from the model.
        r.session->BuildTableFromModel();
        EXPECT_EQ(r.image().CorTable, model);
        // The Modeling tab's next read gives the same model back.
        ASSERT_TRUE(DirectRequests(*r.session).ReadTable());
        LineModel read = r.model();
        CorTableArray ecuTable = r.image().CorTableEcu;
        read.FromTable(ecuTable);
        EXPECT_EQ(read.Table(), model);
    };
    check();
    // "Yes" keeps the result, "Yes" again switches to gas: still one table.
    r.cal->Yes();
    EXPECT_EQ(r.cal->State(), CalState::End);
    r.cal->Yes();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
    EXPECT_TRUE(r.ecu->OnGas());
    check();
}

namespace {

void SetParam(CalRig& r, int n, double v) {
    r.session->Scale().CalParams[static_cast<size_t>(n)] = CalibrationParam{v, true};
}

// The steps each settle took: a tick publishes once, and the step that
// ends a cycle publishes the settle state first.
struct Ticks {
    explicit Ticks(CalRig& r) {
        r.cal->OnChanged([this, &r] {
            const CalState s = r.cal->State();
            const bool settle = s == CalState::TaraMaxSettle || s == CalState::TaraMinSettle;
            if (settle && s != last)
                (s == CalState::TaraMaxSettle ? maxSettle : minSettle).push_back(0);
            if (settle) ++(s == CalState::TaraMaxSettle ? maxSettle : minSettle).back();
            last = s;
        });
    }
    CalState last = CalState::Idle;
    std::vector<int> maxSettle, minSettle;
};

std::vector<int> Samples(const CalRig& r, CalCycle::Kind kind) {
    std::vector<int> out;
    for (const CalCycle& c : r.cal->Cycles())
        if (c.kind == kind) out.push_back(c.samples);
    return out;
}

}  // namespace

// The counting rules of steps 02 and 03, with the corrections' gains at 0
// (every cycle ends without a correction, so only the counts decide): the
// first cycles' fixed lengths (4, 6 ticks at raised speed; 6, 4 at idle;
// the first tick of a cycle clears the sums) and settle counts (8 and 4),
// then parameters 6, 7, 17, 18; each step ends on its stable-cycle count
// (8, 19) or its cycle count (9, 22), whichever comes first; the first two
// idle cycles never count as stable.
TEST(CalibrationRules, CycleLengthsSettleCountsAndStepEnds) {
    struct Row {
        const char* what;
        int p6, p7, p17, p18;
        int p8, p9, p19, p22;
        std::vector<int> maxSamples, maxSettle, minSamples, minSettle;
    };
    const Row rows[] = {
        {"step ends on the cycle counts",
         5,
         3,
         7,
         2,
         10,
         3,
         10,
         4,
         /*TaraMax*/ {3, 5, 4},
         {8, 3},
         /*TaraMin*/ {5, 3, 6, 6},
         {4, 2, 2}},
        {"step ends on the stable counts",
         10,
         10,
         10,
         6,
         2,
         10,
         1,
         10,
         /*TaraMax*/ {3, 5},
         {8},
         /*TaraMin: cycle 3 is the first stable one*/ {5, 3, 9},
         {4, 6}},
        {"stable cycles from the third idle cycle on",
         10,
         10,
         8,
         3,
         1,
         10,
         2,
         10,
         /*TaraMax*/ {3},
         {},
         /*TaraMin*/ {5, 3, 7, 7},
         {4, 3, 3}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CalRig r;
        ASSERT_TRUE(r.GoOnline());
        const std::pair<int, int> params[] = {
            {6, row.p6}, {7, row.p7},   {17, row.p17}, {18, row.p18}, {8, row.p8},
            {9, row.p9}, {19, row.p19}, {22, row.p22}, {13, 0},       {21, 0}};
        for (const auto& [n, v] : params) SetParam(r, n, v);
        Ticks ticks(r);
        ASSERT_TRUE(r.Calibrate());
        EXPECT_EQ(Samples(r, CalCycle::TaraMax), row.maxSamples);
        EXPECT_EQ(ticks.maxSettle, row.maxSettle);
        EXPECT_EQ(Samples(r, CalCycle::TaraMin), row.minSamples);
        EXPECT_EQ(ticks.minSettle, row.minSettle);
        for (const CalCycle& c : r.cal->Cycles()) EXPECT_EQ(c.correction, 0);
    }
}

// The engine check's other reasons: the ECU leaves slave mode mid-cycle
// (the engine message says so and counts down to the abort), and a
// parameter file being loaded keeps Timer3 from reading.
TEST(CalibrationRules, NotInSlaveModeAbortsAndALoadPausesTheReads) {
    {
        CalRig r;
        ASSERT_TRUE(r.GoOnline());
        const auto table = r.ecu->Working().table;
        Messages messages(r);
        r.cal->Yes();
        ASSERT_TRUE(r.RunToState(CalState::TaraMaxSettle));
        ASSERT_TRUE(DirectRequests(*r.session).Try([&] {
            return r.session->Requests().SendFixed(FRAME_SET_ECU_RUN);
        }));
        ASSERT_TRUE(r.RunToState(CalState::Abort, 10));
        EXPECT_TRUE(messages.Any(Text(r, CalText::MsgNotSlave).arg(2)));
        ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
        EXPECT_EQ(r.ecu->Working().table, table);
        EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
    }
    CalRig r;
    bool loading = false;
    r.cal->SetLoadingConfig([&] { return loading; });
    ASSERT_TRUE(r.GoOnline());
    r.cal->Yes();
    ASSERT_TRUE(r.RunToState(CalState::IdleSettle));
    // Only Timer3 talks to the ECU meanwhile.
    r.cycle->PollTimer().SetEnabled(false);
    for (const bool load : {false, true}) {
        loading = load;
        const uint64_t before = Sent(*r.ecu, CMD_READ_MEM1) + Sent(*r.ecu, CMD_READ_MEM2);
        r.RunFor(2);
        const uint64_t reads = Sent(*r.ecu, CMD_READ_MEM1) + Sent(*r.ecu, CMD_READ_MEM2) - before;
        if (load)
            EXPECT_EQ(reads, 0u);
        else
            EXPECT_GE(reads, 14u);
    }
}

// "Yes" at the result when the ECU refuses the switch to gas: the result
// stays (state 20), the message says so and "Yes" may be pressed again,
// which then ends the calibration on gas.
TEST(CalibrationRules, YesAtTheEndWhenTheSwitchToGasFails) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    ASSERT_TRUE(r.Calibrate());
    if (r.cal->State() == CalState::EndWithLimit) r.cal->Yes();
    ASSERT_EQ(r.cal->State(), CalState::End);
    // The ECU refuses the block-2 write that follows Timer3's reads (block
    // 1, then block 2) at all three attempts (each sent 11 times); between
    // the attempts it answers, so the link comes back.
    constexpr int kRefusals = kRequestAttempts * 11;
    enum { Armed, Refusing, Done } stage = Armed;
    uint8_t previous = 0;
    int refused = 0;
    r.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t status, const char*) {
        sim::FailureSettings& f = r.ecu->Failures();
        if (stage == Armed && cmd == CMD_READ_MEM2 && previous == CMD_READ_MEM1) {
            stage = Refusing;
            f.status254 = 1;
        } else if (stage == Refusing) {
            if (cmd == CMD_WRT_MEM2 && status == 254) ++refused;
            if (refused == kRefusals) stage = Done;
            // After an attempt's last send the link is let back; its next
            // attempt is refused again.
            f.status254 = stage == Refusing && (refused % 11 != 0 || cmd != CMD_WRT_MEM2) ? 1 : 0;
        }
        previous = cmd;
    });
    Messages messages(r);
    r.cal->Yes();
    EXPECT_FALSE(r.cal->StartEnabled());  // pressed once
    ASSERT_TRUE(r.RunUntil([&] { return r.cal->Message() == Text(r, CalText::MsgGasFailed); }, 60));
    EXPECT_EQ(stage, Done);
    EXPECT_EQ(r.cal->State(), CalState::End);
    EXPECT_TRUE(r.cal->StartEnabled());
    EXPECT_TRUE(r.cal->CancelEnabled());
    EXPECT_FALSE(r.ecu->OnGas());
    EXPECT_EQ(r.image().PendingEdits.Mem2Block.WorkMode, kPendingByte);
    r.RunFor(5);
    EXPECT_EQ(r.cal->State(), CalState::End);
    r.cal->Yes();
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
    EXPECT_TRUE(r.ecu->OnGas());
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
}

// No step waits: a whole calibration and an abort against a silent ECU (the
// driver's exchanges wait a lot) report no wait made inside a step, while
// the steps do run marked (the model moves inside them) and a wait inside a
// marked step is reported.
TEST(CalibrationSteps, NoStepWaitsAndTheMarkIsOnTheSteps) {
    std::vector<std::string> waits;
    SetStepWaitHandler([&](const char* workflow, const char* wait) {
        waits.push_back(std::string(workflow) + ": " + wait);
    });
    {
        CalRig r;
        ASSERT_TRUE(r.GoOnline());
        int changedInStep = 0, changedOutside = 0;
        r.session->Model().OnModelChanged([&] {
            const char* step = CurrentWorkflowStep();
            (step && std::string(step) == "calibration" ? changedInStep : changedOutside)++;
        });
        ASSERT_TRUE(r.Calibrate());
        EXPECT_GT(changedInStep, 3);
        EXPECT_EQ(changedOutside, 0);
        r.cal->Yes();
        ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 60));
        r.cal->Yes();
        ASSERT_TRUE(r.RunToState(CalState::TaraMaxSettle));
        r.ecu->Failures().deaf = 1;
        r.cal->RequestAbort();
        ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 600));
    }
    EXPECT_TRUE(waits.empty()) << waits.front();
    {
        WorkflowStep step("calibration");
        WaitMicroSeconds(10);
    }
    EXPECT_EQ(waits.size(), 1u);
    SetStepWaitHandler([](const char* workflow, const char* wait) {
        ADD_FAILURE() << "a step of " << workflow << " waited (" << wait << ")";
    });
}

// A table write the ECU does not take holds the next measurement, not the
// engine check: the engine stopping meanwhile still shows the engine
// message and aborts, and the restore puts everything back.
TEST(CalibrationAbort, APendingTableWriteDoesNotHoldTheEngineCheck) {
    CalRig r;
    ASSERT_TRUE(r.GoOnline());
    const auto table = r.ecu->Working().table;
    // At the end of the first cycle on gas the ECU stops taking the table
    // and the engine stops.
    bool armed = true;
    r.ecu->SetWriteObserver(
        [&](uint8_t cmd, const sim::ConfigImage& before, const sim::ConfigImage& after) {
            if (armed && cmd == CMD_WRT_MEM2 && before.WorkMode() == 3 && after.WorkMode() == 0 &&
                r.cal->State() == CalState::TaraMax) {
                armed = false;
                r.followInstructions = false;
                r.ecu->Failures().refuseCommand = CMD_WRT_TBL_COR;
                r.ecu->SetEngineRunning(false);
            }
        });
    Messages messages(r);
    bool aborted = false;
    r.cal->OnChanged([&] {
        if (!aborted && r.cal->State() == CalState::Abort) {
            aborted = true;
            r.ecu->Failures().refuseCommand = -1;
        }
    });
    r.cal->Yes();
    ASSERT_TRUE(r.RunUntil([&] { return !armed; }, 600));
    ASSERT_TRUE(r.RunUntil([&] { return aborted; }, 300));
    EXPECT_GT(r.ecu->Counters().injected254, 0u);
    EXPECT_TRUE(messages.Any(Text(r, CalText::MsgEngineStopped).arg(2)));
    ASSERT_TRUE(r.RunUntil([&] { return !r.cal->Running(); }, 120));
    EXPECT_EQ(r.ecu->Working().table, table);
    EXPECT_EQ(r.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(r.cal->NotRestored(), 0);
}
