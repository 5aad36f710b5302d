// The main window offscreen on the simulated ECU, in virtual time.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/MachinePorts.h"
#include "mainwindow/controller/CalibrationModel.h"
#include "mainwindow/widgets/FrmErrEcu.h"
#include "mainwindow/widgets/FrmInit.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "mainwindow/widgets/SimControl.h"
#include "pages/ctrlbar/UCtrlBar.h"
#include "sim/core/SimFitter.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {
struct WindowOnSim {
    SimSession s;
    std::unique_ptr<FrmKT540> w;
    WindowOnSim() {
        w = std::make_unique<FrmKT540>(*s.session);
        w->show();
        s.Start();
    }
    void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, mods);
        QKeyEvent release(QEvent::KeyRelease, key, mods);
        QApplication::sendEvent(w.get(), &press);
        QApplication::sendEvent(w.get(), &release);
    }
};
}  // namespace

TEST(MainWin, GoesOnlineAndShowsTheSimulatorsLiveValues) {
    WindowOnSim t;
    t.s.RunFor(0.1);
    EXPECT_TRUE(t.w->PortSearchWindow()->isVisible());  // searching / reading
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(3);
    EXPECT_FALSE(t.w->PortSearchWindow()->isVisible());
    const int rpm = t.w->RpmText().toInt();
    const double simRpm = t.s.ecu->Engine().State().rpm;
    EXPECT_EQ(t.w->RpmText().size(), 4);
    EXPECT_NEAR(rpm, simRpm, 60);
    // Petrol time of the fitted injectors, two decimals with a comma.
    const QString pet = t.w->InjTimePetText();
    ASSERT_EQ(pet.size(), 4) << pet.toStdString();
    EXPECT_EQ(pet[1], QLatin1Char(','));
    const double shown = QString(pet).replace(',', '.').toDouble();
    EXPECT_GT(shown, 1.0);
    EXPECT_NEAR(shown, t.s.image().Mem1Block.PetrolInjTimes[0], 0.3);
    EXPECT_TRUE(t.w->StatusText(1).startsWith("COM OK"));
    EXPECT_TRUE(t.w->StatusText(2).startsWith("Time: 0:00:"));
}

// The link's state and its dots change the status bar's text many times a
// second; the status bar is not laid out again for it.
TEST(MainWin, StatusCellTextsChangeWithoutLayingOutTheStatusBar) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(1);
    QApplication::processEvents();  // what start-up posted is out of the way
    struct LayoutCounter : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::LayoutRequest) ++count;
            return false;
        }
    } layouts;
    t.w->statusBar()->installEventFilter(&layouts);
    QStringList texts;
    for (int i = 0; i < 40; ++i) {
        t.s.RunFor(0.05);
        QApplication::processEvents();  // what the changes posted is delivered
        const QString now =
            t.w->StatusText(0) + '|' + t.w->StatusText(1) + '|' + t.w->StatusText(2);
        if (texts.isEmpty() || texts.last() != now) texts << now;
    }
    EXPECT_GT(texts.size(), 3)
        << texts.join(" / ").toStdString();  // the cells did change meanwhile
    EXPECT_EQ(layouts.count, 0);
}

TEST(MainWin, ChangedSwitchoverSpeedReachesTheEcu) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    QComboBox* rpm = t.w->Combo("CmbSwtchRpm");
    ASSERT_NE(rpm, nullptr);
    EXPECT_EQ(rpm->currentText(), "800");  // shows the ECU's value
    const int idx = rpm->findText("2200");
    ASSERT_GE(idx, 0);
    rpm->setCurrentIndex(idx);
    emit rpm->activated(idx);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.Sent(CMD_WRT_MEM3) > 0; }, 5));
    t.s.RunFor(2);
    EXPECT_NEAR(t.s.ecu->Working().SwitchRpm(), 2200, 2);
    EXPECT_EQ(rpm->currentText(), "2200");
}

