// The upgrade window and the About box in the main window, offscreen on the
// simulated ECU in virtual time. A small driver plays the fitter: it watches
// for the secondary window and presses its buttons.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <set>

#include "common/Helpers.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/CommandTable.h"
#include "mainwindow/upgrade/FrmUpdate.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

QWidget* Shown(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name) && w->isVisible()) return w;
    return nullptr;
}

template <typename T>
T* Child(QWidget* w, const char* name) {
    return w ? w->findChild<T*>(QString::fromLatin1(name)) : nullptr;
}

bool Press(QWidget* w, const char* button) {
    auto* b = Child<QPushButton>(w, button);
    if (!b || !b->isVisibleTo(w) || !b->isEnabled()) return false;
    b->click();
    return true;
}

sim::SimOptions StoppedCar(const QString& version, const QString& date) {
    sim::SimOptions o;
    o.firmwareVersion = version;
    o.firmwareDate = date;
    o.warm = true;
    return o;
}

// The main window on the simulated ECU, and the fitter's hands.
struct WindowOnSim {
    explicit WindowOnSim(sim::SimOptions o) : s(o) {
        w = std::make_unique<FrmKT540>(*s.session);
        w->show();
    }
    // Every 50 ms the driver looks at the windows and acts.
    void Drive(std::function<void()> act) {
        driver = std::make_unique<Timer>("driver", 50, std::move(act));
        driver->SetEnabled(true);
    }
    SimSession s;
    std::unique_ptr<FrmKT540> w;
    std::unique_ptr<Timer> driver;
};

}  // namespace

