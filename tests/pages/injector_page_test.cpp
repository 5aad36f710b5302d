// The injector page against the simulated ECU in virtual time: its rows,
// trims, sensitivity and modes, and what reaches the ECU's block 3.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>

#include "common/Helpers.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/ExpertModel.h"
#include "mainwindow/controller/LiveModel.h"
#include "pages/injector/FrmInjSet.h"
#include "sim/core/SimLayout.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

QString Dec(const char* s) {
    return QString::fromLatin1(s).replace('.', DecimalSeparator());
}

int16_t EcuTrimRaw(const sim::SimEcu& ecu, int cyl) {
    const uint8_t* p = &ecu.Working().mem3[sim::CylOffset(sim::mem3::InjTrim, cyl, 2)];
    return static_cast<int16_t>(p[0] | p[1] << 8);
}

uint8_t EcuInjEnable(const sim::SimEcu& ecu, int cyl) {
    return ecu.Working().mem3[sim::CylOffset(sim::mem3::InjEnable, cyl, 1)];
}

struct PageOnSim {
    explicit PageOnSim(sim::SimOptions o = SimSession::DefaultOptions()) : s(o) {
        EXPECT_TRUE(s.StartAndGoOnline());
        page = std::make_unique<FrmInjSet>(s.tool(), s.cycle());
        page->show();
    }
    QScrollBar* Trim(int i) {
        return page->findChild<QScrollBar*>(QStringLiteral("HScrTime%1").arg(i));
    }
    QLineEdit* Box(const char* name, int i) {
        return page->findChild<QLineEdit*>(QStringLiteral("%1%2").arg(QLatin1String(name)).arg(i));
    }
    QComboBox* Mode(int i) {
        return page->findChild<QComboBox*>(QStringLiteral("CmbSelect%1").arg(i));
    }
    void Pick(int row, int index) {
        Mode(row)->setCurrentIndex(index);
        emit Mode(row)->activated(index);
    }
    SimSession s;
    std::unique_ptr<FrmInjSet> page;
};

}  // namespace

TEST(InjectorPage, OneRowPerCylinderWithTheImagesModesAndTrims) {
    PageOnSim t;
    ASSERT_EQ(t.s.image().Mem3Block.NumCylinders, 4);
    for (int i = 0; i < 4; ++i) {
        auto* label = t.page->findChild<QLabel*>(QStringLiteral("LblInj%1").arg(i));
        ASSERT_NE(label, nullptr) << i;
        EXPECT_EQ(label->text(), QStringLiteral("Inj #%1").arg(i + 1));
        EXPECT_EQ(t.Mode(i)->count(), 3);
    }
    EXPECT_EQ(t.page->findChild<QLabel*>("LblInj4"), nullptr);
    // Mode items by injector state: 4 → 1, other non-zero → 0, 0 → 2.
    EXPECT_EQ(InjectorPageModel::ModeOf(4), InjMode::GasForced);
    EXPECT_EQ(InjectorPageModel::ModeOf(1), InjMode::OnGas);
    EXPECT_EQ(InjectorPageModel::ModeOf(3), InjMode::OnGas);
    EXPECT_EQ(InjectorPageModel::ModeOf(0), InjMode::Off);
    EXPECT_EQ(t.Mode(0)->currentIndex(), 0);
    // The caption: the product title, " - " and the section's caption.
    EXPECT_TRUE(t.page->windowTitle().startsWith(t.s.tool().ProductTitle() + " - "));
}

TEST(InjectorPage, BroughtBackToTheFrontItShowsTheModesAndTrimsChangedMeanwhile) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.engineRunning = false;
    PageOnSim t(o);
    ASSERT_EQ(t.Mode(1)->currentIndex(), static_cast<int>(InjMode::OnGas));
    ASSERT_EQ(t.Trim(1)->value(), 0);
    // Changed elsewhere while the page stays open (a parameter file loaded
    // by the main window): written to the ECU and read back into the image.
    Mem3Fields& p = t.s.image().PendingEdits.Mem3Block;
    p.InjEnable[1] = 0;
    p.InjTrim[1] = 2.0;
    t.s.sched().StartWriteDelay(Block::Mem3);
    ASSERT_TRUE(t.s.RunUntil(
        [&] {
            return t.s.image().Mem3Block.InjEnable[1] == 0 &&
                   t.s.image().Mem3Block.InjTrim[1] == 2.0;
        },
        10));
    // The window system activates the page again.
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(t.page.get(), &activate);
    EXPECT_EQ(t.Mode(1)->currentIndex(), static_cast<int>(InjMode::Off));
    EXPECT_EQ(t.Box("TxtInjGas", 1)->text(), "2");
    EXPECT_EQ(t.Trim(1)->value(), 25);  // 2 ms in steps of 0.08 ms
    // Refreshing stores nothing.
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.InjTrim[1], kPendingSigned);
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.InjEnable[1], kPendingByte);
}