TEST(MainWin, FunctionKeysSwitchTabsAndServiceViewToggles) {
    WindowOnSim t;
    t.s.RunFor(0.1);
    const std::pair<int, int> keys[] = {{Qt::Key_F5, TAB_CALIBRATION},
                                        {Qt::Key_F6, TAB_MODELING},
                                        {Qt::Key_F7, TAB_MAP},
                                        {Qt::Key_F3, TAB_CONFIG},
                                        {Qt::Key_F2, TAB_GENERAL}};
    for (const auto& [key, tab] : keys) {
        QAction* a = nullptr;
        for (QAction* x : t.w->findChildren<QAction*>())
            if (x->shortcut() == QKeySequence(key)) a = x;
        ASSERT_NE(a, nullptr) << key;
        a->trigger();
        EXPECT_EQ(t.w->Tabs()->currentIndex(), tab);
        EXPECT_EQ(t.s.ctl().CurrentTab(), tab);
    }
    EXPECT_TRUE(t.w->Tabs()->tabText(TAB_GENERAL).endsWith(" - F2"));
    for (QWidget* c : t.w->ServiceViewControls()) EXPECT_FALSE(c->isVisible());
    t.Key(Qt::Key_X, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(t.s.ctl().ServiceView());
    for (QWidget* c : t.w->ServiceViewControls()) EXPECT_TRUE(c->isVisible());
    t.Key(Qt::Key_X, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(t.s.ctl().ServiceView());
    for (QWidget* c : t.w->ServiceViewControls()) EXPECT_FALSE(c->isVisible());
    t.Key(Qt::Key_X, Qt::ControlModifier);  // without Alt nothing happens
    EXPECT_FALSE(t.s.ctl().ServiceView());
}

TEST(MainWin, TabsChangedFromTheKeyboardAreCheckedLikeClickedOnes) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(1);
    QTabBar* bar = t.w->Tabs()->tabBar();
    const auto press = [&](QWidget* to, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, key, mods);
        QApplication::sendEvent(to, &e);
    };
    ASSERT_EQ(t.w->Tabs()->currentIndex(), TAB_GENERAL);
    // The arrow key onto the Configuration tab: the settings are shown again.
    bool refreshed = false;
    auto c = QObject::connect(&t.s.settings(), &SettingsModel::selectionChanged,
                              [&] { refreshed = true; });
    press(bar, Qt::Key_Right);
    EXPECT_EQ(t.w->Tabs()->currentIndex(), TAB_CONFIG);
    EXPECT_EQ(t.s.ctl().CurrentTab(), TAB_CONFIG);
    EXPECT_TRUE(refreshed);
    QObject::disconnect(c);
    // Ctrl+Tab round to the Modeling tab: its table is read.
    press(t.w->Tabs(), Qt::Key_Tab, Qt::ControlModifier);  // to the Calibration tab
    EXPECT_EQ(t.s.ctl().CurrentTab(), TAB_CALIBRATION);
    const uint64_t reads = t.s.Sent(CMD_READ_TBL_COR);
    press(t.w->Tabs(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(t.w->Tabs()->currentIndex(), TAB_MODELING);
    EXPECT_EQ(t.s.ctl().CurrentTab(), TAB_MODELING);
    EXPECT_GT(t.s.Sent(CMD_READ_TBL_COR), reads);
    const uint64_t oneRead = t.s.Sent(CMD_READ_TBL_COR) - reads;
    // The View menu's entry checks its tab once: one table read, not two.
    t.s.ctl().MnuViewTab_Click(0);  // General
    const uint64_t before = t.s.Sent(CMD_READ_TBL_COR);
    t.s.ctl().MnuViewTab_Click(3);  // Modeling
    EXPECT_EQ(t.w->Tabs()->currentIndex(), TAB_MODELING);
    EXPECT_EQ(t.s.Sent(CMD_READ_TBL_COR) - before, oneRead);
}

TEST(MainWin, ClosingStopsTheLinkThenUnloadsAtTheNextTick) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil([&] { return t.s.cycle().Online(); }, 30));
    t.w->close();
    // Not yet: the link stops first, the window stays.
    EXPECT_TRUE(t.w->isVisible());
    EXPECT_FALSE(t.w->IsUnloaded());
    EXPECT_EQ(t.s.comm().ComState(), ComState::Stopped);
    ASSERT_TRUE(t.s.RunUntil([&] { return t.w->IsUnloaded(); }, 1));
    EXPECT_FALSE(t.w->isVisible());
    EXPECT_FALSE(t.s.tool().LinkTimer().Enabled());
    EXPECT_FALSE(t.s.cycle().PollTimer().Enabled());
    const uint64_t answers = t.s.ecu->Counters().requests;
    t.s.RunFor(10);
    EXPECT_EQ(t.s.ecu->Counters().requests, answers);  // nothing more on the line
}

