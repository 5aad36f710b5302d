// The expert settings page's model on the simulated ECU: the password
// levels, what each control shows for the image's values, what each change
// stores and which block's write it starts, and the edits reaching the ECU
// through the request scheduler, each block written once.
#include "mainwindow/controller/ExpertModel.h"

#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimLayout.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

using C = ExpertControl;

// The tool online on the simulator, then stopped in time: nothing is sent
// while a case looks at the model.
struct Online {
    // `upgraded`: the ECU goes online whatever its firmware, as after an upgrade.
    explicit Online(sim::SimOptions o = SimSession::DefaultOptions(), bool upgraded = false)
        : s(o, upgraded) {
        s.features.upgradeResult = upgraded;
        ok = s.StartAndGoOnline();
        s.tool().LinkTimer().SetEnabled(false);
        s.cycle().PollTimer().SetEnabled(false);
        s.sched().ForgetWrites();
    }
    ExpertModel& Unlocked(ExpertLevel level = ExpertLevel::Second) {
        model.EnterPassword(level == ExpertLevel::Second ? s.scale().PassWord01
                                                         : s.scale().PassWord00);
        model.Form_Activate();
        return model;
    }
    ParamImage& image() { return s.image(); }
    const WriteDelays& delays() { return s.sched().Delays(); }
    int Item(C c, const QString& text) {
        const EntryList& l = model.State(c).items;
        for (size_t i = 0; i < l.size(); ++i)
            if (l[i].text == text) return static_cast<int>(i);
        ADD_FAILURE() << ExpertControlSpec(c).name << " has no item " << text.toStdString();
        return -1;
    }
    QString Selected(C c) const {
        const ExpertControlState& st = model.State(c);
        return st.selected < 0 ? QStringLiteral("(none)") : st.items[size_t(st.selected)].text;
    }
    SimSession s;
    bool ok = false;
    ExpertModel model{s.tool(), s.sched()};
};

void WriteScaleFile(const QString& root, const QString& replaceKey, const QString& value) {
    const QString path = root + "/LNG/ConfigScale.ini";
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    const int at = lines.indexOf(replaceKey);
    ASSERT_GE(at, 0);
    if (value.isNull())
        lines.removeAt(at), lines.removeAt(at);  // key and value gone
    else
        lines[at + 1] = value;
    ASSERT_TRUE(WriteLatin1Lines(path, lines));
}

}  // namespace

TEST(ExpertModel, PasswordsOpenTheirLevelAndAWrongOneChangesNothing) {
    Online t;
    ASSERT_TRUE(t.ok);
    ASSERT_EQ(t.s.scale().PassWord00, "gas2026");
    ASSERT_EQ(t.s.scale().PassWord01, "KT540exp");
    struct Case {
        const char* typed;
        ExpertLevel from, expected;
    };
    const Case cases[] = {
        {"gas2026", ExpertLevel::Locked, ExpertLevel::First},
        {"KT540exp", ExpertLevel::Locked, ExpertLevel::Second},
        {"GAS2026", ExpertLevel::Locked, ExpertLevel::Locked},   // case counts
        {" gas2026", ExpertLevel::Locked, ExpertLevel::Locked},  // compared as typed
        {"", ExpertLevel::Locked, ExpertLevel::Locked},
        {"wrong", ExpertLevel::Second, ExpertLevel::Second},   // a wrong one keeps the level
        {"gas2026", ExpertLevel::Second, ExpertLevel::First},  // the first level closes the second
    };
    for (const Case& c : cases) {
        ExpertModel m(t.s.tool(), t.s.sched());
        if (c.from == ExpertLevel::Second) m.EnterPassword("KT540exp");
        EXPECT_EQ(m.EnterPassword(QString::fromLatin1(c.typed)), c.expected) << c.typed;
        EXPECT_EQ(m.Level(), c.expected) << c.typed;
    }
    // Without password keys both passwords are empty: Enter in the empty box
    // opens the first level.
    t.s.scale().PassWord00.clear();
    t.s.scale().PassWord01.clear();
    ExpertModel m(t.s.tool(), t.s.sched());
    EXPECT_EQ(m.EnterPassword(QString()), ExpertLevel::First);
}