TEST(InjectorPage, ATrimDraggedToTheEndReachesBlock3OnceAndXBringsItBack) {
    PageOnSim t;
    ASSERT_DOUBLE_EQ(t.s.image().KInj, 0.008);
    const uint64_t writes = t.s.Sent(CMD_WRT_MEM3);
    // Dragged along: each move stores the trim, one write follows the delay.
    for (int v : {-10, -30, -50}) t.Trim(1)->setValue(v);
    EXPECT_DOUBLE_EQ(t.s.image().PendingEdits.Mem3Block.InjTrim[1], -4.0);
    EXPECT_EQ(t.Box("TxtInjGas", 1)->text(), "-4");
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.Sent(CMD_WRT_MEM3) > writes; }, 5));
    t.s.RunFor(3);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3), writes + 1);
    EXPECT_EQ(EcuTrimRaw(*t.s.ecu, 1), -500);  // -4 ms in counts of 8 µs

    t.page->findChild<QPushButton*>("CmdDefaultTime1")->click();
    EXPECT_EQ(t.Trim(1)->value(), 0);
    EXPECT_EQ(t.Box("TxtInjGas", 1)->text(), "0");
    ASSERT_TRUE(t.s.RunUntil([&] { return EcuTrimRaw(*t.s.ecu, 1) == 0; }, 5));
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3), writes + 2);
}

TEST(InjectorPage, SensitivityShowsTheExpertPagesTimeAndIsWritten) {
    PageOnSim t;
    // The simulated ECU holds step 0, which has no time.
    ASSERT_EQ(t.s.image().Mem3Block.BadBitStep, 0);
    auto* slider = t.page->findChild<QSlider*>("SldBadBit");
    auto* label = t.page->findChild<QLabel*>("LblBadBit2");
    ExpertModel expert(t.s.tool(), t.s.sched());
    const auto expertShows = [&]() -> QString {
        expert.Form_Activate();
        const ExpertControlState& st = expert.State(ExpertControl::CmbBadBit);
        return st.selected < 0 ? QString() : st.items[static_cast<size_t>(st.selected)].text;
    };
    const struct {
        int step;
        const char* shown;  // on the injector page
        bool onExpertPage;  // the expert page's list shows the same text
        int low, high;      // the slider's range
    } cases[] = {
        {0, "[0]", false, 0, 25},      {1, "0.6", true, 1, 25},  {6, "1.1", true, 1, 25},
        {7, "1.2", true, 1, 25},       {25, "3.0", true, 1, 25}, {26, "[26]", false, 1, 26},
        {255, "[255]", false, 1, 255},
    };
    QEvent activate(QEvent::WindowActivate);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        t.s.image().Mem3Block.BadBitStep = static_cast<uint8_t>(c.step);
        QApplication::sendEvent(t.page.get(), &activate);
        // Slider and label in step, the value as it is.
        EXPECT_EQ(slider->value(), c.step);
        EXPECT_EQ(slider->minimum(), c.low);
        EXPECT_EQ(slider->maximum(), c.high);
        EXPECT_EQ(label->text(), Dec(c.shown));
        EXPECT_EQ(expertShows(), c.onExpertPage ? label->text() : QString());
        // Showing stores nothing.
        EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.BadBitStep, kPendingByte);
    }
    // From step 0 the slider moves onto the range and stores the step.
    t.s.image().Mem3Block.BadBitStep = 0;
    QApplication::sendEvent(t.page.get(), &activate);
    slider->setValue(6);
    EXPECT_EQ(label->text(), Dec("1.1"));
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.BadBitStep, 6);
    ASSERT_TRUE(t.s.RunUntil(
        [&] {
            return t.s.ecu->Working().mem3[sim::mem3::BadBitStep] == 6 &&
                   t.s.image().Mem3Block.BadBitStep == 6;
        },
        5));
    // Back at 0 on the widened slider: a step without a time is not stored.
    InjectorPageModel& m = t.page->Model();
    m.SensitivityChanged(0);
    m.SensitivityChanged(26);
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.BadBitStep, kPendingByte);
    EXPECT_EQ(m.Sensitivity(), 6);
}