TEST(MainWin, LayoutFitsASmallScreen) {
    WindowOnSim t;
    t.w->resize(1366, 700);
    t.s.RunFor(0.1);
    EXPECT_LE(t.w->minimumSizeHint().width(), 1366);
    EXPECT_LE(t.w->minimumSizeHint().height(), 700);
    t.w->resize(800, 560);
    EXPECT_LE(t.w->width(), 1366);
}

TEST(MainWin, LanguageSwitchKeepsTheEcuValuesInTheLists) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    QComboBox* rpm = t.w->Combo("CmbSwtchRpm");
    QComboBox* lambda = t.w->Combo("CmbSwtchLambdaType");
    ASSERT_NE(rpm, nullptr);
    ASSERT_NE(lambda, nullptr);
    const QString shown = rpm->currentText();
    const QString lambdaShown = lambda->currentText();
    ASSERT_EQ(shown, "800");
    const QString generalEnglish = t.w->Tabs()->tabText(TAB_GENERAL);
    QAction* italian = nullptr;
    for (QAction* a : t.w->findChildren<QAction*>())
        if (a->text() == t.s.lingue().NomeLingua(1)) italian = a;
    ASSERT_NE(italian, nullptr);
    italian->trigger();
    EXPECT_NE(t.w->Tabs()->tabText(TAB_GENERAL), generalEnglish);
    EXPECT_TRUE(t.w->Tabs()->tabText(TAB_GENERAL).endsWith(" - F2"));
    EXPECT_EQ(rpm->currentText(), shown);
    EXPECT_EQ(lambda->currentIndex(), t.s.settings().CurrentSettings().lambda);
    if (lambda->currentIndex() == 0) {
        EXPECT_NE(lambda->currentText(), lambdaShown);
    }
    t.s.RunFor(3);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3), 0u);
}

TEST(MainWin, ErrorButtonAppearsWithItsCaptionAndColour) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    QPushButton* b = t.w->ErrorButton();
    ASSERT_NE(b, nullptr);
    t.s.ctl().CaricaErroriEcu();
    EXPECT_FALSE(b->isVisible());
    t.s.ecu->SetFault(sim::ERR_REDUCER_TEMP_SENSOR, sim::kErrOpenCircuit);
    ASSERT_TRUE(t.s.RunUntil([&] { return b->isVisible(); }, 504 * 0.014 + 1));
    EXPECT_EQ(b->text(), t.s.cycle().Errors().Definitions().ButtonCaption());
    EXPECT_EQ(b->palette().button().color(), QColor(0xFF, 0xC0, 0x80));  // 8438015
    const int before = t.s.prompts.shown.size();
    b->click();
    EXPECT_EQ(int(t.s.prompts.shown.size()), before);  // the error window, no notice
    auto* errors = t.w->findChild<FrmErrEcu*>();
    ASSERT_NE(errors, nullptr);
    EXPECT_TRUE(errors->isVisible());
    errors->close();
    // Repaired, then the error memory cleared.
    t.s.ecu->SetFault(sim::ERR_REDUCER_TEMP_SENSOR, sim::kErrNone);
    ASSERT_TRUE(t.s.comm().SendAndWait(BuildRequest(CMD_CANC_ERR)));
    t.s.ctl().CaricaErroriEcu();
    EXPECT_FALSE(b->isVisible());
}