TEST(ExpertModel, ControlsAboveTheLevelReachedChangeNothing) {
    Online t;
    ASSERT_TRUE(t.ok);
    const PendingEditsRecord untouched = t.image().PendingEdits;
    const auto tryEverything = [&](ExpertModel& m) {
        for (int i = 0; i < kExpertControls; ++i) {
            const auto c = static_cast<C>(i);
            m.ListPicked(c, 0);
            m.ListPicked(c, 1);
            m.CheckClicked(c, !m.State(c).checked);
            m.TextEntered(c, "12");
        }
        m.CmdClearHoursCnt_Click();
        m.CmdChangeStatoEcu_Click();
    };
    // Locked (a wrong password): nothing is stored, no write started.
    t.model.EnterPassword("not it");
    t.model.Form_Activate();
    tryEverything(t.model);
    EXPECT_EQ(t.image().PendingEdits, untouched);
    EXPECT_EQ(t.delays().DelayWriteMem2 + t.delays().DelayWriteMem3 + t.delays().DelayWriteMem5, 0);
    EXPECT_FALSE(t.s.sched().Pending(Request::EcuMode));
    // First level: only the second level's controls and buttons stay shut.
    t.model.EnterPassword("gas2026");
    for (int i = 0; i < kExpertControls; ++i) {
        const auto c = static_cast<C>(i);
        if (ExpertControlSpec(c).level != ExpertLevel::Second) continue;
        t.model.ListPicked(c, 1);
        t.model.CheckClicked(c, !t.model.State(c).checked);
        t.model.TextEntered(c, "12");
    }
    t.model.CmdClearHoursCnt_Click();
    t.model.CmdChangeStatoEcu_Click();
    EXPECT_EQ(t.image().PendingEdits, untouched);
    EXPECT_FALSE(t.s.sched().Pending(Request::EcuMode));
}

TEST(ExpertModel, ControlsShowTheImagesValues) {
    Online t;
    ASSERT_TRUE(t.ok);
    Mem3Fields& m3 = t.image().Mem3Block;
    Mem5Fields& m5 = t.image().Mem5Block;
    struct Case {
        const char* what;
        std::function<void()> set;
        C control;
        QString shown;
    };
    const Case cases[] = {
        {"pressure between items", [&] { m3.VolCompPressRef = 1210; }, C::CmbpressVolRef, "1250"},
        {"temperature between items", [&] { m3.VolCompTempRef = 81; }, C::CmbtempVolRef, "100"},
        {"power threshold above every item", [&] { m3.MaxPowerThreshold = 7000; },
         C::CmbMaxPowerSoh, "7000"},
        {"micro-injection step 7", [&] { m3.BadBitStep = 7; }, C::CmbBadBit, "1,2"},
        {"micro-injection step 0", [&] { m3.BadBitStep = 0; }, C::CmbBadBit, "(none)"},
        {"micro-injection step 26", [&] { m3.BadBitStep = 26; }, C::CmbBadBit, "(none)"},
        {"temperature sensor 1", [&] { m3.TempSensorType = 1; }, C::CmbTypSensTemp, "4.7 Kohm"},
        {"temperature sensor 2", [&] { m3.TempSensorType = 2; }, C::CmbTypSensTemp, "(none)"},
        {"map sensor 2", [&] { m3.MapSensorType = 2; }, C::CmbTypSensMap, "Abs 4 bar"},
        {"map sensor 3", [&] { m3.MapSensorType = 3; }, C::CmbTypSensMap, "(none)"},
        {"safety car 5", [&] { m3.SafetyCar = 5; }, C::CmbSafetyCar,
         t.s.tool().Caption(Cap::EmptyGasCompensate)},
        {"safety car 0", [&] { m3.SafetyCar = 0; }, C::CmbSafetyCar,
         t.s.tool().Caption(Cap::EmptyGasPetrol)},
        {"high speed above every item", [&] { m5.MinPowerRpmHigh = 1600; }, C::CmbRpmHight,
         "(none)"},
        {"low speed", [&] { m5.MinPowerRpmLow = 750; }, C::CmbRpmLow, "800"},
        // One count of the injection time unit below an item still shows it.
        {"pre-injection time a count short", [&] { m5.PreInjTime = 0.5 - t.image().KInj; },
         C::CmbValuePreInj, "0,5"},
        {"pre-injection time two counts short", [&] { m5.PreInjTime = 0.5 - 2 * t.image().KInj; },
         C::CmbValuePreInj, "0,5"},
        {"pre-injection time a count over", [&] { m5.PreInjTime = 0.5 + t.image().KInj; },
         C::CmbValuePreInj, "0,5"},
        {"pre-injection time two counts over", [&] { m5.PreInjTime = 0.5 + 2 * t.image().KInj; },
         C::CmbValuePreInj, "1"},
        {"pre-injection temperature", [&] { m5.PreInjTemp = 12; }, C::CmbTemperUnderPreInj, "15"},
        {"pre-injection period", [&] { m5.PreInjPeriod = 20; }, C::CmbDefTimeSovra, "20"},
    };
    for (const Case& c : cases) {
        c.set();
        t.model.Form_Activate();
        EXPECT_EQ(t.Selected(c.control), c.shown) << c.what;
    }
    // A pressure above every item is listed as a 58th item and shown.
    m3.VolCompPressRef = 3100;
    t.model.Form_Activate();
    ASSERT_EQ(t.model.State(C::CmbpressVolRef).items.size(), 58u);
    EXPECT_EQ(t.model.State(C::CmbpressVolRef).selected, 57);
    EXPECT_EQ(t.Selected(C::CmbpressVolRef), "3100");
    // Fixed lists.
    m3.MaxPowerThreshold = 3000;
    t.model.Form_Activate();
    EXPECT_EQ(t.model.State(C::CmbtempVolRef).items.size(), 28u);
    EXPECT_EQ(t.model.State(C::CmbMaxPowerSoh).items.size(), 25u);
    EXPECT_EQ(t.model.State(C::CmbBadBit).items.size(), 25u);
    EXPECT_EQ(t.model.State(C::CmbRpmHight).items.size(), 10u);
    EXPECT_EQ(t.model.State(C::CmbRpmLow).items.front().text, "500");
    // Step boxes in counts of 8 us; the working hours.
    m5.SohTfraComm = 2.0;
    t.image().Mem2Block.HoursCounter1 = 7260;
    t.image().Mem2Block.HoursCounter2 = 1830;
    t.model.Form_Activate();
    EXPECT_EQ(t.model.State(C::Txtsoh_Tfra_Comm).text, "250");
    EXPECT_EQ(t.model.TimeWorkText(), "Hours on petrol: 30\r\nHours on gas: 121");
    // A pick still waiting for its write is what the control shows.
    t.image().PendingEdits.Mem3Block.MaxPowerThreshold = 4400;
    t.model.Form_Activate();
    EXPECT_EQ(t.Selected(C::CmbMaxPowerSoh), "4400");
}