TEST(InjectorPage, ForcingGasOnPetrolIsRefusedWithTheMessage) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.engineRunning = false;  // key on, engine still: petrol
    PageOnSim t(o);
    ASSERT_EQ(t.s.image().Mem2Block.Mem2Byte1, 0);
    t.s.prompts.shown.clear();
    t.Pick(2, static_cast<int>(InjMode::GasForced));
    ASSERT_EQ(t.s.prompts.shown.size(), 1u);
    EXPECT_EQ(t.s.prompts.shown[0].text, t.page->Model().PageTexts().needsGas);
    EXPECT_EQ(t.s.prompts.shown[0].title, t.page->windowTitle());
    EXPECT_EQ(t.Mode(2)->currentIndex(), static_cast<int>(InjMode::OnGas));  // put back
    EXPECT_FALSE(t.s.cycle().Injectors().Active());
}

TEST(InjectorPage, ModesFollowTheSequencingOnPetrolAndOnGas) {
    {  // On petrol an injector is switched directly.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.engineRunning = false;
        PageOnSim t(o);
        ASSERT_EQ(EcuInjEnable(*t.s.ecu, 1), 1);
        t.Pick(1, static_cast<int>(InjMode::Off));
        EXPECT_TRUE(t.page->Model().RequestPending());
        ASSERT_TRUE(t.s.RunUntil([&] { return EcuInjEnable(*t.s.ecu, 1) == 0; }, 10));
        EXPECT_FALSE(t.s.cycle().Injectors().Active());
        t.Pick(1, static_cast<int>(InjMode::OnGas));
        ASSERT_TRUE(t.s.RunUntil([&] { return EcuInjEnable(*t.s.ecu, 1) == 1; }, 10));
        EXPECT_FALSE(t.s.cycle().Injectors().Active());
    }
    {  // On gas it is brought into service through its intermediate states.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.rpm = 2000;
        PageOnSim t(o);
        ASSERT_TRUE(t.s.RunUntil([&] { return t.s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
        // The ECU took injector 3 onto gas (state 3) with the others.
        ASSERT_TRUE(t.s.RunUntil([&] { return t.s.image().Mem3Block.InjEnable[2] == 3; }, 10));
        ASSERT_EQ(EcuInjEnable(*t.s.ecu, 2), 3);
        t.Pick(2, static_cast<int>(InjMode::GasForced));
        ASSERT_TRUE(t.s.RunUntil([&] { return EcuInjEnable(*t.s.ecu, 2) == 4; }, 10));
        EXPECT_FALSE(t.s.cycle().Injectors().Active());
        t.Pick(2, static_cast<int>(InjMode::Off));
        ASSERT_TRUE(t.s.RunUntil([&] { return EcuInjEnable(*t.s.ecu, 2) == 0; }, 10));
        // Back into service on gas: through state 1 to 2, one step a slot.
        std::vector<uint8_t> seen;
        t.s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_WRT_MEM3) seen.push_back(EcuInjEnable(*t.s.ecu, 2));
        });
        t.Pick(2, static_cast<int>(InjMode::OnGas));
        EXPECT_TRUE(t.page->Model().RequestPending());
        // While a request runs, a mode list passes the focus on.
        t.Mode(3)->setFocus();
        EXPECT_FALSE(t.Mode(3)->hasFocus());
        ASSERT_TRUE(t.s.RunUntil([&] { return !t.s.cycle().Injectors().Active(); }, 30));
        t.s.RunFor(3);
        EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2}));
        // The ECU drives the injector the tool made 2 and reports it on gas.
        EXPECT_EQ(EcuInjEnable(*t.s.ecu, 2), 3);
    }
}