TEST(MainWin, InjectorTypeDeclinedPutsTheListBack) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    QComboBox* inj = t.w->Combo("CmbTpyInj");
    ASSERT_NE(inj, nullptr);
    ASSERT_GE(inj->count(), 2);
    const int ecuIndex = inj->currentIndex();
    ASSERT_GE(ecuIndex, 0);
    const int other = ecuIndex == 0 ? 1 : 0;
    t.s.prompts.answers.push_back(BoxResult::No);
    inj->setCurrentIndex(other);
    emit inj->activated(other);
    EXPECT_EQ(inj->currentIndex(), ecuIndex);
    t.s.RunFor(3);
    EXPECT_EQ(t.s.Sent(CMD_WRT_MEM3), 0u);
    EXPECT_EQ(inj->currentIndex(), ecuIndex);
}

TEST(MainWin, GaugesAreEmptyBeforeTheFirstReadingAndKeepTheirValueOnResize) {
    SimSession s;
    FrmKT540 w(*s.session);
    w.show();
    s.Start();  // window loaded, the ECU not read yet
    auto* pet = w.findChild<UCtrlBar*>("InjPetBar1");
    auto* gas = w.findChild<UCtrlBar*>("InjGasBar1");
    ASSERT_NE(pet, nullptr);
    ASSERT_NE(gas, nullptr);
    EXPECT_EQ(pet->Valore(), 0);  // not full before any value was read
    EXPECT_EQ(gas->Valore(), 0);
    pet->SetValore(450);
    const int shown = pet->Valore();
    ASSERT_GT(shown, 0);
    w.resize(w.width() + 200, w.height() + 100);
    QApplication::processEvents();
    s.live().ShowInjectors(3);  // the gauges are laid out again (IstanzaInj)
    s.live().ShowInjectors(4);
    EXPECT_EQ(pet->Valore(), shown);
}

TEST(MainWin, ThePickedInjectorStaysPickedThroughSettingsRefreshes) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    auto* list = t.w->findChild<QComboBox*>("CmbInj");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 1 + 4);
    const auto yellow = [&](int injector) {
        auto* l = t.w->findChild<QLabel*>(QStringLiteral("LblInj%1").arg(injector));
        return l && l->palette().color(QPalette::Window) == QColor(Qt::yellow);
    };
    list->setCurrentIndex(2);
    emit list->activated(2);  // "Inj_2"
    ASSERT_TRUE(yellow(1));
    // The settings refresh that follows every read of block 3.
    for (int i = 0; i < 3; ++i) {
        t.s.settings().Refresh();
        t.s.RunFor(1);
    }
    EXPECT_EQ(list->currentIndex(), 2);
    EXPECT_EQ(t.s.live().Display().SelectedInjector(), 2);
    EXPECT_TRUE(yellow(1));
    EXPECT_FALSE(yellow(0));
    // A new cylinder count lays the list out again, with no injector picked.
    t.s.live().ShowInjectors(6);
    EXPECT_EQ(list->count(), 1 + 6);
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_EQ(t.s.live().Display().SelectedInjector(), 0);
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(yellow(i)) << i;
}

TEST(MainWin, OfflineTheKeyTheValvesAndTheEngineSpeedAreUnknown) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(2);
    auto* key = t.w->findChild<QCheckBox*>("CkbKey");
    auto* ev1 = t.w->findChild<QCheckBox*>("CkbeV_01");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(ev1, nullptr);
    ASSERT_EQ(key->checkState(), Qt::Checked);
    ASSERT_NE(t.w->RpmText(), "0000");
    t.s.ctl().MnuDevOffline_Click();
    t.s.RunFor(1);
    EXPECT_EQ(key->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(ev1->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(t.w->RpmText(), "----");
    // Back online: live values again.
    t.s.ctl().MnuDevCom_Click(0);
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 60));
    t.s.RunFor(2);
    EXPECT_EQ(key->checkState(), Qt::Checked);
    EXPECT_NE(t.w->RpmText(), "----");
}