TEST(ExpertModel, EachChangeStoresItsFieldAndStartsItsBlocksWrite) {
    struct Case {
        const char* what;
        std::function<void(Online&)> change;
        std::function<double(const PendingEditsRecord&)> stored;
        double expected;
        Block block;
    };
    const Case cases[] = {
        {"micro-injection 1,2 ms",
         [](Online& t) { t.model.ListPicked(C::CmbBadBit, t.Item(C::CmbBadBit, "1,2")); },
         [](const PendingEditsRecord& p) { return p.Mem3Block.BadBitStep; }, 7, Block::Mem3},
        {"pressure reference",
         [](Online& t) {
             t.model.ListPicked(C::CmbpressVolRef, t.Item(C::CmbpressVolRef, "1500"));
         },
         [](const PendingEditsRecord& p) { return p.Mem3Block.VolCompPressRef; }, 1500,
         Block::Mem3},
        {"map sensor", [](Online& t) { t.model.ListPicked(C::CmbTypSensMap, 2); },
         [](const PendingEditsRecord& p) { return p.Mem3Block.MapSensorType; }, 2, Block::Mem3},
        {"safety car", [](Online& t) { t.model.ListPicked(C::CmbSafetyCar, 1); },
         [](const PendingEditsRecord& p) { return p.Mem3Block.SafetyCar; }, 1, Block::Mem3},
        {"maximum power", [](Online& t) { t.model.CheckClicked(C::ChkMaxPower, true); },
         [](const PendingEditsRecord& p) { return p.Mem3Block.MaxPowerEnable; }, 1, Block::Mem3},
        {"rpm compensation off", [](Online& t) { t.model.CheckClicked(C::ChkAbilCompRpm, false); },
         [](const PendingEditsRecord& p) { return p.Mem2Block.RpmCompEnable; }, 0, Block::Mem2},
        {"pre-injection time",
         [](Online& t) { t.model.ListPicked(C::CmbValuePreInj, t.Item(C::CmbValuePreInj, "1,5")); },
         [](const PendingEditsRecord& p) { return p.Mem5Block.PreInjTime; }, 1.5, Block::Mem5},
        {"not observing the speed",
         [](Online& t) { t.model.CheckClicked(C::ChknotOsservaRpm, true); },
         [](const PendingEditsRecord& p) { return p.Mem5Block.NotObserveRpm; }, 1, Block::Mem5},
        {"step box 12 counts", [](Online& t) { t.model.TextEntered(C::Txtsoh_Tfra_Comm, "12"); },
         [](const PendingEditsRecord& p) { return p.Mem5Block.SohTfraComm; }, 12 * 0.008,
         Block::Mem5},
        {"erase the hours", [](Online& t) { t.model.CmdClearHoursCnt_Click(); },
         [](const PendingEditsRecord& p) {
             return p.Mem2Block.HoursCounter1 + p.Mem2Block.HoursCounter2;
         },
         -2, Block::Mem2},
    };
    Online t;
    ASSERT_TRUE(t.ok);
    t.Unlocked();
    for (const Case& c : cases) {
        t.s.sched().ForgetWrites();
        c.change(t);
        EXPECT_NEAR(c.stored(t.image().PendingEdits), c.expected, 1e-9) << c.what;
        const WriteDelays& d = t.delays();
        EXPECT_EQ(d.DelayWriteMem2, c.block == Block::Mem2 ? 1 : 0) << c.what;
        EXPECT_EQ(d.DelayWriteMem3, c.block == Block::Mem3 ? 1 : 0) << c.what;
        EXPECT_EQ(d.DelayWriteMem5, c.block == Block::Mem5 ? 1 : 0) << c.what;
    }
    EXPECT_EQ(t.model.TimeWorkText(), "Hours on petrol: 0\r\nHours on gas: 0");
}

