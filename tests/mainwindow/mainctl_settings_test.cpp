// The switchover and system settings of the Configuration tab: every change
// handler stores its value in PendingEdits and starts the write delay of its
// block; the lists keep showing picks not yet written; entries the ECU
// cannot take are refused. The window is loaded (lists filled) but no time
// passes, so nothing is sent.
#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "data/core/ScaleConfig.h"
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
        s.ctl().Timer1().SetEnabled(false);
        s.ctl().Timer2().SetEnabled(false);
    }
    MainController& ctl() { return s.ctl(); }
    ParamImage& image() { return s.session->image; }
    Mem3Fields& p3() { return image().PendingEdits.Mem3Block; }
    Mem5Fields& p5() { return image().PendingEdits.Mem5Block; }
    const SwitchLists& lists() { return ctl().Lists(); }
    void Forget() {
        image().ResetPendingEdits();
        ctl().delays = WriteDelays{};
        ctl().flags = RequestFlags{};
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
    const ScaleConfig& scale = w.s.session->scale;
    ASSERT_GE(w.lists().lambda.size(), 2u);
    ASSERT_GE(w.lists().level.size(), 2u);
    ASSERT_GE(w.lists().injector.size(), 2u);
    ASSERT_GE(w.lists().shoRpmPairs.size(), 2u);

    const std::vector<HandlerCase> cases = {
        {"CmbSwtchRpm", [&](Loaded& l) { l.ctl().CmbSwtchRpm_Click(at(l.lists().rpm, 2000)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchRpm, 2000); }, Delay::Mem3},
        {"CmbSwtchDelay", [&](Loaded& l) { l.ctl().CmbSwtchDelay_Click(2); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchDelay, l.ctl().DelayList()[2].value); }, Delay::Mem3},
        {"CmbSwtchBar 0.8 stores 800",
         [&](Loaded& l) { l.ctl().CmbSwtchBar_Click(at(l.lists().bar, 0.8)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().SwitchPressRaw, 800); }, Delay::Mem3},
        {"CmbSwtchDelayPress",
         [&](Loaded& l) { l.ctl().CmbSwtchDelayPress_Click(at(l.lists().delayPress, 1.5)); },
         [](Loaded& l) { EXPECT_DOUBLE_EQ(l.p3().SwitchPressDelay, 1.5); }, Delay::Mem3},
        {"CmbSwtchForce", [&](Loaded& l) { l.ctl().CmbSwtchForce_Click(at(l.lists().force, 60)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().ForceTime, 60); }, Delay::Mem3},
        {"CmbSwtchBobine", [&](Loaded& l) { l.ctl().CmbSwtchBobine_Click(at(l.lists().coils, 6)); },
         [](Loaded& l) { EXPECT_EQ(l.p3().NumCoils, 6); }, Delay::Mem3},
        {"CmbSwtchCilindri",
         [&](Loaded& l) { l.ctl().CmbSwtchCilindri_Click(at(l.lists().cylinders, 6)); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().NumCylinders, 6);
             EXPECT_EQ(l.p3().InjEnable[6], 0);
             EXPECT_EQ(l.p3().InjEnable[7], 0);
             EXPECT_EQ(l.p3().InjEnable[5], kPendingByte);
             EXPECT_EQ(l.ctl().InjModeRequestState, 3);
             EXPECT_EQ(l.ctl().InjModeRequestIndex, 6);
             EXPECT_EQ(l.ctl().InjModeRequestFlag, 2);
         },
         Delay::Mem3},
        {"CmbSwtchLambdaType", [&](Loaded& l) { l.ctl().CmbSwtchLambdaType_Click(1); },
         [&](Loaded& l) {
             const int code = l.lists().lambda[1].code;
             EXPECT_EQ(l.p3().LambdaTypeCode, code);
             const auto* t = scale.LambdaAt(scale.LambdaIndexByCode(code));
             ASSERT_NE(t, nullptr);
             EXPECT_DOUBLE_EQ(l.ctl().LambdaFactor(), t->Factor);
         },
         Delay::Mem3},
        {"OptTypFuel Cng", [](Loaded& l) { l.ctl().OptTypFuel_Click(0); },
         [](Loaded& l) { EXPECT_EQ(l.p3().FuelType, 0); }, Delay::Mem3},
        {"OptTypFuel Lpg", [](Loaded& l) { l.ctl().OptTypFuel_Click(1); },
         [](Loaded& l) { EXPECT_EQ(l.p3().FuelType, 1); }, Delay::Mem3},
        {"CmbTpyGLS", [](Loaded& l) { l.ctl().CmbTpyGLS_Click(1); },
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
             l.ctl().CmbTpyInj_Click(1);
         },
         [&](Loaded& l) {
             const auto* t = scale.InjectorAt(scale.InjectorIndexByCode(l.lists().injector[1].code));
             ASSERT_NE(t, nullptr);
             EXPECT_EQ(l.p3().InjTypeCode, t->Code);
             EXPECT_DOUBLE_EQ(l.p3().InjOpenTime, t->OpenTime);
             EXPECT_DOUBLE_EQ(l.p3().InjPwmTime1, t->PwmTime1);
             EXPECT_DOUBLE_EQ(l.p3().InjPwmTime2, t->PwmTime2);
         },
         Delay::Mem3},
        {"CmbEmptyGas 0 clears the volumetric compensation",
         [](Loaded& l) { l.ctl().CmbEmptyGas_Click(0); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().EmptyGasMode, 0);
             EXPECT_EQ(l.p3().VolCompEnable, 0);
             EXPECT_FALSE(l.ctl().CurrentSettings().volCompVisible);
         },
         Delay::Mem3},
        {"CmbEmptyGas 1 leaves it", [](Loaded& l) { l.ctl().CmbEmptyGas_Click(1); },
         [](Loaded& l) {
             EXPECT_EQ(l.p3().EmptyGasMode, 1);
             EXPECT_EQ(l.p3().VolCompEnable, kPendingInt);
             EXPECT_TRUE(l.ctl().CurrentSettings().volCompVisible);
         },
         Delay::Mem3},
        {"CmbSwtchSeq 1.5 stores 60",
         [&](Loaded& l) { l.ctl().CmbSwtchSeq_Click(at(l.lists().seq, 1.5)); },
         [](Loaded& l) { EXPECT_EQ(l.p5().SwitchSequence, 60); }, Delay::Mem5},
        {"CmbShoRpm clears both fuels' samples", [](Loaded& l) { l.ctl().CmbShoRpm_Click(1); },
         [](Loaded& l) {
             const auto [lo, hi] = l.lists().shoRpmPairs[1];
             EXPECT_EQ(l.p5().ShowRpmLow, lo);
             EXPECT_EQ(l.p5().ShowRpmHigh, hi);
             EXPECT_TRUE(l.ctl().flags.PendingCancSmplGas);
             EXPECT_TRUE(l.ctl().flags.PendingCancSmplBnz);
         },
         Delay::Mem5},
        {"ChkAbilAcqVacum ticked starts the sample reads",
         [](Loaded& l) {
             l.image().Mem2Block.VacuumAcqEnable = 1;
             l.ctl().ChkAbilAcqVacum_Click(true);
         },
         [](Loaded& l) {
             EXPECT_TRUE(l.ctl().AutoTuning());
             EXPECT_EQ(l.ctl().delays.DelaySamples, 1);
             l.ctl().ChkAbilAcqVacum_Click(false);
             EXPECT_FALSE(l.ctl().AutoTuning());
             EXPECT_EQ(l.ctl().delays.DelaySamples, 0);
         },
         Delay::Samples},
    };
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.name);
        w.Forget();
        c.pick(w);
        c.check(w);
        EXPECT_EQ(w.ctl().delays.DelayWriteMem3, c.delay == Delay::Mem3 ? 1 : 0);
        EXPECT_EQ(w.ctl().delays.DelayWriteMem5, c.delay == Delay::Mem5 ? 1 : 0);
    }
}