// Both logos are fuel switches; the second is there when the installation
// has its picture (LNG\img3.img).
TEST(MainWin, TheSecondLogoIsAFuelSwitchTooWhenItsPictureIsInstalled) {
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed);
        SimSession s;
        if (installed) {
            QImage picture(60, 30, QImage::Format_RGB32);
            picture.fill(Qt::darkBlue);
            ASSERT_TRUE(picture.save(s.root + "/LNG/img3.img", "PNG"));
        }
        FrmKT540 w(*s.session);
        w.show();
        s.Start();
        ASSERT_TRUE(
            s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); }, 30));
        auto* second = w.findChild<QWidget*>("ImgLogoS");
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->isVisible(), installed);
        if (!installed) continue;
        ASSERT_EQ(s.image().Mem1Block.KeyOn, 1);
        EXPECT_FALSE(s.cycle().FuelChangeRequested());
        const QPointF at(second->width() / 2.0, second->height() / 2.0);
        QMouseEvent press(QEvent::MouseButtonPress, at, second->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, second->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(second, &press);
        QApplication::sendEvent(second, &release);
        EXPECT_TRUE(s.cycle().FuelChangeRequested());
    }
}

TEST(MainWin, DeviceMenuTellsWhatEachComNumberStandsFor) {
    SetSerialOverride(QStringLiteral("/dev/pts/77"), 3);
    WindowOnSim t;
    QAction* com3 = t.w->findChild<QAction*>("MnuDevCom3");
    ASSERT_NE(com3, nullptr);
    EXPECT_EQ(com3->text(), "  COM 3");  // the item's own caption stays as it is
    EXPECT_EQ(com3->toolTip(), "COM3: /dev/pts/77");
    SetSerialOverride(QString(), 1);
}

// Ticked status boxes fill with the shadow colour, so "GAS" in white reads
// on a dark ground; unticked ones keep the button face.
TEST(MainWin, TickedStatusBoxesShowTheShadowBackground) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(1);
    auto* key = t.w->findChild<QCheckBox*>("CkbKey");
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->isChecked());
    const QRgb shadow = t.w->palette().shadow().color().rgb();
    const QImage ticked = key->grab().toImage();
    EXPECT_EQ(ticked.pixelColor(ticked.width() - 2, 1).rgb(), shadow);
    t.s.ecu->SetKey(false);
    ASSERT_TRUE(t.s.RunUntil([&] { return !key->isChecked(); }, 5))
        << int(t.s.image().Mem1Block.KeyOn);
    const QImage unticked = key->grab().toImage();
    EXPECT_EQ(unticked.pixelColor(unticked.width() - 2, 1).rgb(),
              t.w->palette().button().color().rgb());
}

// The Calibration tab carries its copies of the live values.
TEST(MainWin, TheCalibrationPageCopiesTheLiveValues) {
    WindowOnSim t;
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    t.s.RunFor(2);
    QWidget* page = t.w->Tabs()->widget(TAB_CALIBRATION);
    auto text = [&](const char* name) -> QString {
        if (auto* l = page->findChild<QLabel*>(name)) return l->text();
        if (auto* e = page->findChild<QLineEdit*>(name)) return e->text();
        ADD_FAILURE() << "no " << name << " on the calibration page";
        return {};
    };
    const LiveDisplay& d = t.s.live().Display();
    EXPECT_EQ(text("LblCalInjTp"), d.calInjTpText);
    EXPECT_EQ(text("LblCalInjTg"), d.calInjTgText);
    EXPECT_FALSE(text("LblCalInjTp").isEmpty());
    EXPECT_FALSE(text("LblCalInjTg").isEmpty());
    EXPECT_EQ(text("TxtTmpVap1"), t.w->findChild<QLineEdit*>("TxtTmpVap0")->text());
    EXPECT_EQ(text("TxtTmpGas1"), t.w->findChild<QLineEdit*>("TxtTmpGas0")->text());
    EXPECT_EQ(text("TxtPressure1"), t.w->findChild<QLineEdit*>("TxtPressure0")->text());
    EXPECT_FALSE(text("TxtTmpVap1").isEmpty());
}

