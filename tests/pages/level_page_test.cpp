// The level page: its bars and their order in both sender modes, the values
// shown, the level indicator, and what reaches the ECU's block 3, against
// the simulated ECU in virtual time.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>
#include <vector>

#include "common/Helpers.h"
#include "data/core/ScaleConfig.h"
#include "link/core/CommandTable.h"
#include "pages/level/FrmLevelSetting.h"
#include "sim/core/SimLayout.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

QString Dec(const char* s) {
    return QString::fromLatin1(s).replace('.', DecimalSeparator());
}

uint16_t EcuThreshold(const sim::SimEcu& ecu, int k) {
    return ecu.Working().LevelThreshold(k);
}

// A session whose ECU has the level sender of `code` with its default thresholds.
struct LevelOnSim {
    explicit LevelOnSim(int code) {
        EXPECT_TRUE(s.StartAndGoOnline());
        const GasLevelTypeEntry* t = s.scale().LevelAt(s.scale().LevelIndexByCode(code));
        EXPECT_NE(t, nullptr);
        Mem3Fields& p = s.image().PendingEdits.Mem3Block;
        p.LevelTypeCode = static_cast<uint8_t>(code);
        p.LevelThresholds = t->Thresholds;
        s.sched().StartWriteDelay(Block::Mem3);
        const uint64_t writes = s.Sent(CMD_WRT_MEM3);
        EXPECT_TRUE(s.RunUntil(
            [&] {
                return s.Sent(CMD_WRT_MEM3) > writes && !s.sched().Pending(Request::WriteMem3) &&
                       !s.sched().Pending(Request::ReadMem3);
            },
            10));
        page = std::make_unique<FrmLevelSetting>(s.tool(), s.cycle());
        page->show();
    }
    QScrollBar* Bar(int i) {
        return page->findChild<QScrollBar*>(QStringLiteral("HScrLevel%1").arg(i));
    }
    SimSession s;
    std::unique_ptr<FrmLevelSetting> page;
};

}  // namespace

TEST(LevelPage, BarsKeepTheirOrderInTheRisingMode) {
    LevelOnSim t(1);  // Hall effect 0-5 V: 120 260 400 540 680 820
    LevelPageModel& m = t.page->Model();
    ASSERT_EQ(m.LevelMode(), 0);
    for (int i = 0; i < kLevelBars; ++i) EXPECT_EQ(m.ElementOfBar(i), i + 1);
    EXPECT_EQ(t.Bar(0)->value(), 260);
    EXPECT_EQ(t.Bar(4)->value(), 820);
    // Bar 2 moved below bar 1 stops at bar 1's value, above bar 3 at bar 3's.
    t.Bar(2)->setValue(100);
    EXPECT_EQ(t.Bar(2)->value(), t.Bar(1)->value());
    t.Bar(2)->setValue(900);
    EXPECT_EQ(t.Bar(2)->value(), t.Bar(3)->value());
    t.Bar(2)->setValue(450);
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.LevelThresholds[3], 450);
    // The value in the type's units: 4 V × 450 / 820.
    EXPECT_EQ(t.page->findChild<QLineEdit*>("TxtLevel2")->text(), Dec("2.19"));
    const uint64_t writes = t.s.Sent(CMD_WRT_MEM3);
    ASSERT_TRUE(t.s.RunUntil([&] { return EcuThreshold(*t.s.ecu, 3) == 450; }, 5));
    t.s.RunFor(2);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3), writes + 1);  // the moves above, one write
}

TEST(LevelPage, BarsAreReversedForASenderThatFallsAsTheTankFills) {
    LevelOnSim t(2);  // 240-33 ohm: 100 260 420 580 740 900, mode 1
    LevelPageModel& m = t.page->Model();
    ASSERT_EQ(m.LevelMode(), 1);
    // Bar 0 holds threshold 5 and a move of bar 0 is stored in element 5.
    EXPECT_EQ(m.ElementOfBar(0), 5);
    EXPECT_EQ(t.Bar(0)->value(), 900);
    EXPECT_EQ(t.Bar(4)->value(), 260);
    t.Bar(0)->setValue(950);
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.LevelThresholds[5], 950);
    // The bars fall from left to right: bar 1 may not rise above bar 0 nor
    // fall below bar 2.
    t.Bar(1)->setValue(1000);
    EXPECT_EQ(t.Bar(1)->value(), 950);
    t.Bar(1)->setValue(10);
    EXPECT_EQ(t.Bar(1)->value(), t.Bar(2)->value());
    ASSERT_TRUE(t.s.RunUntil([&] { return EcuThreshold(*t.s.ecu, 5) == 950; }, 5));
    EXPECT_EQ(EcuThreshold(*t.s.ecu, 4), 580);
    // "Default" puts the type's own thresholds back.
    t.page->findChild<QPushButton*>("CmdDefaultLevel")->click();
    EXPECT_EQ(t.Bar(0)->value(), 900);
    EXPECT_EQ(t.s.image().PendingEdits.Mem3Block.LevelThresholds[5], 900);
    ASSERT_TRUE(t.s.RunUntil([&] { return EcuThreshold(*t.s.ecu, 5) == 900; }, 5));
}