TEST(ExpertModel, TheMinimumPowerSpeedsStayInOrder) {
    Online t;
    ASSERT_TRUE(t.ok);
    t.image().Mem5Block.MinPowerRpmHigh = 1000;
    t.image().Mem5Block.MinPowerRpmLow = 900;
    t.Unlocked();
    ASSERT_EQ(t.Selected(C::CmbRpmLow), "900");
    // 600 high while low shows 900: low moves to the same index, 500.
    t.model.ListPicked(C::CmbRpmHight, t.Item(C::CmbRpmHight, "600"));
    EXPECT_EQ(t.Selected(C::CmbRpmLow), "500");
    EXPECT_EQ(t.image().PendingEdits.Mem5Block.MinPowerRpmHigh, 600);
    EXPECT_EQ(t.image().PendingEdits.Mem5Block.MinPowerRpmLow, 500);
    // 1400 low while high shows 600: high moves to 1500.
    t.model.ListPicked(C::CmbRpmLow, t.Item(C::CmbRpmLow, "1400"));
    EXPECT_EQ(t.Selected(C::CmbRpmHight), "1500");
    EXPECT_EQ(t.image().PendingEdits.Mem5Block.MinPowerRpmHigh, 1500);
    EXPECT_EQ(t.image().PendingEdits.Mem5Block.MinPowerRpmLow, 1400);
    // A pick that keeps the order moves nothing else.
    t.model.ListPicked(C::CmbRpmLow, t.Item(C::CmbRpmLow, "700"));
    EXPECT_EQ(t.Selected(C::CmbRpmHight), "1500");
}

TEST(ExpertModel, StepBoxesTakeOnlyWholeCountsOfAByte) {
    Online t;
    ASSERT_TRUE(t.ok);
    t.image().Mem5Block.SohTfraComm = 100 * t.image().KInj;
    t.Unlocked();
    ASSERT_EQ(t.model.State(C::Txtsoh_Tfra_Comm).text, "100");
    t.model.TextTyped(C::Txtsoh_Tfra_Comm);
    EXPECT_TRUE(t.model.State(C::Txtsoh_Tfra_Comm).editing);
    struct Case {
        const char* typed;
        bool taken;
    };
    const Case cases[] = {{"70000", false}, {"65534", false}, {"256", false}, {"-1", false},
                          {"abc", false},   {"", false},      {"255", true},  {"0", true}};
    for (const Case& c : cases) {
        t.s.sched().ForgetWrites();
        t.model.TextTyped(C::Txtsoh_Tfra_Comm);
        t.model.TextEntered(C::Txtsoh_Tfra_Comm, QString::fromLatin1(c.typed));
        const ExpertControlState& st = t.model.State(C::Txtsoh_Tfra_Comm);
        EXPECT_FALSE(st.editing) << c.typed;
        EXPECT_EQ(t.delays().DelayWriteMem5, c.taken ? 1 : 0) << c.typed;
        EXPECT_EQ(st.text, c.taken ? QString::fromLatin1(c.typed) : QStringLiteral("100"))
            << c.typed;
    }
}