TEST(MainCtlSettings, HandlersIgnoreWhatTheProgramSelectsAndWhatTheEcuForbids) {
    Loaded w;
    w.ctl().FillingControls = true;
    w.ctl().CmbSwtchRpm_Click(3);
    w.ctl().CmbShoRpm_Click(1);
    w.ctl().FillingControls = false;
    EXPECT_EQ(w.image().PendingEdits, ParamImage::SentinelEdits());
    EXPECT_EQ(w.ctl().delays.DelayWriteMem3, 0);
    EXPECT_FALSE(w.ctl().flags.PendingCancSmplGas);

    // The ECU does not allow vacuum acquisition: "Auto Tuning" stays unticked.
    w.image().Mem2Block.VacuumAcqEnable = 0;
    w.ctl().ChkAbilAcqVacum_Click(true);
    EXPECT_FALSE(w.ctl().AutoTuning());
    EXPECT_EQ(w.ctl().delays.DelaySamples, 0);
}

TEST(MainCtlSettings, TheSwitchoverTemperatureChoosesTheDelayTable) {
    Loaded w;
    const double threshold = w.lists().DelayThreshold();
    ASSERT_EQ(threshold, 40);
    w.image().Mem3Block.SwitchDelay = 65;
    // Below the threshold the second table (20..70), else the first (60..120);
    // the delay becomes the first entry at least the one the ECU has.
    w.ctl().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 30));
    EXPECT_EQ(w.p3().SwitchTempRaw, 30);
    EXPECT_EQ(w.ctl().DelayList().front().value, 20);
    EXPECT_EQ(w.p3().SwitchDelay, 65);
    w.ctl().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 50));
    EXPECT_EQ(w.ctl().DelayList().front().value, 60);
    EXPECT_EQ(w.p3().SwitchDelay, 65);
    EXPECT_EQ(w.ctl().delays.DelayWriteMem3, 1);
}