// An ECU with an older firmware is sent to the upgrade: "Next" checks that
// the engine stands, "Next" runs it (the window blinks, the bar follows the
// writing), "Esc" closes it, and the ECU comes online with the new firmware.
TEST(UpgradeWindow, AnOlderEcuIsUpgradedAndComesBackOnlineWithTheNewIdentity) {
    WindowOnSim t(StoppedCar(SimSession::VersionBeside(-1), "15032025"));
    std::set<QRgb> colours;
    std::set<QString> steps;
    int barDuringWrite = -1;
    QString releaseBefore, releaseAfter, finalMessage;
    bool nextPressed = false, done = false;
    t.Drive([&] {
        auto* up = static_cast<FrmUpdate*>(Shown("FrmUpdate"));
        if (!up) return;
        colours.insert(up->Background().rgb());
        if (releaseBefore.isEmpty()) releaseBefore = Child<QLabel>(up, "LblEcuReleaseVal")->text();
        if (Press(up, "CmdUpdate")) {
            nextPressed = true;
            return;
        }
        if (up->Upgrade().Stage() == UpgradeStage::Finished && !done) {
            done = true;
            releaseAfter = Child<QLabel>(up, "LblEcuReleaseVal")->text();
            finalMessage = Child<QLabel>(up, "LblMessage")->text();
            Press(up, "CmdEsc");
        }
    });
    // Inside the run the driver's own ticks are skipped; a second watcher
    // records what the window shows while it writes.
    Timer watcher("watcher", 100, [&] {
        QWidget* up = Shown("FrmUpdate");
        if (!up) return;
        const QString step = Child<QLabel>(up, "LblStep")->text();
        steps.insert(step);
        auto* bar = Child<QProgressBar>(up, "ShpBar");
        if (step == "Write Memory" && bar->isVisibleTo(up) && bar->value() > 0 &&
            bar->value() < 1000)
            barDuringWrite = bar->value();
    });
    watcher.SetEnabled(true);
    t.s.Start();
    ASSERT_TRUE(t.s.RunUntil(
        [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 300))
        << t.s.prompts.Texts().join(" | ").toStdString();
    EXPECT_TRUE(nextPressed);
    EXPECT_TRUE(done);
    EXPECT_EQ(Shown("FrmUpdate"), nullptr);
    EXPECT_TRUE(t.s.prompts.AnyContains(t.s.tool().Caption(Cap::MsgEcuOlder)));
    EXPECT_EQ(t.s.comm().FirmwareEcu(), SimSession::ShippedFirmwareIdentity());
    EXPECT_TRUE(releaseBefore.startsWith("01.00." + SimSession::VersionBeside(-1).right(2)));
    EXPECT_TRUE(releaseAfter.startsWith("01.00." + SimSession::ShippedVersion().right(2)));
    EXPECT_EQ(finalMessage, UpgradeText(UpText::MsgCompleted, t.s.tool().Lookup()));
    EXPECT_TRUE(colours.count(QColor(255, 0, 0).rgb()));
    EXPECT_TRUE(colours.count(QColor(255, 128, 0).rgb()));
    EXPECT_GT(barDuringWrite, 0);
    for (const char* s : {"Inizialization ", "Erase Flash ", "Write Memory", "Write End",
                          "Configuration ", "Save Flash "})
        EXPECT_TRUE(steps.count(s)) << s;
    EXPECT_FALSE(t.s.cycle().CloseRequested());
    EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
}

// The About box of the Info menu: the version label as the fitter reads it,
// "Update firmware" only for a newer firmware file. An upgrade offered at the
// connection and declined with "Esc" twice leaves the ECU as it was and
// online; "Update firmware" in the About box then runs it.
TEST(AboutBox, ShowsTheVersionsAndOffersTheUpdateOnlyForANewerFile) {
    struct Case {
        const char* what;
        QString version, date;
        bool newer;
    };
    const Case cases[] = {
        {"the file's own firmware", SimSession::ShippedVersion(), SimSession::ShippedDate(), false},
        {"an older date of the same version", SimSession::ShippedVersion(), "15032025", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowOnSim t(StoppedCar(c.version, c.date));
        int escPresses = 0;
        QString abortShown;
        t.Drive([&] {
            // The offered upgrade at the connection: declined with "Esc" twice.
            if (QWidget* up = Shown("FrmUpdate")) {
                if (escPresses == 1) abortShown = Child<QLabel>(up, "LblMessage")->text();
                if (Press(up, "CmdEsc")) ++escPresses;
            }
        });
        t.s.Start();
        ASSERT_TRUE(t.s.RunUntil(
            [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 60));
        EXPECT_EQ(escPresses, c.newer ? 2 : 0);
        if (c.newer) {
            EXPECT_TRUE(abortShown.contains(UpgradeText(UpText::MsgAborted, t.s.tool().Lookup())));
        }
        EXPECT_EQ(t.s.Sent(CMD_SET_ECU_PRG), 0u);

        QString label;
        bool updateShown = false, updatePressed = false, upgraded = false;
        t.Drive([&] {
            if (QWidget* about = Shown("FrmStartUp")) {
                label = Child<QLabel>(about, "LblVersioneVal")->text();
                updateShown = Child<QPushButton>(about, "CmdUpdateFrm")->isVisibleTo(about);
                if (updateShown)
                    updatePressed = Press(about, "CmdUpdateFrm");
                else
                    Press(about, "Command1");
                return;
            }
            if (auto* up = static_cast<FrmUpdate*>(Shown("FrmUpdate"))) {
                if (Press(up, "CmdUpdate")) return;
                if (up->Upgrade().Stage() == UpgradeStage::Finished) {
                    upgraded = up->Upgrade().Result();
                    Press(up, "CmdEsc");
                }
            }
        });
        auto* about = t.w->findChild<QAction*>("MnuInfoAbout");
        ASSERT_NE(about, nullptr);
        EXPECT_FALSE(about->text().isEmpty());
        const QString ecuLine = "ECU firmware: " + t.s.comm().FirmwareEcuDataStr() + " - " +
                                t.s.comm().FirmwareEcuVersStr();
        const QString fileLine = "File firmware: " + t.s.comm().FirmwareFleDataStr() + " - " +
                                 t.s.comm().FirmwareFleVersStr();
        about->trigger();  // modal: returns once the driver closed it
        EXPECT_EQ(Shown("FrmStartUp"), nullptr);
        EXPECT_EQ(updateShown, c.newer);
        const QStringList lines = label.split('\n');
        // An empty line, the program, two breaks, both firmwares, two breaks,
        // the hours, three breaks, the operating system.
        ASSERT_EQ(lines.size(), 11) << label.toStdString();
        EXPECT_EQ(lines[1], " Software ver. 01.01.05");
        EXPECT_EQ(lines[3], ecuLine);
        EXPECT_EQ(lines[4], fileLine);
        EXPECT_EQ(lines[6], "Hours on gas: 121");    // 7260 minutes
        EXPECT_EQ(lines[7], "Hours on petrol: 30");  // 1830 minutes
        EXPECT_EQ(lines.last(), OperatingSystemLine(WindowsVersionText()));
        EXPECT_TRUE(lines.last().startsWith("Operating system: " + WindowsVersionText().name));
        if (c.newer) {
            EXPECT_TRUE(updatePressed);
            ASSERT_TRUE(t.s.RunUntil(
                [&] {
                    return upgraded && t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending();
                },
                300));
            EXPECT_EQ(t.s.comm().FirmwareEcu(), SimSession::ShippedFirmwareIdentity());
        } else {
            t.s.RunFor(2);
            EXPECT_TRUE(t.s.cycle().Online());
        }
        EXPECT_EQ(t.s.Sent(CMD_ERASE_FLASH), c.newer ? 1u : 0u);
    }
}

// The window asks which backup an interrupted upgrade is to restore: one
// question a candidate, showing its serial number, time and file; the first
// "Yes" is the choice, "No" to all chooses none.
TEST(UpgradeWindow, TheFitterChoosesTheBackupOfAnInterruptedUpgrade) {
    SimSession s(StoppedCar(SimSession::VersionBeside(-1), "15032025"));
    const std::vector<BackupCandidate> candidates{
        {"/inst/UpgradeBackup_4004_0139_20260115-110001.var", 4004, "2026-01-15 11:00:01"},
        {"/inst/UpgradeBackup_1001_0139_20260115-100001.var", 1001, "2026-01-15 10:00:01"},
    };
    struct Case {
        std::deque<BoxResult> answers;
        QString chosen;
        size_t asked;
    };
    const Case cases[] = {
        {{BoxResult::No, BoxResult::Yes}, candidates[1].path, 2},
        {{BoxResult::Yes}, candidates[0].path, 1},
        {{BoxResult::No, BoxResult::No}, QString(), 2},
    };
    for (const Case& c : cases) {
        ScriptedPrompts prompts;
        ScopedPrompts scope(prompts);
        prompts.answers = c.answers;
        EXPECT_EQ(FrmUpdate::ChooseBackup(s.tool(), candidates), c.chosen);
        ASSERT_EQ(prompts.shown.size(), c.asked);
        for (size_t i = 0; i < c.asked; ++i) {
            EXPECT_TRUE(prompts.shown[i].text.contains(QString::number(candidates[i].serial)));
            EXPECT_TRUE(prompts.shown[i].text.contains(candidates[i].time));
            EXPECT_TRUE(prompts.shown[i].text.contains(candidates[i].path));
            EXPECT_EQ(prompts.shown[i].buttons, BoxButtons::YesNo);
        }
    }
}

// "Next" in stage 1 and, before its read of the ECU is answered, "Esc" by
// the button, the Escape key or the close box: the Esc wins, the window
// shows the abort and nothing is erased; the ECU goes online unchanged.
TEST(UpgradeWindow, EscRightAfterNextWinsWhicheverWayItComes) {
    enum class Way { Button, EscapeKey, CloseBox };
    for (Way way : {Way::Button, Way::EscapeKey, Way::CloseBox}) {
        SCOPED_TRACE(static_cast<int>(way));
        WindowOnSim t(StoppedCar(SimSession::ShippedVersion(), "15032025"));
        bool escaped = false, closed = false;
        UpgradeStage stageAfterEsc = UpgradeStage::Checking;
        t.Drive([&] {
            auto* up = static_cast<FrmUpdate*>(Shown("FrmUpdate"));
            if (!up) return;
            FirmwareUpgrade& u = up->Upgrade();
            if (u.Stage() == UpgradeStage::Checking && !escaped) {
                Press(up, "CmdUpdate");
                return;
            }
            if (u.Stage() == UpgradeStage::Ready && !escaped && u.Waiting()) {
                ASSERT_TRUE(Press(up, "CmdUpdate"));
                escaped = true;
                switch (way) {
                    case Way::Button:
                        EXPECT_TRUE(Press(up, "CmdEsc"));
                        break;
                    case Way::EscapeKey: {
                        QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                        QApplication::sendEvent(up, &key);
                        break;
                    }
                    case Way::CloseBox:
                        up->close();
                        break;
                }
                return;
            }
            if (escaped && u.Waiting() && !closed) {
                stageAfterEsc = u.Stage();
                closed = Press(up, "CmdEsc");
            }
        });
        t.s.Start();
        ASSERT_TRUE(t.s.RunUntil(
            [&] { return t.s.cycle().Online() && !t.s.cycle().FirstRefreshPending(); }, 120));
        EXPECT_TRUE(escaped);
        EXPECT_TRUE(closed);
        EXPECT_EQ(stageAfterEsc, UpgradeStage::Aborted);
        EXPECT_EQ(Shown("FrmUpdate"), nullptr);
        EXPECT_EQ(t.s.Sent(CMD_SET_ECU_PRG), 0u);
        EXPECT_EQ(t.s.Sent(CMD_ERASE_FLASH), 0u);
        EXPECT_EQ(t.s.ecu->Mode(), sim::EcuMode::Run);
    }
}