TEST(ExpertModel, SemiSequentialControlIsRefusedWithTheKeyOn) {
    Online t;
    ASSERT_TRUE(t.ok);
    t.Unlocked();
    t.image().Mem1Block.KeyOn = 1;
    t.model.CheckClicked(C::ChkSingleChComm, true);
    EXPECT_FALSE(t.model.State(C::ChkSingleChComm).checked);
    EXPECT_EQ(t.delays().DelayWriteMem5, 0);
    ASSERT_FALSE(t.s.prompts.shown.empty());
    EXPECT_EQ(t.s.prompts.shown.back().title, "SETTING");
    EXPECT_TRUE(t.s.prompts.shown.back().text.contains("ignition key"));
    t.image().Mem1Block.KeyOn = 0;
    t.model.CheckClicked(C::ChkSingleChComm, true);
    EXPECT_TRUE(t.model.State(C::ChkSingleChComm).checked);
    EXPECT_EQ(t.image().PendingEdits.Mem5Block.SemiSequential, 1);
    EXPECT_EQ(t.delays().DelayWriteMem5, 1);
}

TEST(ExpertModel, PreInjectionListsAreReadAgainAtEachActivation) {
    Online t;
    ASSERT_TRUE(t.ok);
    t.Unlocked();
    const auto texts = [&](C c) {
        QStringList l;
        for (const ListEntry& e : t.model.State(c).items) l << e.text;
        return l.join('|');
    };
    EXPECT_EQ(texts(C::CmbDefTimeSovra), "2|5|10|15|20|30");
    EXPECT_EQ(texts(C::CmbValuePreInj), "0|0,5|1|1,5|2|2,5|3");
    WriteScaleFile(t.s.root, "[CmbDefTimeSovra]", "3|6|9");
    WriteScaleFile(t.s.root, "[CmbValuePreInj]", QString());  // key gone: the defaults
    t.model.Form_Activate();
    EXPECT_EQ(texts(C::CmbDefTimeSovra), "3|6|9");
    EXPECT_EQ(texts(C::CmbValuePreInj), "0|0,5|1|1,5|2");
    // An item the ECU's field cannot carry is refused with a box.
    WriteScaleFile(t.s.root, "[CmbTemperUnderPreInj]", "10|40000");
    t.model.Form_Activate();
    const size_t boxes = t.s.prompts.shown.size();
    t.model.ListPicked(C::CmbTemperUnderPreInj, t.Item(C::CmbTemperUnderPreInj, "40000"));
    EXPECT_EQ(t.s.prompts.shown.size(), boxes + 1);
    EXPECT_TRUE(t.s.prompts.AnyContains("CmbTemperUnderPreInj_Click_Err"));
    EXPECT_EQ(t.delays().DelayWriteMem5, 0);
    EXPECT_FALSE(t.image().PendingEdits.Mem5Block.PreInjTemp == 40000);
}

TEST(ExpertModel, HandlersIgnoreTheirEventsWhileThePageFills) {
    Online t;
    ASSERT_TRUE(t.ok);
    t.Unlocked();
    int tried = 0;
    QObject::connect(&t.model, &ExpertModel::busy, [&](bool on) {
        if (!on) return;
        ++tried;
        t.model.ListPicked(C::CmbBadBit, 3);
        t.model.CheckClicked(C::ChkMaxPower, true);
    });
    t.model.Form_Activate();
    EXPECT_EQ(tried, 1);
    EXPECT_EQ(t.delays().DelayWriteMem3, 0);
}

TEST(ExpertModel, BlockFiveControlsAreShutOnAFirmwareWithoutBlockFive) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.oldFirmware = true;
    o.firmwareVersion = QString::fromLatin1(sim::kOldVersion);
    Online t(o, true);
    ASSERT_TRUE(t.ok);
    ASSERT_FALSE(t.s.tool().HasBlock5());
    t.Unlocked();
    EXPECT_FALSE(t.model.State(C::CmbDefTimeSovra).enabled);
    EXPECT_FALSE(t.model.State(C::ChkSingleChComm).enabled);
    EXPECT_TRUE(t.model.State(C::CmbBadBit).enabled);
    t.model.ListPicked(C::CmbDefTimeSovra, 1);
    t.model.CheckClicked(C::ChknotOsservaRpm, true);
    EXPECT_EQ(t.delays().DelayWriteMem5, 0);
    EXPECT_EQ(t.image().PendingEdits, ParamImage::SentinelEdits());
}

