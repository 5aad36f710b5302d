// The switchover and system settings of the Configuration tab: every change
// handler stores its value in PendingEdits and starts the write delay of its
// block; the lists keep showing picks not yet written; entries the ECU
// cannot take are refused. The window is loaded (lists filled) but no time
// passes, so nothing is sent.
#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "data/core/ScaleConfig.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimLayout.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

int IndexOf(const EntryList& l, double v) {
    for (size_t i = 0; i < l.size(); ++i)
        if (std::abs(l[i].value - v) < 1e-9) return static_cast<int>(i);
    return -1;
}

// A loaded window whose lists come from the shipped scale configuration.
struct Loaded {
    Loaded() {
        s.Start();
        s.tool().LinkTimer().SetEnabled(false);
        s.cycle().PollTimer().SetEnabled(false);
    }
    MainController& ctl() { return s.ctl(); }
    SettingsModel& settings() { return s.settings(); }
    PollingCycle& cycle() { return s.cycle(); }
    RequestScheduler& sched() { return s.sched(); }
    ParamImage& image() { return s.image(); }
    Mem3Fields& p3() { return image().PendingEdits.Mem3Block; }
    Mem5Fields& p5() { return image().PendingEdits.Mem5Block; }
    const SwitchLists& lists() { return settings().Lists(); }
    // No edit, write, delay or sample clear waiting.
    void Forget() {
        sched().ForgetWrites();
        sched().Withdraw(Request::CancSmplGas);
        sched().Withdraw(Request::CancSmplBnz);
    }
    SimSession s;
};

enum class Delay { Mem3, Mem5, Samples };

struct HandlerCase {
    const char* name;
    std::function<void(Loaded&)> pick;
    std::function<void(Loaded&)> check;
    Delay delay;
};

}  // namespace