// The live columns: "0" with the key off; the gas time only for an injector
// on gas (3) or forced on gas (4) while the ECU is asked for gas.
TEST(InjectorPage, LiveColumnsByKeyInjectorStateAndWorkMode) {
    PageOnSim t;
    ParamImage& image = t.s.image();
    t.s.tool().LinkTimer().SetEnabled(false);
    t.s.cycle().PollTimer().SetEnabled(false);
    image.Mem1Block.PetrolInjTimes[1] = 3.0;
    image.Mem1Block.GasInjTimes[1] = 0.52;
    const struct {
        int key, state, workMode;
        const char *petrol, *gas;
    } cases[] = {
        {1, 3, 3, "3.00", "3.52"}, {1, 4, 3, "3.00", "3.52"}, {1, 1, 3, "3.00", "0"},
        {1, 2, 3, "3.00", "0"},    {1, 0, 3, "3.00", "0"},    {1, 3, 0, "3.00", "0"},
        {0, 3, 3, "0", "0"},       {0, 1, 0, "0", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "key " << c.key << " state " << c.state << " mode " << c.workMode);
        image.Mem1Block.KeyOn = static_cast<uint8_t>(c.key);
        image.Mem3Block.InjEnable[1] = static_cast<uint8_t>(c.state);
        image.Mem2Block.WorkMode = static_cast<uint8_t>(c.workMode);
        t.page->ShowLiveTimes();
        EXPECT_EQ(t.Box("TxtInjFuelPetrol", 1)->text(), Dec(c.petrol));
        EXPECT_EQ(t.Box("TxtInjFuelGas", 1)->text(), Dec(c.gas));
    }
}

// A car running on gas: the ECU reports the injectors it drives in state 3,
// so the page's gas column shows their gas time, the same number the main
// window is given for that injector (and shows once it is picked); an
// injector switched off, or every injector back on petrol, reads 0 in both.
TEST(InjectorPage, OnGasThePagesGasColumnAndTheMainWindowsGasTimeAgree) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    PageOnSim t(o);
    ParamImage& image = t.s.image();
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return image.Mem2Block.Mem2Byte1 == 3 && image.Mem1Block.SignedInjTimes[0] > 0; },
        90));
    t.s.RunFor(2);  // block 3 read again since
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(EcuInjEnable(*t.s.ecu, i), 3) << i;
        EXPECT_EQ(image.Mem3Block.InjEnable[static_cast<size_t>(i)], 3) << i;
    }

    // Both read the same image at the same moment.
    const auto compare = [&](const std::array<bool, 4>& onGas) {
        t.page->ShowLiveTimes();
        const LiveInputs in = t.s.live().CurrentInputs();
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            const QString page = t.Box("TxtInjFuelGas", i)->text();
            const double mainWindow = in.gasInjTimes[static_cast<size_t>(i)];
            if (onGas[static_cast<size_t>(i)]) {
                EXPECT_GT(mainWindow, 1.0);
                EXPECT_EQ(page, LiveDisplay::InjTime2(mainWindow));
            } else {
                EXPECT_EQ(mainWindow, 0.0);
                EXPECT_EQ(page, "0");
            }
        }
    };
    compare({true, true, true, true});
    // The main window's box for injector 2, once picked, settles on the same time.
    t.s.live().SelectInjector(2);
    t.s.RunFor(1);
    t.page->ShowLiveTimes();
    EXPECT_NEAR(ParseNumber(t.s.live().Display().injTimeGasText),
                ParseNumber(t.Box("TxtInjFuelGas", 1)->text()), 0.05);

    // Injector 3 switched off on gas: 0 in both.
    t.Pick(2, static_cast<int>(InjMode::Off));
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return image.Mem3Block.InjEnable[2] == 0 && image.Mem1Block.SignedInjTimes[2] == 0; },
        20));
    compare({true, true, false, true});

    // Back on petrol every injector is fitted (1) again and nothing is on gas.
    image.PendingEdits.Mem2Block.WorkMode = 0;
    t.s.sched().StartWriteDelay(Block::Mem2);
    ASSERT_TRUE(t.s.RunUntil(
        [&] {
            return image.Mem2Block.Mem2Byte1 == 0 && image.Mem3Block.InjEnable[0] == 1 &&
                   image.Mem1Block.SignedInjTimes[0] == 0;
        },
        20));
    for (int i : {0, 1, 3}) EXPECT_EQ(EcuInjEnable(*t.s.ecu, i), 1) << i;
    compare({false, false, false, false});
}