TEST(LevelPage, TheLevelIndicatorFollowsTheTank) {
    for (const int code : {1, 2}) {
        SCOPED_TRACE(code);
        LevelOnSim t(code);
        LevelPageModel& m = t.page->Model();
        const auto filled = [&] {
            int n = 0;
            for (int k = 1; k < kLevelQuarters; ++k)
                n += m.LevelQuarters().filled[static_cast<size_t>(k)] ? 1 : 0;
            return n;
        };
        t.s.ecu->SetTankLevel(0.95);
        ASSERT_TRUE(t.s.RunUntil([&] { return filled() == 3; }, 5)) << m.Reading();
        EXPECT_FALSE(m.LevelQuarters().reserveBlinks);
        t.s.ecu->SetTankLevel(0.5);
        ASSERT_TRUE(t.s.RunUntil([&] { return filled() == 1; }, 5)) << m.Reading();
        t.s.ecu->SetTankLevel(0.05);
        ASSERT_TRUE(t.s.RunUntil([&] { return m.LevelQuarters().reserveBlinks; }, 5))
            << m.Reading();
        EXPECT_EQ(filled(), 0);
        // The reserve quarter blinks on the page: shown and hidden on alternate ticks.
        t.s.RunFor(1.1);
        // The reserve quarter's inside differs from the background only
        // while it is drawn.
        std::vector<bool> drawn;
        for (int i = 0; i < 4; ++i) {
            t.page->Tick();
            const QImage img = t.page->findChild<QWidget*>("ShpLevAct")->grab().toImage();
            drawn.push_back(img.pixelColor(8, 8) != img.pixelColor(1, 1));
        }
        for (size_t i = 1; i < drawn.size(); ++i) EXPECT_NE(drawn[i], drawn[i - 1]) << "tick " << i;
        EXPECT_EQ(std::count(drawn.begin(), drawn.end(), true), 2);
    }
}

TEST(LevelPage, ValuesShownWithoutATypeOrWithAZeroScale) {
    LevelOnSim t(1);
    LevelPageModel& m = t.page->Model();
    t.s.image().Mem1Block.LevelRaw = 512;
    t.s.image().KLevel = 4.883;
    EXPECT_EQ(m.SensorVoltsText(), Dec("2.500"));
    // A type whose top threshold is 0 still shows numbers.
    GasLevelTypeEntry& type =
        t.s.scale().GasLevelType[static_cast<size_t>(t.s.scale().LevelIndexByCode(1))];
    type.Thresholds[5] = 0;
    const QString shown = m.DisplayText(400);
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown, Dec("1600000000.00"));
    // With the reading at threshold 1 the reserve blinks and the rest is empty.
    t.s.image().Mem1Block.LevelRaw = t.s.image().Mem3Block.LevelThresholds[1];
    const LevelPageModel::Quarters q = m.LevelQuarters();
    EXPECT_TRUE(q.reserveBlinks);
    EXPECT_FALSE(q.filled[1] || q.filled[2] || q.filled[3]);
}

// The sensor type changed while the page is open (a parameter file, the
// Configuration tab): the next tick fills the page again for the new type.
TEST(LevelPage, AChangeOfSensorTypeFillsThePageAgain) {
    LevelOnSim t(1);  // rising: bar 0 is threshold 1
    LevelPageModel& m = t.page->Model();
    ASSERT_EQ(m.LevelMode(), 0);
    ASSERT_EQ(t.Bar(0)->value(), 260);
    const QString risingCaption = t.page->findChild<QLabel*>("LblLevelType")->text();
    const GasLevelTypeEntry* falling = t.s.scale().LevelAt(t.s.scale().LevelIndexByCode(2));
    ASSERT_NE(falling, nullptr);
    Mem3Fields& p = t.s.image().PendingEdits.Mem3Block;
    p.LevelTypeCode = 2;
    p.LevelThresholds = falling->Thresholds;
    t.s.sched().StartWriteDelay(Block::Mem3);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.image().Mem3Block.LevelTypeCode == 2; }, 10));
    t.page->Tick();
    EXPECT_EQ(m.LevelMode(), 1);
    EXPECT_EQ(m.ElementOfBar(0), 5);
    EXPECT_EQ(t.Bar(0)->value(), 900);  // the falling type's threshold 5
    EXPECT_EQ(t.Bar(4)->value(), 260);
    EXPECT_NE(t.page->findChild<QLabel*>("LblLevelType")->text(), risingCaption);
    EXPECT_EQ(t.page->findChild<QLabel*>("LblLevelType")->text(), m.TypeCaption());
}

// Under the indicator one label per quarter, left to right: its level
// number, "/" and "4"; the same for a sender in either direction.
TEST(LevelPage, TheQuarterLabelsReadOneToFourQuarters) {
    for (const int code : {1, 2}) {
        SCOPED_TRACE(code);
        LevelOnSim t(code);
        const char* const captions[] = {"1/4", "2/4", "3/4", "4/4"};
        int lastX = -1;
        for (int k = 0; k < 4; ++k) {
            auto* l = t.page->findChild<QLabel*>(QStringLiteral("LblLevel%1").arg(k));
            ASSERT_NE(l, nullptr) << k;
            EXPECT_EQ(l->text(), QLatin1String(captions[k]));
            EXPECT_TRUE(l->isVisible());
            const int x = l->mapTo(t.page.get(), QPoint(0, 0)).x();
            EXPECT_GT(x, lastX) << k;
            lastX = x;
        }
        EXPECT_EQ(t.page->findChild<QLabel*>("LblLevel4"), nullptr);
    }
}
