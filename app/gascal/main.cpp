// gascal: the desktop service and calibration tool.
//
//   gascal [--sim] [--install-dir DIR] [--port USB|COM1..COM9|PATH]
//
// --sim puts the built-in simulated ECU (engine idling, warm, key on) in
// front of the USB devices and uses it for this run, without a search and
// without changing the port settings; the Simulator menu then offers a panel
// to play the car. --port chooses the port instead of the settings file (a
// device path stands for the configured COM number, COM1 when none).
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/gascal/MapDrive.h"
#include "app/gascal/SimBridge.h"
#include "app/gascal/WindowShot.h"
#include "common/Helpers.h"
#include "common/InstallTree.h"
#include "common/widgets/QtPrompts.h"
#include "ecu/SessionFacts.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/widgets/FrmCompare.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "sim/core/SimPort.h"
#include "viewer/commlog/CommLogWriter.h"

using namespace gascal;

namespace {
// Identity of the simulated ECU under --sim: the firmware file's own, so the
// demonstration goes online straight away (see docs/mainwindow.md).
constexpr const char* kSimVersion = "0140";
constexpr const char* kSimDate = "01092026";
// For the pictures of the secondary windows: a version older than the file's,
// and the file's version dated earlier.
constexpr const char* kSimOlderVersion = "0139";
constexpr const char* kSimEarlierDate = "15032025";

}  // namespace