// Picks not yet written stay shown: refilling the delay list for a new
// temperature, or declining the injector type question, does not put the
// other lists back to what the ECU had.
TEST(MainCtlSettings, TheListsKeepShowingPicksNotYetWritten) {
    Loaded w;
    w.image().Mem3Block.SwitchRpm = 800;
    w.image().Mem3Block.ForceTime = 0;
    w.ctl().CmbSwtchRpm_Click(IndexOf(w.lists().rpm, 2000));
    w.ctl().CmbSwtchForce_Click(IndexOf(w.lists().force, 60));
    w.ctl().CmbSwtchTemp_Click(IndexOf(w.lists().temp, 50));
    SettingsSelection shown = w.ctl().CurrentSettings();
    EXPECT_EQ(shown.rpm, IndexOf(w.lists().rpm, 2000));
    EXPECT_EQ(shown.force, IndexOf(w.lists().force, 60));
    EXPECT_EQ(shown.temp, IndexOf(w.lists().temp, 50));
    EXPECT_EQ(shown.delay, IndexOf(w.ctl().DelayList(), w.p3().SwitchDelay));

    const int ecuInjector = IndexOfCode(w.lists().injector, w.image().Mem3Block.InjTypeCode);
    w.s.prompts.answers.push_back(BoxResult::No);
    w.ctl().CmbTpyInj_Click(ecuInjector == 0 ? 1 : 0);
    EXPECT_EQ(w.p3().InjTypeCode, kPendingByte);
    shown = w.ctl().CurrentSettings();
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
    s.ctl().Timer1().SetEnabled(false);
    s.ctl().Timer2().SetEnabled(false);
    const int seven = IndexOf(s.ctl().Lists().seq, 7);
    ASSERT_GE(seven, 0);
    s.ctl().CmbSwtchSeq_Click(seven);
    EXPECT_EQ(s.session->image.PendingEdits.Mem5Block.SwitchSequence, kPendingByte);
    EXPECT_EQ(s.ctl().delays.DelayWriteMem5, 0);
    EXPECT_TRUE(s.prompts.AnyContains("CmbSwtchSeq_Click_Err"));
    s.ctl().CmbSwtchSeq_Click(IndexOf(s.ctl().Lists().seq, 1));
    EXPECT_EQ(s.session->image.PendingEdits.Mem5Block.SwitchSequence, 40);
}