TEST(MainCtlSettings, EveryChangeHandlerStoresItsValueAndStartsItsDelay) {
    Loaded w;
    const auto at = [&](const EntryList& l, double v) {
        const int i = IndexOf(l, v);
        EXPECT_GE(i, 0) << "no entry " << v;
        return i;
    };
    const ScaleConfig& scale = w.s.scale();
    ASSERT_GE(w.lists().lambda.size(), 2u);
    ASSERT_GE(w.lists().level.size(), 2u);
    ASSERT_GE(w.lists().injector.size(), 2u);
    ASSERT_GE(w.lists().shoRpmPairs.size(), 2u);

    const std::vector<HandlerCase> cases = {
        {"CmbSwtchRpm", [&](Loaded& l) { l.settings().CmbSwtchRpm_Click(at(l.lists().rpm, 2000)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchRpm, 2000); }, Delay::Mem3},
        {"CmbSwtchDelay", [&](Loaded& l) { l.settings().CmbSwtchDelay_Click(2); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchDelay, l.settings().DelayList()[2].value); },
         Delay::Mem3},
        {"CmbSwtchBar 0.8 stores 800",
         [&](Loaded& l) { l.settings().CmbSwtchBar_Click(at(l.lists().bar, 0.8)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchPressRaw, 800); }, Delay::Mem3},
        {"CmbSwtchDelayPress",
         [&](Loaded& l) { l.settings().CmbSwtchDelayPress_Click(at(l.lists().delayPress, 1.5)); },
         [](Loaded& l) { EXPECT_DOUBLE_EQ(l.p3().SwitchPressDelay, 1.5); }, Delay::Mem3},
        {"CmbSwtchForce",
         [&](Loaded& l) { l.settings().CmbSwtchForce_Click(at(l.lists().force, 60)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().ForceTime, 60); }, Delay::Mem3},
        {"CmbSwtchBobine",
         [&](Loaded& l) { l.settings().CmbSwtchBobine_Click(at(l.lists().coils, 6)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().NumCoils, 6); }, Delay::Mem3},
        {"CmbSwtchCilindri",
         [&](Loaded& l) { l.settings().CmbSwtchCilindri_Click(at(l.lists().cylinders, 6)); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().NumCylinders, 6);
             EXPECT_EQ(l.p3().InjEnable[6], 0);
             EXPECT_EQ(l.p3().InjEnable[7], 0);
             EXPECT_EQ(l.p3().InjEnable[5], kPendingByte);
             EXPECT_EQ(l.cycle().Injectors().State(), 3);
             EXPECT_EQ(l.cycle().Injectors().Index(), 6);
             EXPECT_EQ(l.cycle().Injectors().What(), InjModeRequest::BelowCount);
         },
         Delay::Mem3},
        {"CmbSwtchLambdaType", [&](Loaded& l) { l.settings().CmbSwtchLambdaType_Click(1); },
         [&](Loaded& l) {
             const int code = l.lists().lambda[1].code;
             EXPECT_EQ(l.p3().LambdaTypeCode, code);
             const auto* t = scale.LambdaAt(scale.LambdaIndexByCode(code));
             ASSERT_NE(t, nullptr);
             EXPECT_DOUBLE_EQ(l.settings().LambdaFactor(), t->Factor);
         },
         Delay::Mem3},
        {"OptTypFuel Cng", [](Loaded& l) { l.settings().OptTypFuel_Click(0); },
         [](Loaded& l) { EXPECT_EQ(l.p3().FuelType, 0); }, Delay::Mem3},
        {"OptTypFuel Lpg", [](Loaded& l) { l.settings().OptTypFuel_Click(1); },
         [](Loaded& l) { EXPECT_EQ(l.p3().FuelType, 1); }, Delay::Mem3},
        {"CmbTpyGLS", [](Loaded& l) { l.settings().CmbTpyGLS_Click(1); },
         [&](Loaded& l) {
             const auto* t = scale.LevelAt(scale.LevelIndexByCode(l.lists().level[1].code));
             ASSERT_NE(t, nullptr);
             EXPECT_EQ(l.p3().LevelTypeCode, t->Code);
             EXPECT_EQ(l.p3().LevelThresholds, t->Thresholds);
         },
         Delay::Mem3},
        {"CmbTpyInj answered Yes",
         [](Loaded& l) {
             l.s.prompts.answers.push_back(BoxResult::Yes);
             l.settings().CmbTpyInj_Click(1);
         },
         [&](Loaded& l) {
             const auto* t =
                 scale.InjectorAt(scale.InjectorIndexByCode(l.lists().injector[1].code));
             ASSERT_NE(t, nullptr);
             EXPECT_EQ(l.p3().InjTypeCode, t->Code);
             EXPECT_DOUBLE_EQ(l.p3().InjOpenTime, t->OpenTime);
             EXPECT_DOUBLE_EQ(l.p3().InjPwmTime1, t->PwmTime1);
             EXPECT_DOUBLE_EQ(l.p3().InjPwmTime2, t->PwmTime2);
         },
         Delay::Mem3},
        {"CmbEmptyGas 0 clears the volumetric compensation",
         [](Loaded& l) { l.settings().CmbEmptyGas_Click(0); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().EmptyGasMode, 0);
             EXPECT_EQ(l.p3().VolCompEnable, 0);
             EXPECT_FALSE(l.settings().CurrentSettings().volCompVisible);
         },
         Delay::Mem3},
        {"CmbEmptyGas 1 leaves it", [](Loaded& l) { l.settings().CmbEmptyGas_Click(1); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().EmptyGasMode, 1);
             EXPECT_EQ(l.p3().VolCompEnable, kPendingInt);
             EXPECT_TRUE(l.settings().CurrentSettings().volCompVisible);
         },
         Delay::Mem3},
        {"CmbSwtchSeq 1.5 stores 60",
         [&](Loaded& l) { l.settings().CmbSwtchSeq_Click(at(l.lists().seq, 1.5)); },
         [](Loaded& l) { EXPECT_EQ(l.p5().SwitchSequence, 60); }, Delay::Mem5},
        {"CmbShoRpm clears both fuels' samples",
         [](Loaded& l) {
             // Points of both fuels mapped in the old speed window, shown.
             MapPoints p;
             for (size_t i = 0; i < 3; ++i) {
                 p.X_VacmGas[i] = p.X_VacmBnz[i] = 400 + 100 * static_cast<double>(i);
                 p.Y_TinjGas[i] = p.Y_TinjBnz[i] = 3 + static_cast<double>(i);
             }
             l.s.tool().Map().SetMapped(p);
             l.cycle().StepMap();
             ASSERT_FALSE(l.s.tool().Map().Changed());
             ASSERT_GT(l.s.tool().Map().Matches(), 0);
             l.settings().CmbShoRpm_Click(1);
         },
         [](Loaded& l) {
             EXPECT_EQ(l.s.tool().Map().Mapped(), MapPoints());
             EXPECT_TRUE(l.s.tool().Map().Markers().empty());
             EXPECT_TRUE(l.s.tool().Map().Changed());
             // "Compute" has nothing left to work on.
             l.cycle().StepMap();
             EXPECT_EQ(l.s.tool().Map().Matches(), 0);
             EXPECT_FALSE(l.s.tool().Map().ComputeEnabled());
             const auto [lo, hi] = l.lists().shoRpmPairs[1];
             EXPECT_EQ(l.p5().ShowRpmLow, lo);
             EXPECT_EQ(l.p5().ShowRpmHigh, hi);
             EXPECT_TRUE(l.sched().Pending(Request::CancSmplGas));
             EXPECT_TRUE(l.sched().Pending(Request::CancSmplBnz));
         },
         Delay::Mem5},
        {"ChkAbilAcqVacum ticked starts the sample reads",
         [](Loaded& l) {
             l.image().Mem2Block.VacuumAcqEnable = 1;
             l.settings().ChkAbilAcqVacum_Click(true);
         },
         [](Loaded& l) {
             EXPECT_TRUE(l.settings().AutoTuning());
             EXPECT_EQ(l.sched().Delays().DelaySamples, 1);
             l.settings().ChkAbilAcqVacum_Click(false);
             EXPECT_FALSE(l.settings().AutoTuning());
             EXPECT_EQ(l.sched().Delays().DelaySamples, 0);
         },
         Delay::Samples},
    };
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.name);
        w.Forget();
        c.pick(w);
        c.check(w);
        EXPECT_EQ(w.sched().Delays().DelayWriteMem3, c.delay == Delay::Mem3 ? 1 : 0);
        EXPECT_EQ(w.sched().Delays().DelayWriteMem5, c.delay == Delay::Mem5 ? 1 : 0);
    }
}

