// The secondary windows of the main window offscreen on the simulated ECU,
// in virtual time: the error window, the expert page with its passwords and
// its layout file, and the comparison with a parameter file.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <map>

#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "link/core/CommandTable.h"
#include "mainwindow/widgets/FrmCompare.h"
#include "mainwindow/widgets/FrmErrEcu.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "mainwindow/widgets/FrmSetExpert.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// The error list is read every 504th polling tick. A tick that waits for an
// answer lets the ticks falling due meanwhile pass, so on the line that
// takes about 20 s rather than 504 x 14 ms.
constexpr double kErrorReadS = 30;

struct Window {
    SimSession s;
    std::unique_ptr<FrmKT540> w;
    Window() {
        w = std::make_unique<FrmKT540>(*s.session);
        w->show();
    }
    bool GoOnline() {
        s.Start();
        return s.RunUntil([this] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); },
                          30);
    }
    template <class T>
    T* Visible() const {
        for (T* x : w->findChildren<T*>(QString(), Qt::FindDirectChildrenOnly))
            if (x->isVisible()) return x;
        return nullptr;
    }
    FrmSetExpert* OpenExpertPage() {
        s.ctl().CmdExpert_Click();
        return Visible<FrmSetExpert>();
    }
    void WriteLayout(const QStringList& lines) {
        ASSERT_TRUE(WriteLatin1Lines(s.root + "/LNG/exp.cfg", lines));
    }
};

void Key(QWidget* target, int key, const QString& text = QString()) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

void TypePassword(FrmSetExpert* page, const QString& text) {
    page->PasswordBox()->setText(text);
    Key(page->PasswordBox(), Qt::Key_Return);
}

// How a control of the page looks.
struct Look {
    QRect geometry;
    bool visible = false;
    bool enabled = false;
    QRgb back = 0, fore = 0;
    int alignment = 0;
    bool operator==(const Look&) const = default;
};

std::map<QString, Look> Looks(FrmSetExpert* page) {
    std::map<QString, Look> out;
    for (QWidget* c : page->findChildren<QWidget*>()) {
        const QString name = c->objectName();
        if (name.isEmpty() || name.startsWith("qt_")) continue;
        Look l;
        l.geometry = c->geometry();
        l.visible = c->isVisibleTo(page);
        l.enabled = c->isEnabled();
        l.back = c->palette().color(QPalette::Window).rgb();
        l.fore = c->palette().color(QPalette::WindowText).rgb();
        if (auto* lab = qobject_cast<QLabel*>(c)) l.alignment = int(lab->alignment());
        if (auto* e = qobject_cast<QLineEdit*>(c)) l.alignment = int(e->alignment());
        out[name] = l;
    }
    return out;
}

QStringList Record(const char* name, const QStringList& body) {
    return QStringList{"[Name]", name, "[Index]", "x"} + body + QStringList{"[EndName]"};
}

}  // namespace