// In virtual time on the simulator: the page's edits of three blocks reach
// the ECU with one write of each block.
TEST(ExpertModel, EditsReachTheEcuWithOneWriteOfEachBlock) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.RunFor(1);
    ExpertModel m(s.tool(), s.sched());
    m.EnterPassword("KT540exp");
    m.Form_Activate();
    const auto item = [&](C c, const char* text) {
        const EntryList& l = m.State(c).items;
        for (size_t i = 0; i < l.size(); ++i)
            if (l[i].text == QLatin1String(text)) return static_cast<int>(i);
        ADD_FAILURE() << text;
        return 0;
    };
    const uint64_t w2 = s.Sent(CMD_WRT_MEM2), w3 = s.Sent(CMD_WRT_MEM3), w5 = s.Sent(CMD_WRT_MEM5);
    m.ListPicked(C::CmbMaxPowerSoh, item(C::CmbMaxPowerSoh, "4400"));
    m.CheckClicked(C::ChkMaxPower, true);
    m.ListPicked(C::CmbBadBit, item(C::CmbBadBit, "1,2"));
    m.ListPicked(C::CmbDefTimeSovra, item(C::CmbDefTimeSovra, "20"));
    m.CheckClicked(C::ChknotOsservaRpm, true);
    m.TextEntered(C::TxtSoh_Ton_Comm, "40");
    m.CmdClearHoursCnt_Click();
    s.RunFor(5);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2) - w2, 1u);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3) - w3, 1u);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM5) - w5, 1u);
    const sim::ConfigImage& ecu = s.ecu->Working();
    EXPECT_EQ(sim::GetU16(&ecu.mem3[sim::mem3::MaxPowerThreshold]), 4400);
    EXPECT_EQ(ecu.mem3[sim::mem3::MaxPowerEnable], 1);
    EXPECT_EQ(ecu.mem3[sim::mem3::BadBitStep], 7);
    EXPECT_NEAR(sim::GetU16(&ecu.mem5[sim::mem5::PreInjPeriod]) * s.image().KTimer, 20, 1e-9);
    EXPECT_EQ(ecu.mem5[sim::mem5::NotObserveRpm], 1);
    EXPECT_EQ(sim::GetU16(&ecu.mem5[sim::mem5::SohTonComm]), 40);
    // The ECU took the erase: its counters start again from nothing.
    EXPECT_LT(sim::GetU32(&ecu.mem2[sim::mem2::Hours1]), 60u);
    EXPECT_EQ(s.image().PendingEdits, ParamImage::SentinelEdits());
    // Refilled, the page shows what the ECU now holds.
    m.Form_Activate();
    EXPECT_EQ(m.State(C::CmbMaxPowerSoh).items[size_t(m.State(C::CmbMaxPowerSoh).selected)].text,
              "4400");
}

// The volumetric compensation is shown only with an empty-gas mode other
// than 0, also one chosen on the Configuration tab and not yet written.
TEST(ExpertModel, VolumetricCompensationFollowsTheEmptyGasMode) {
    Online t;
    ASSERT_TRUE(t.ok);
    ExpertModel& m = t.Unlocked();
    const struct {
        int ecuMode;
        int pendingMode;  // kPendingInt: none chosen
        bool shown;
    } cases[] = {{0, kPendingInt, false},
                 {1, kPendingInt, true},
                 {2, kPendingInt, true},
                 {1, 0, false},
                 {0, 2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.ecuMode << " " << c.pendingMode);
        t.image().Mem3Block.EmptyGasMode = c.ecuMode;
        t.image().PendingEdits.Mem3Block.EmptyGasMode = c.pendingMode;
        m.Form_Activate();
        for (const ExpertControl v : {C::ChkAbilComp, C::CmbpressVolRef, C::CmbtempVolRef})
            EXPECT_EQ(m.State(v).shown, c.shown) << ExpertControlSpec(v).name;
        EXPECT_TRUE(m.State(C::ChkMaxPower).shown);  // the other controls stay
    }
}