TEST(MainCtlSettings, HandlersIgnoreWhatTheProgramSelectsAndWhatTheEcuForbids) {
    Loaded w;
    w.settings().SetFillingControls(true);
    w.settings().CmbSwtchRpm_Click(3);
    w.settings().CmbShoRpm_Click(1);
    w.settings().SetFillingControls(false);
    EXPECT_EQ(w.image().PendingEdits, ParamImage::SentinelEdits());
    EXPECT_EQ(w.sched().Delays().DelayWriteMem3, 0);
    EXPECT_FALSE(w.sched().Pending(Request::CancSmplGas));

    // The ECU does not allow vacuum acquisition: "Auto Tuning" stays unticked.
    w.image().Mem2Block.VacuumAcqEnable = 0;
    w.settings().ChkAbilAcqVacum_Click(true);
    EXPECT_FALSE(w.settings().AutoTuning());
    EXPECT_EQ(w.sched().Delays().DelaySamples, 0);
}

TEST(MainCtlSettings, TheSwitchoverTemperatureChoosesTheDelayTable) {
    Loaded w;
    const double threshold = w.lists().DelayThreshold();
    ASSERT_EQ(threshold, 40);
    w.image().Mem3Block.SwitchDelay = 65;
    // Below the threshold the second table (20..70), else the first (60..120);
    // the delay becomes the first entry at least the one the ECU has.
    w.settings().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 30));
    EXPECT_EQ(w.p3().SwitchTempRaw, 30);
    EXPECT_EQ(w.settings().DelayList().front().value, 20);
    EXPECT_EQ(w.p3().SwitchDelay, 65);
    w.settings().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 50));
    EXPECT_EQ(w.settings().DelayList().front().value, 60);
    EXPECT_EQ(w.p3().SwitchDelay, 65);
    EXPECT_EQ(w.sched().Delays().DelayWriteMem3, 1);
}

// Picks not yet written stay shown: refilling the delay list for a new
// temperature, or declining the injector type question, does not put the
// other lists back to what the ECU had.
TEST(MainCtlSettings, TheListsKeepShowingPicksNotYetWritten) {
    Loaded w;
    w.image().Mem3Block.SwitchRpm = 800;
    w.image().Mem3Block.ForceTime = 0;
    w.settings().CmbSwtchRpm_Click(IndexOf(w.lists().rpm, 2000));
    w.settings().CmbSwtchForce_Click(IndexOf(w.lists().force, 60));
    w.settings().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 50));
    SettingsSelection shown = w.settings().CurrentSettings();
    EXPECT_EQ(shown.rpm, IndexOf(w.lists().rpm, 2000));
    EXPECT_EQ(shown.force, IndexOf(w.lists().force, 60));
    EXPECT_EQ(shown.temp, IndexOf(w.lists().temp, 50));
    EXPECT_EQ(shown.delay, IndexOf(w.settings().DelayList(), w.p3().SwitchDelay));

    const int ecuInjector = IndexOfCode(w.lists().injector, w.image().Mem3Block.InjTypeCode);
    w.s.prompts.answers.push_back(BoxResult::No);
    w.settings().CmbTpyInj_Click(ecuInjector == 0 ? 1 : 0);
    EXPECT_EQ(w.p3().InjTypeCode, kPendingByte);
    shown = w.settings().CurrentSettings();
    EXPECT_EQ(shown.injector, ecuInjector);
    EXPECT_EQ(shown.rpm, IndexOf(w.lists().rpm, 2000));
    EXPECT_EQ(shown.force, IndexOf(w.lists().force, 60));
}