int main(int argc, char** argv) {
    // Without a display Qt cannot open the window; say so plainly instead of
    // failing inside the platform layer.
    const bool hasDisplay = qEnvironmentVariableIsSet("DISPLAY") ||
                            qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
                            qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    bool wantsHelp = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        wantsHelp |= a == "--help" || a == "-h" || a == "--help-all";
    }
    if (!hasDisplay && wantsHelp) {
        // Help needs no window: print it without a display.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else if (!hasDisplay) {
        std::fprintf(stderr,
                     "gascal: no display is available (DISPLAY is not set). Run it on a "
                     "desktop, under xvfb-run, or use gascal-cli for work without a window.\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("gascal"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Gas injection ECU service and calibration tool"));
    parser.addHelpOption();
    QCommandLineOption simOpt(QStringLiteral("sim"),
                              QStringLiteral("Run on the built-in simulated ECU."));
    QCommandLineOption dirOpt(QStringLiteral("install-dir"),
                              QStringLiteral("Installation folder (holds BIN and LNG)."),
                              QStringLiteral("DIR"));
    QCommandLineOption portOpt(QStringLiteral("port"),
                               QStringLiteral("USB, COM1..COM9 or a device path."),
                               QStringLiteral("PORT"));
    QCommandLineOption shotOpt(QStringLiteral("screenshot"),
                               QStringLiteral("Save a picture of the window and exit."),
                               QStringLiteral("FILE"));
    QCommandLineOption shotAfterOpt(QStringLiteral("screenshot-after"),
                                    QStringLiteral("Seconds before the picture."),
                                    QStringLiteral("SECONDS"), QStringLiteral("8"));
    QCommandLineOption shotTabOpt(QStringLiteral("screenshot-tab"),
                                  QStringLiteral("Tab shown in the picture."),
                                  QStringLiteral("index"), QStringLiteral("3"));
    QCommandLineOption shotWindowOpt(
        QStringLiteral("screenshot-window"),
        QStringLiteral("Window opened and shown in the picture instead of the main window."),
        QStringLiteral("name"));
    QCommandLineOption shotDriveOpt(
        QStringLiteral("screenshot-drive"),
        QStringLiteral("Drive the simulated car on both fuels, read the map and "
                       "compute before the picture."));
    QCommandLineOption driveOpt(
        QStringLiteral("sim-drive"),
        QStringLiteral("The simulated driver revs the engine up and down (with --sim)."));
    QCommandLineOption shotCalOpt(
        QStringLiteral("screenshot-calibrate"),
        QStringLiteral("Start the automatic calibration once online and take the picture "
                       "after this many cycles of step 02."),
        QStringLiteral("cycles"));
    // For the secondary windows' pictures: a password typed into the window's
    // password box, the comparison with a parameter file, errors forced on
    // the simulated ECU.
    QCommandLineOption shotPasswordOpt(QStringLiteral("screenshot-password"),
                                       QStringLiteral("Password typed into that window."),
                                       QStringLiteral("TEXT"));
    QCommandLineOption shotCompareOpt(
        QStringLiteral("screenshot-compare"),
        QStringLiteral("Comparison with this parameter file in the picture."),
        QStringLiteral("FILE"));
    QCommandLineOption simErrorOpt(QStringLiteral("sim-error"),
                                   QStringLiteral("Error item forced on the simulated ECU."),
                                   QStringLiteral("ITEM"));
    for (QCommandLineOption* o :
         {&shotOpt, &shotAfterOpt, &shotTabOpt, &shotWindowOpt, &shotDriveOpt, &driveOpt,
          &shotCalOpt, &shotPasswordOpt, &shotCompareOpt, &simErrorOpt})
        o->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({simOpt, dirOpt, portOpt, shotOpt, shotAfterOpt, shotTabOpt, shotWindowOpt,
                       shotDriveOpt, driveOpt, shotCalOpt, shotPasswordOpt, shotCompareOpt,
                       simErrorOpt});
    parser.process(app);

    // The build tree beside the program, else the user's own copy of the
    // installed tree (docs/installing.md).
    const InstallLocation location =
        LocateInstallDir(QCoreApplication::applicationDirPath(), parser.value(dirOpt));
    if (location.dir.isEmpty()) {
        std::fprintf(stderr, "gascal: %s\n", qPrintable(location.error));
        return 2;
    }
    const QString installDir = location.dir;

    QtPrompts prompts;
    SetPrompts(&prompts);

    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> simUsb;
    std::unique_ptr<SimBridge> bridge;
    auto makeSimulator = [&] {
        sim::SimOptions o;
        o.firmwareVersion = QString::fromLatin1(kSimVersion);
        o.firmwareDate = QString::fromLatin1(kSimDate);
        o.key = true;
        o.engineRunning = true;
        o.warm = true;
        for (const QString& item : parser.values(simErrorOpt)) o.errorItems.push_back(item.toInt());
        if (parser.value(shotWindowOpt) == QLatin1String("FrmUpdate")) {
            // An upgrade needs the engine stopped and the key off.
            o.firmwareVersion = QString::fromLatin1(kSimOlderVersion);
            o.key = o.engineRunning = false;
        } else if (parser.value(shotWindowOpt) == QLatin1String("FrmStartUp")) {
            o.firmwareDate = QString::fromLatin1(kSimEarlierDate);
        }
        ecu = std::make_shared<sim::SimEcu>(o);
        simUsb = std::make_unique<sim::SimUsbProvider>(ecu);
        bridge = std::make_unique<SimBridge>(ecu);
    };
    if (parser.isSet(simOpt)) makeSimulator();
    auto ports = std::make_unique<MachinePortChain>(simUsb.get());

    auto session = std::make_unique<MainSession>(installDir, ports->Provider());
    if (parser.isSet(portOpt)) {
        QString error;
        if (!ApplyPortOption(parser.value(portOpt), session->Ecu().Comm(), &error)) {
            std::fprintf(stderr, "gascal: %s\n", qPrintable(error));
            return 2;
        }
    } else if (simUsb) {
        UseSimulatedEcuPort(session->Ecu().Comm());
        session->Ecu().Supervisor().TickCurrentPort();
    }
    CommLogWriter log;
    log.Install();
    log.StartLogRxTx(session->Ecu().ProductTitle());

    auto window = std::make_unique<FrmKT540>(*session);
    prompts.SetParent(window.get());
    if (bridge) bridge->SetSession(session.get());
    if (bridge) window->SetSimControl(bridge.get());
    // A first start that finds no ECU offers the simulated one.
    if (!simUsb) {
        session->SearchWatch().SetSimulatorStarter([&] {
            makeSimulator();
            ports->AddUsbFront(simUsb.get());
            bridge->SetSession(session.get());
            window->SetSimControl(bridge.get());
        });
    }
    window->show();
    CentreWindow(window.get());
    session->LoadAndStart();
    session->Controller().Form_Activate();

    QObject::connect(window.get(), &QObject::destroyed, &app, &QApplication::quit);
    if (bridge && parser.isSet(driveOpt)) {
        // A short drive, over and over: idle, a pull, cruising, a stronger
        // pull, back to idle (for demonstrations and the viewer's pictures).
        auto* drive = new QTimer(window.get());
        QObject::connect(drive, &QTimer::timeout, window.get(),
                         [b = bridge.get(), step = 0]() mutable {
                             static constexpr double kRpm[] = {0, 2600, 1900, 3600, 2200, 0};
                             static constexpr double kLoad[] = {0, 0.45, 0.25, 0.7, 0.3, 0};
                             const int i = step++ % 6;
                             b->SetTargetRpm(kRpm[i]);
                             b->SetLoad(kLoad[i]);
                         });
        drive->start(2500);
    }
    int rc = 0;
    std::unique_ptr<WindowShot> windowShot;
    std::unique_ptr<MapDrive> drive;
    if (parser.isSet(shotOpt) && WindowShot::Drives(parser.value(shotWindowOpt))) {
        windowShot = std::make_unique<WindowShot>(*session, parser.value(shotWindowOpt),
                                                  parser.value(shotOpt));
    } else if (parser.isSet(shotOpt)) {
        const QString file = parser.value(shotOpt);
        const int ms = qRound(parser.value(shotAfterOpt).toDouble() * 1000);
        const int tab = parser.value(shotTabOpt).toInt();
        const QString windowName = parser.isSet(shotCompareOpt) ? QStringLiteral("FrmCompare")
                                                                : parser.value(shotWindowOpt);
        // The tab is chosen as the user would, so its page is prepared.
        const auto showTab = [&, tab] {
            window->Tabs()->setCurrentIndex(tab);
            session->Controller().SstMain_Click(tab);
        };
        const auto takePicture = [&, file, windowName] {
            QWidget* shown = window.get();
            if (!windowName.isEmpty()) {
                shown = nullptr;
                // The window by its name, else the one it left on top.
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w != window.get() && w->isVisible() && w->objectName() == windowName)
                        shown = w;
                if (!shown) shown = QApplication::activeModalWidget();
            }
            const bool ok = shown && shown->grab().save(file);
            if (shown && shown != window.get()) shown->close();
            std::fprintf(stderr, "gascal: screenshot %s %s\n", qPrintable(file),
                         ok ? "saved" : "FAILED");
            rc = ok ? 0 : 1;
            session->Controller().MnuFileEsc_Click();
        };
        if (parser.isSet(shotDriveOpt) && ecu) {
            // The picture once the drive has filled the map and placed the
            // targets; on the Modeling tab after "Fit", with a point chosen.
            drive = std::make_unique<MapDrive>(*session, ecu, [&, showTab, takePicture, tab] {
                showTab();
                if (tab == 1) {
                    if (auto* fit = window->findChild<QPushButton*>(QStringLiteral("CmdFit")))
                        fit->click();
                    session->Ecu().Model().SelectPoint(3);
                }
                QTimer::singleShot(3000, window.get(), takePicture);
            });
        } else if (parser.isSet(shotCalOpt)) {
            // "Yes" once the ECU is online; the picture in the middle of
            // step 02, after the cycles asked for (or at the time given).
            const int cycles = std::max(1, parser.value(shotCalOpt).toInt());
            auto shot = std::make_shared<bool>(false);
            const auto once = [takePicture, shot] {
                if (*shot) return;
                *shot = true;
                takePicture();
            };
            QTimer::singleShot(std::min(ms / 2, 1000), window.get(), showTab);
            auto* watch = new QTimer(window.get());
            QObject::connect(watch, &QTimer::timeout, window.get(), [&, cycles, once] {
                Calibration& cal = session->Cal();
                if (!cal.Running()) {
                    if (session->Cycle().Online() && !session->Cycle().FirstRefreshPending() &&
                        cal.Cycles().empty())
                        session->CalModel().CmdCalStart_Click();
                    return;
                }
                // The cycle is complete (OFFSET moved, its table written);
                // half a second later its tick has ended and the tab shows it.
                if (cal.Step() == 2 && cal.Cycles().size() >= static_cast<size_t>(cycles))
                    QTimer::singleShot(500, window.get(), once);
            });
            watch->start(250);
            QTimer::singleShot(ms, window.get(), once);
        } else {
            QTimer::singleShot(ms / 2, window.get(), showTab);
            if (!windowName.isEmpty()) {
                // The window is opened through the registry, as its button would.
                QTimer::singleShot(ms / 2, window.get(), [&, windowName] {
                    if (parser.isSet(shotCompareOpt)) {
                        ShowComparison(session->Ecu(), parser.value(shotCompareOpt), window.get());
                    } else if (const WindowOpener* open = WindowRegistry::Find(windowName)) {
                        WindowContext context{session->Ecu(), session->Cycle(), window.get(), 0};
                        (*open)(context);
                    } else {
                        std::fprintf(stderr, "gascal: no window %s in this build\n",
                                     qPrintable(windowName));
                    }
                    if (parser.isSet(shotPasswordOpt)) {
                        for (auto* pw : window->findChildren<QLineEdit*>(QStringLiteral("TxtPw"))) {
                            pw->setText(parser.value(shotPasswordOpt));
                            emit pw->returnPressed();
                        }
                    }
                });
            }
            QTimer::singleShot(ms, window.get(), takePicture);
        }
    }
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    const int appRc = app.exec();
    if (windowShot) rc = windowShot->Result();
    windowShot.reset();
    drive.reset();
    prompts.SetParent(nullptr);
    window.reset();
    session.reset();
    log.Stop();
    SetPrompts(nullptr);
    return rc ? rc : appRc;
}