TEST(ErrorWindowOnSim, ShowsTheEcusErrorsAndCancClearsThem) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    t.s.ecu->SetFault(sim::ERR_GAS_PRESSURE_SENSOR, sim::kErrShortOrLow);
    t.s.RunFor(0.2);
    t.s.ecu->SetFault(sim::ERR_GAS_PRESSURE_SENSOR, sim::kErrNone);
    t.s.ecu->SetFault(sim::ERR_REDUCER_TEMP_SENSOR, sim::kErrOpenCircuit);
    QPushButton* button = t.w->ErrorButton();
    ASSERT_TRUE(t.s.RunUntil([&] { return button->isVisible(); }, kErrorReadS));
    button->click();
    FrmErrEcu* e = t.Visible<FrmErrEcu>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->windowTitle(), "ECU errors ");
    QTableWidget* g = e->Grid();
    ASSERT_EQ(g->rowCount(), 18);
    ASSERT_EQ(g->columnCount(), 3);
    // 3600, 2160 and 2160 twips; rows of 330 twips.
    EXPECT_EQ(g->columnWidth(0), 240);
    EXPECT_EQ(g->columnWidth(1), 144);
    EXPECT_EQ(g->columnWidth(2), 144);
    EXPECT_EQ(g->rowHeight(0), 22);
    EXPECT_EQ(g->horizontalHeaderItem(1)->text(), "Present");
    EXPECT_EQ(g->item(1, 0)->text(), "Reducer temperature sensor");
    EXPECT_EQ(g->item(1, 1)->text(), "Open circuit");
    EXPECT_EQ(g->item(1, 2)->text(), "Open circuit");
    EXPECT_EQ(g->item(0, 1)->text(), "");
    EXPECT_EQ(g->item(0, 2)->text(), "Short circuit");
    EXPECT_EQ(g->item(5, 1)->background().color(), QColor(255, 128, 128));  // 8421631
    EXPECT_EQ(g->item(5, 2)->background().color(), QColor(255, 255, 192));  // 12648447
    EXPECT_EQ(e->CancButton()->text(), "Canc.");
    EXPECT_EQ(e->EscButton()->text(), "Esc");
    // A second click brings the same window forward.
    button->click();
    EXPECT_EQ(t.w->findChildren<FrmErrEcu*>().size(), 1);

    // A new error shows once the main window has read the list again: the
    // window refreshes every second from what was read.
    t.s.ecu->SetFault(sim::ERR_GAS_TEMP_SENSOR, sim::kErrHigh);
    ASSERT_TRUE(
        t.s.RunUntil([&] { return g->item(2, 1)->text() == "Reading too high"; }, kErrorReadS + 1));

    e->CancButton()->click();
    for (int r = 0; r < g->rowCount(); ++r) {
        EXPECT_EQ(g->item(r, 1)->text(), "") << r;
        EXPECT_EQ(g->item(r, 2)->text(), "") << r;
    }
    EXPECT_FALSE(button->isVisible());
    EXPECT_EQ(t.s.ecu->ErrorFlags()[sim::ERR_GAS_PRESSURE_SENSOR + kErrorItems], sim::kErrNone);
    t.s.RunFor(1.5);
    EXPECT_EQ(g->item(1, 1)->text(), "");  // until the next read of the list
    // The sensor is still open: the next read shows it again, stored anew.
    ASSERT_TRUE(t.s.RunUntil([&] { return g->item(1, 1)->text() == "Open circuit"; }, kErrorReadS));
    EXPECT_EQ(g->item(1, 2)->text(), "Open circuit");
    EXPECT_EQ(g->item(0, 2)->text(), "");
    EXPECT_TRUE(button->isVisible());

    // The Escape key closes it; so does "Esc".
    Key(e, Qt::Key_Escape);
    EXPECT_FALSE(e->isVisible());
    t.s.ctl().CmdErrInj_Click();
    FrmErrEcu* again = t.Visible<FrmErrEcu>();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, e);
    again->EscButton()->click();
    EXPECT_EQ(t.Visible<FrmErrEcu>(), nullptr);
}

TEST(ExpertPageOnSim, AWrongPasswordLeavesEveryControlLocked) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    // Even a layout file that shows both frames does not open the page.
    t.WriteLayout(
        QStringList{"[Sessione pagina Expert]"} + Record("FrmExp", {"[Visible]", "True"}) +
        Record("FrmTrueExpert", {"[Visible]", "True"}) +
        Record("ChkAbilComp", {"[Visible]", "True"}) + QStringList{"[Fine pagina Expert]"});
    FrmSetExpert* page = t.OpenExpertPage();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->windowTitle(), "SETTING");
    const auto lockedLooks = [&] {
        EXPECT_EQ(page->size(), QSize(231, 37));  // 3555 x 1050 twips with the window's border
        for (const char* frame : {"FrmExp", "FrmTrueExpert"}) {
            EXPECT_FALSE(page->Control(frame)->isVisible()) << frame;
            EXPECT_FALSE(page->Control(frame)->isEnabled()) << frame;
        }
        for (int i = 0; i < kExpertControls; ++i) {
            QWidget* c = page->Control(ExpertControlSpec(static_cast<ExpertControl>(i)).name);
            ASSERT_NE(c, nullptr) << i;
            EXPECT_FALSE(c->isVisible()) << c->objectName().toStdString();
            EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
        }
    };
    lockedLooks();
    EXPECT_TRUE(page->PasswordBox()->isVisible());
    TypePassword(page, "Gas2026");
    EXPECT_EQ(page->Model().Level(), ExpertLevel::Locked);
    lockedLooks();
    // A click that reaches a hidden control changes nothing.
    qobject_cast<QCheckBox*>(page->Control("ChkMaxPower"))->click();
    EXPECT_EQ(t.s.sched().Delays().DelayWriteMem3, 0);

    TypePassword(page, "gas2026");
    ASSERT_EQ(page->Model().Level(), ExpertLevel::First);
    QWidget* exp = page->Control("FrmExp");
    QWidget* trueExp = page->Control("FrmTrueExpert");
    EXPECT_TRUE(exp->isVisible());
    EXPECT_FALSE(trueExp->isVisible());
    EXPECT_FALSE(trueExp->isEnabled());
    EXPECT_EQ(page->width(), exp->width() + 2 * exp->x());
    EXPECT_EQ(page->height(), exp->height() + exp->y());

    TypePassword(page, "KT540exp");
    ASSERT_EQ(page->Model().Level(), ExpertLevel::Second);
    EXPECT_TRUE(trueExp->isVisible());
    EXPECT_TRUE(page->Control("TxtSoh_Ton_Comm")->isVisible());
    EXPECT_EQ(page->width(), trueExp->width() + trueExp->x() + exp->x());
    page->close();
}