TEST(MainCtlSettings, ASequenceTooLongForTheEcuIsRefused) {
    SimSession s;
    // An installation whose sequence list goes up to 7 s: 280 ECU steps do
    // not fit the byte (255 would even read as "unchanged").
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(s.root + "/LNG/ConfigScale.ini", lines));
    const int at = lines.indexOf("[SEQUENZA COMMUTAZIONE]");
    ASSERT_GE(at, 0);
    lines[at + 1] = "0|5|10|70";
    ASSERT_TRUE(WriteLatin1Lines(s.root + "/LNG/ConfigScale.ini", lines));
    s.Start();
    s.tool().LinkTimer().SetEnabled(false);
    s.cycle().PollTimer().SetEnabled(false);
    const int seven = IndexOf(s.settings().Lists().seq, 7);
    ASSERT_GE(seven, 0);
    s.settings().CmbSwtchSeq_Click(seven);
    EXPECT_EQ(s.image().PendingEdits.Mem5Block.SwitchSequence, kPendingByte);
    EXPECT_EQ(s.sched().Delays().DelayWriteMem5, 0);
    EXPECT_TRUE(s.prompts.AnyContains("CmbSwtchSeq_Click_Err"));
    s.settings().CmbSwtchSeq_Click(IndexOf(s.settings().Lists().seq, 1));
    EXPECT_EQ(s.image().PendingEdits.Mem5Block.SwitchSequence, 40);
}

// The lambda type's factor converts the lambda word: a type whose factor
// differs from the others changes the voltage shown as soon as it is chosen,
// and the settings refresh keeps it.
TEST(MainCtlSettings, TheLambdaTypesFactorConvertsTheLambdaWord) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    ScaleConfig& scale = s.scale();
    const int typeIndex = scale.LambdaIndexByCode(2);  // 0-5 V direct
    ASSERT_GT(typeIndex, 0);
    scale.LambdaType[static_cast<size_t>(typeIndex)].Factor = 0.005;  // 5 mV a count
    int listIndex = -1;
    for (size_t i = 0; i < s.settings().Lists().lambda.size(); ++i)
        if (s.settings().Lists().lambda[i].code == 2) listIndex = static_cast<int>(i);
    ASSERT_GE(listIndex, 0);
    // The lambda word of every block-1 answer, as the ECU sent it.
    uint16_t sentWord = 0;
    uint64_t answers = 0;
    s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (cmd != CMD_READ_MEM1) return;
        const std::vector<uint8_t> m1 = s.ecu->EncodeMem1();
        sentWord =
            static_cast<uint16_t>(m1[sim::mem1::LambdaMv] | m1[sim::mem1::LambdaMv + 1] << 8);
        ++answers;
    });
    const auto fresh = [&] {
        const uint64_t before = answers;
        return s.RunUntil([&] { return answers > before + 1; }, 5);
    };
    ASSERT_TRUE(fresh());
    EXPECT_DOUBLE_EQ(s.image().KLambda, 0.001);
    EXPECT_NEAR(s.image().Mem1Block.LambdaVolts, sentWord * 0.001, 1e-9);

    s.settings().CmbSwtchLambdaType_Click(listIndex);
    EXPECT_DOUBLE_EQ(s.settings().LambdaFactor(), 0.005);
    EXPECT_DOUBLE_EQ(s.image().KLambda, 0.005);
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem3Block.LambdaTypeCode == 2; }, 10));
    ASSERT_TRUE(fresh());
    EXPECT_GT(sentWord, 0);
    EXPECT_NEAR(s.image().Mem1Block.LambdaVolts, sentWord * 0.005, 1e-9);
    // Refreshed from the ECU's block 3, the type keeps its factor.
    s.settings().Refresh();
    EXPECT_DOUBLE_EQ(s.image().KLambda, 0.005);
}