namespace {
// The simulator panel's view of the car as the tests give it: only the
// simulated fitter matters here.
class FitterOnly : public SimControl {
  public:
    explicit FitterOnly(std::shared_ptr<sim::SimEcu> ecu) : fitter_(std::move(ecu)) {}
    void SetKey(bool) override {}
    bool Key() const override { return true; }
    void SetEngineRunning(bool) override {}
    void SetTargetRpm(double) override {}
    void SetLoad(double) override {}
    QStringList FailureNames() const override { return {}; }
    void InjectFailure(int) override {}
    void ClearFailures() override {}
    void SetFitterOn(bool on) override { on_ = on; }
    bool FitterOn() const override { return on_; }
    void FollowCalibration(CalInstruction i, double rpm) override {
        if (on_) fitter_.Follow(static_cast<sim::FitterTask>(i), rpm);
    }
    QString Summary() const override { return {}; }

  private:
    sim::SimFitter fitter_;
    bool on_ = true;
};
}  // namespace

// The Calibration tab runs the calibration with the simulated fitter at
// the car: the buttons, the step label, the message and the bar follow it;
// "Esc" asks and "Yes" goes on; closing the window mid-run puts everything
// back before the link stops.
TEST(MainWin, TheCalibrationTabRunsTheCalibrationAndClosingMidRunPutsEverythingBack) {
    WindowOnSim t;
    FitterOnly fitter(t.s.ecu);
    t.w->SetSimControl(&fitter);
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 30));
    // "Yes" is enabled once the ECU's blocks have been read: at the polling
    // tick after the first refresh.
    t.s.RunFor(0.1);
    const auto tableBefore = t.s.ecu->Working().table;
    t.w->Tabs()->setCurrentIndex(TAB_CALIBRATION);
    QWidget* page = t.w->Tabs()->widget(TAB_CALIBRATION);
    auto* yes = page->findChild<QPushButton*>("CmdCalStart");
    auto* esc = page->findChild<QPushButton*>("CmdCalCancel");
    auto* step = page->findChild<QLabel*>("LblCalStep");
    auto* msg = page->findChild<QLabel*>("LblCalMsg");
    auto* bar = page->findChild<QProgressBar*>("ShpCalStep");
    auto* twoPoint = page->findChild<QCheckBox*>("ChkCalTwoPoint");
    ASSERT_TRUE(yes && esc && step && msg && bar && twoPoint);
    const CalibrationModel& m = t.s.session->CalModel();
    EXPECT_EQ(yes->text(), m.Text(CalText::CmdYes));
    EXPECT_EQ(msg->text(), m.Text(CalText::MsgIdle));
    EXPECT_TRUE(yes->isEnabled());
    EXPECT_FALSE(esc->isEnabled());
    EXPECT_TRUE(twoPoint->isEnabled());

    yes->click();
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.session->Cal().Step() == 2 && t.s.session->Cal().CalCycles() >= 2; },
        300));
    EXPECT_TRUE(step->text().endsWith("\n02"));
    EXPECT_EQ(msg->text(), m.Message());
    EXPECT_EQ(bar->value(), m.Progress());
    EXPECT_GT(bar->value(), 22);
    EXPECT_FALSE(yes->isEnabled());
    EXPECT_TRUE(esc->isEnabled());
    EXPECT_FALSE(twoPoint->isEnabled());
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Slave);

    esc->click();
    EXPECT_EQ(msg->text(), m.Text(CalText::MsgQuestion));
    EXPECT_TRUE(yes->isEnabled());
    yes->click();
    EXPECT_FALSE(yes->isEnabled());
    t.s.RunFor(2);
    EXPECT_NE(t.s.session->Cal().State(), CalState::AbortQuestion);

    // The window stays while the calibration's abort puts everything back.
    t.w->close();
    EXPECT_TRUE(t.w->isVisible());
    ASSERT_TRUE(t.s.RunUntil([&] { return t.w->IsUnloaded(); }, 20));
    EXPECT_FALSE(t.w->isVisible());
    EXPECT_EQ(t.s.session->Cal().State(), CalState::Idle);
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(t.s.ecu->Working().table, tableBefore);
}