TEST(ExpertPageOnSim, ChangesOnThePageReachTheEcuOnce) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    FrmSetExpert* page = t.OpenExpertPage();
    ASSERT_NE(page, nullptr);
    TypePassword(page, "KT540exp");
    page->Activate();
    auto* power = qobject_cast<QComboBox*>(page->Control("CmbMaxPowerSoh"));
    const int at = power->findText("5000");
    ASSERT_GE(at, 0);
    power->setCurrentIndex(at);
    emit power->activated(at);
    qobject_cast<QCheckBox*>(page->Control("ChknotOsservaRpm"))->click();
    auto* box = qobject_cast<QLineEdit*>(page->Control("Txtsoh_Tfra_Comm"));
    box->setFocus();
    box->selectAll();
    Key(box, Qt::Key_7, "7");
    EXPECT_EQ(box->palette().color(QPalette::Base), QColor(255, 255, 0));  // typing: yellow
    Key(box, Qt::Key_Return);
    EXPECT_NE(box->palette().color(QPalette::Base), QColor(255, 255, 0));
    const uint64_t w3 = t.s.Sent(CMD_WRT_MEM3), w5 = t.s.Sent(CMD_WRT_MEM5);
    t.s.RunFor(4);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3) - w3, 1u);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM5) - w5, 1u);
    EXPECT_EQ(sim::GetU16(&t.s.ecu->Working().mem3[sim::mem3::MaxPowerThreshold]), 5000);
    EXPECT_EQ(t.s.ecu->Working().mem5[sim::mem5::NotObserveRpm], 1);
    EXPECT_EQ(sim::GetU16(&t.s.ecu->Working().mem5[sim::mem5::SohTfraComm]), 7);
    page->close();
}

TEST(ExpertPageOnSim, TheLayoutFileMovesHidesAndRecoloursControls) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    FrmSetExpert* plain = t.OpenExpertPage();
    ASSERT_NE(plain, nullptr);
    TypePassword(plain, "gas2026");
    const auto design = Looks(plain);
    plain->close();
    delete plain;

    t.WriteLayout(QStringList{"; the expert page of this customer", "[Sessione pagina Expert]"} +
                  Record("CmbBadBit", {"[Left]", "600", "[Top]", "4500", "[Width]", "1500"}) +
                  Record("LblSafetyCar", {"[Visible]", "False"}) +
                  Record("ChkAbilComp", {"[BackColor]", "255", "[ForeColor]", "16777215"}) +
                  Record("LblPressVo", {"[Alignment]", "1", "[Height]", ""}) +
                  Record("FrmTrueExpert", {"[Visible]", "True"}) +
                  QStringList{"[Fine pagina Expert]"});
    FrmSetExpert* page = t.OpenExpertPage();
    ASSERT_NE(page, nullptr);
    TypePassword(page, "gas2026");
    auto looks = Looks(page);
    const QRect badBit = looks["CmbBadBit"].geometry;
    EXPECT_EQ(badBit, QRect(40, 300, 100, design.at("CmbBadBit").geometry.height()));
    EXPECT_FALSE(looks["LblSafetyCar"].visible);
    EXPECT_EQ(looks["ChkAbilComp"].back, qRgb(255, 0, 0));
    EXPECT_EQ(looks["ChkAbilComp"].fore, qRgb(255, 255, 255));
    EXPECT_EQ(looks["LblPressVo"].alignment, int(Qt::AlignRight | Qt::AlignVCenter));
    EXPECT_FALSE(looks["FrmTrueExpert"].visible);  // the second level stays shut
    auto expected = design;
    for (const char* changed : {"CmbBadBit", "LblSafetyCar", "ChkAbilComp", "LblPressVo"}) {
        looks.erase(changed);
        expected.erase(changed);
    }
    EXPECT_TRUE(looks == expected) << "a control the file does not name changed";
    // The second level shows every control, whatever the file hid.
    TypePassword(page, "KT540exp");
    EXPECT_TRUE(page->Control("LblSafetyCar")->isVisible());
    page->close();
}

TEST(ExpertPageOnSim, ABrokenLayoutFileChangesNothingElse) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    FrmSetExpert* plain = t.OpenExpertPage();
    ASSERT_NE(plain, nullptr);
    TypePassword(plain, "gas2026");
    const auto design = Looks(plain);
    plain->close();
    delete plain;

    const QStringList hidden = Record("LblSafetyCar", {"[Visible]", "False"});
    t.WriteLayout(
        hidden + QStringList{"[Sessione pagina Expert]"} +
        Record("Ghost", {"[Visible]", "False", "[Left]", "0"}) +
        QStringList{"[Name]", "TxtPw", "[Index]", "3", "[Visible]", "False", "[EndName]"} +
        Record("LblTempVo",
               {"[Visible]", "perhaps", "[BackColor]", "-5", "[ForeColor]", "&HZZ", "[Alignment]",
                "7", "[Width]", "abc", "[Height]", "-30", "[Left]", "1e99"}) +
        Record("CmbRpmLow", {"[Top]"}) + QStringList{"[Fine pagina Expert]"} + hidden);
    FrmSetExpert* page = t.OpenExpertPage();
    ASSERT_NE(page, nullptr);
    TypePassword(page, "gas2026");
    EXPECT_TRUE(Looks(page) == design) << "a broken value or record changed the page";
    page->close();
}

TEST(CompareOnSim, TheFileMenuComparesAFileWithTheEcu) {
    Window t;
    ASSERT_TRUE(t.GoOnline());
    t.s.RunFor(1);
    const QString file = t.s.root + "/car.var";
    ASSERT_TRUE(
        SaveParamFile(file, t.s.image(), t.s.tool().EcuVersion(), t.s.tool().ProductTitle()));
    QAction* compare = t.w->findChild<QAction*>("MnuFileCompare");
    ASSERT_NE(compare, nullptr);
    EXPECT_EQ(compare->text(), "&Compare with file...");
    t.s.prompts.files.push_back(file);
    compare->trigger();
    FrmCompare* same = t.Visible<FrmCompare>();
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(same->Summary()->text(), "The file and the ECU hold the same configuration.");
    EXPECT_EQ(same->Table()->rowCount(), 0);
    same->close();

    // One setting changed on the ECU from the Configuration tab.
    QComboBox* rpm = t.w->Combo("CmbSwtchRpm");
    ASSERT_EQ(rpm->currentText(), "800");
    const int at = rpm->findText("2200");
    rpm->setCurrentIndex(at);
    emit rpm->activated(at);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.image().Mem3Block.SwitchRpm == 2200; }, 5));
    t.s.prompts.files.push_back(file);
    compare->trigger();
    FrmCompare* one = t.Visible<FrmCompare>();
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->Summary()->text(), "Differences: 1");
    ASSERT_EQ(one->Table()->rowCount(), 1);
    EXPECT_EQ(one->Table()->item(0, 0)->text(), "SwitchRpm");
    EXPECT_EQ(one->Table()->item(0, 1)->text(), "800");
    EXPECT_EQ(one->Table()->item(0, 2)->text(), "2200");
    one->close();

    // A damaged file is said, not compared; no file chosen, nothing happens.
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(file, lines));
    for (QString& l : lines)
        if (l.startsWith("B3")) l = "B3ZZ";
    ASSERT_TRUE(WriteLatin1Lines(file, lines));
    const size_t boxes = t.s.prompts.shown.size();
    t.s.prompts.files.push_back(file);
    compare->trigger();
    EXPECT_EQ(t.Visible<FrmCompare>(), nullptr);
    ASSERT_EQ(t.s.prompts.shown.size(), boxes + 1);
    EXPECT_TRUE(t.s.prompts.shown.back().text.contains("cannot be compared"));
    compare->trigger();
    EXPECT_EQ(t.Visible<FrmCompare>(), nullptr);
    EXPECT_EQ(t.s.prompts.shown.size(), boxes + 1);
}
