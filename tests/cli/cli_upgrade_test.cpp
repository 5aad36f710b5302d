// gascal-cli upgrade against the simulated ECU on the virtual clock: the
// question before erasing, the backup's path, the exit codes, an upgrade cut
// off and completed by the next run, and a silent ECU that ends the run
// within minutes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <csignal>

#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "ecu/History.h"
#include "ecu/UpgradeBackup.h"
#include "link/core/CommandTable.h"
#include "link/firmware/FlashImage.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"

using namespace gascal;

namespace {

// A private installation folder with the shipped data files, and a data
// folder of its own (the restore points) while it exists.
class UpgradeInstallation {
  public:
    UpgradeInstallation() : oldDataDir_(qgetenv(kDataDirVariable)) {
        qputenv(kDataDirVariable, dir.filePath("Data").toLocal8Bit());
        const QString tree = QStringLiteral(GASCAL_TREE_DIR);
        for (const QString& sub : {QStringLiteral("BIN"), QStringLiteral("LNG")}) {
            QDir().mkpath(dir.filePath(sub));
            QDir src(tree + "/" + sub);
            for (const QString& f : src.entryList(QDir::Files)) {
                if (QFileInfo(src.filePath(f)).isExecutable()) continue;
                if (f.startsWith("RxTx") || f == "SetCom.ini" || f == "Handle.ini") continue;
                QFile::copy(src.filePath(f), dir.filePath(sub + "/" + f));
            }
        }
    }
    ~UpgradeInstallation() { qputenv(kDataDirVariable, oldDataDir_); }
    UpgradeInstallation(const UpgradeInstallation&) = delete;
    UpgradeInstallation& operator=(const UpgradeInstallation&) = delete;
    QString Path() const { return dir.path(); }
    QString File(const QString& rel) const { return dir.filePath(rel); }
    // The restore points the upgrades took before erasing, by serial number.
    QStringList UpgradePoints(bool incompleteOnly = false) const {
        QStringList paths;
        for (uint32_t s : HistorySerials(HistoryRoot()))
            for (const RestorePoint& p : ListHistory(HistoryRoot(), s))
                if (p.reason == PointReason::Upgrade) paths << p.path;
        if (incompleteOnly) {
            QStringList incomplete;
            for (const QString& p : paths)
                for (const UpgradeBackupInfo& b : IncompleteUpgradePoints(HistoryRoot(), {}, {}))
                    if (b.path == p) incomplete << p;
            return incomplete;
        }
        return paths;
    }
    QString FileIdentity() const {
        FlashTable table;
        FlashImage image;
        QString id;
        ReadFirmwareFileIdentity(table, image, File("BIN/Flash.ini"), File("BIN/TeluroInj468.frh"),
                                 id);
        return id;
    }
    QTemporaryDir dir;

  private:
    QByteArray oldDataDir_;
};

struct CliRun {
    int rc = -1;
    QString out, err;
    double virtualSeconds = 0;
};

// One command line in process on a fresh virtual clock; `input` answers questions.
CliRun Cli(const QStringList& args, const std::shared_ptr<sim::SimEcu>& ecu,
           const UpgradeInstallation& inst, QString input = QString()) {
    // Each run starts ten minutes after the one before, as the fitter's runs do.
    static int runs = 0;
    VirtualEventService ev(QDateTime(QDate(2026, 1, 15), QTime(10, 0, 0)).addSecs(600 * runs++));
    ScopedEvents scope(ev);
    CliRun r;
    QTextStream out(&r.out), err(&r.err), in(&input);
    CliEnvironment env;
    env.simEcu = ecu;
    env.input = &in;
    QStringList all{"--install-dir", inst.Path(), "--sim"};
    all += args;
    r.rc = RunCli(all, out, err, env);
    out.flush();
    err.flush();
    r.virtualSeconds = ev.MicroSeconds() / 1e6;
    return r;
}

std::shared_ptr<sim::SimEcu> StoppedCar(const char* version = "0139") {
    sim::SimOptions o;
    o.firmwareVersion = QString::fromLatin1(version);
    return std::make_shared<sim::SimEcu>(o);
}

uint64_t Sent(const sim::SimEcu& ecu, uint8_t command) {
    const auto it = ecu.Counters().perCommand.find(command);
    return it == ecu.Counters().perCommand.end() ? 0 : it->second;
}

QString BackupLine(const QString& out) {
    for (const QString& l : out.split('\n'))
        if (l.startsWith("Backup: ")) return l.mid(8);
    return {};
}

}  // namespace

// Asked before erasing unless --yes; only "y" goes on. The backup is
// written once the fitter agreed, and its path printed; a "no" leaves no
// backup behind (it would be a candidate to restore another car from).
TEST(CliUpgrade, AsksBeforeErasingAndPrintsTheBackup) {
    struct Case {
        const char* what;
        QStringList args;
        QString input;
        int rc;
        bool upgraded;
    };
    const Case cases[] = {
        {"--yes", {"upgrade", "--yes"}, "", 0, true},
        {"answered y", {"upgrade"}, "y\n", 0, true},
        {"no answer", {"upgrade"}, "", 7, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeInstallation inst;
        auto ecu = StoppedCar();
        const CliRun r = Cli(c.args, ecu, inst, c.input);
        EXPECT_EQ(r.rc, c.rc) << r.err.toStdString();
        EXPECT_EQ(r.err.contains("[y/N]"), !c.args.contains("--yes"));
        EXPECT_EQ(r.err.contains("Configuration saved to " + HistoryRoot()), c.upgraded)
            << r.err.toStdString();
        const QStringList backups = inst.UpgradePoints();
        EXPECT_EQ(backups.size(), c.upgraded ? 1 : 0);
        EXPECT_EQ(Sent(*ecu, CMD_ERASE_FLASH), c.upgraded ? 1u : 0u);
        if (c.upgraded) {
            EXPECT_TRUE(r.out.contains("FirmwareEcu: " + inst.FileIdentity()))
                << r.out.toStdString();
            EXPECT_EQ(BackupLine(r.out), backups.value(0));
            EXPECT_TRUE(r.err.contains("] 100 %"));  // the progress bar ran to its end
        } else {
            EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
        }
    }
}

// Exit codes before anything is changed: the ECU refuses while the engine
// runs, an ECU already on the file's firmware has nothing to do, a foreign
// project is not served, an existing backup is never overwritten, a typing
// mistake sends nothing.
TEST(CliUpgrade, ExitCodesWhenNothingIsChanged) {
    struct Case {
        const char* what;
        sim::SimOptions ecu;
        QStringList args;
        int rc;
        const char* says;
    };
    sim::SimOptions running;
    running.firmwareVersion = "0139";
    running.key = running.engineRunning = running.warm = true;
    sim::SimOptions current;
    current.firmwareDate = UpgradeInstallation().FileIdentity().mid(4, 8);
    sim::SimOptions foreign;
    foreign.firmwareVersion = "0139";
    foreign.descriptor = "KT540 OTHER INJ999";
    sim::SimOptions older;
    older.firmwareVersion = "0139";
    const Case cases[] = {
        {"engine running", running, {"upgrade", "--yes"}, 7, "not allowed"},
        {"already the file's firmware", current, {"upgrade", "--yes"}, 0, "nothing to do"},
        {"foreign project", foreign, {"upgrade", "--yes"}, 5, "INJ999"},
        {"existing backup",
         older,
         {"upgrade", "--yes", "--backup", "EXISTING"},
         4,
         "exists already"},
        {"unknown option", older, {"upgrade", "--forse"}, 2, "--forse"},
        {"backup without a file", older, {"upgrade", "--backup"}, 2, "--backup"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeInstallation inst;
        QStringList args = c.args;
        if (args.contains("EXISTING")) {
            const QString path = inst.File("old-backup.var");
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("kept");
            f.close();
            args.replaceInStrings("EXISTING", path);
        }
        auto ecu = std::make_shared<sim::SimEcu>(c.ecu);
        const CliRun r = Cli(args, ecu, inst, "y\n");
        EXPECT_EQ(r.rc, c.rc) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        // The window's Next button means nothing at the command line.
        EXPECT_FALSE(r.err.contains("Next")) << r.err.toStdString();
        EXPECT_EQ(Sent(*ecu, CMD_SET_ECU_PRG), 0u);
        EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
        if (args.contains(inst.File("old-backup.var"))) {
            QFile f(inst.File("old-backup.var"));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), "kept");
        }
    }
}

// The cable pulled in the middle of writing for longer than the upgrade
// waits for it:
// exit 7 naming the backup; the next run finds the ECU waiting for its
// program and completes the upgrade with the configuration of that backup.
TEST(CliUpgrade, AnUpgradeCutOffIsCompletedByTheNextRun) {
    UpgradeInstallation inst;
    auto ecu = StoppedCar();
    // A configuration of the fitter's, not the factory's.
    const sim::ConfigImage factory = ecu->Working();
    {
        const CliRun set = Cli({"set", "SwitchTempRaw=52", "--save"}, ecu, inst);
        ASSERT_EQ(set.rc, 0) << set.err.toStdString();
    }
    const sim::ConfigImage before = ecu->Working();
    ASSERT_NE(before.mem3, factory.mem3);
    const QString backup = inst.File("car-1234.var");
    int zones = 0;
    ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 40)
            Events().Post(MicroSeconds() + 1000, [&] { ecu->Vanish(200e6, MicroSeconds()); });
    });
    const CliRun cut = Cli({"upgrade", "--yes", "--backup", backup}, ecu, inst);
    ecu->SetRequestObserver(nullptr);
    EXPECT_EQ(cut.rc, 7) << cut.err.toStdString();
    EXPECT_TRUE(cut.err.contains(backup));
    EXPECT_EQ(BackupLine(cut.out), backup);
    EXPECT_TRUE(QFile::exists(backup));
    EXPECT_EQ(ecu->Mode(), sim::EcuMode::Programming);

    // Started again once the cable is back (the run waits for it).
    const CliRun again =
        Cli({"--timeout", "200", "upgrade", "--yes", "--backup", backup}, ecu, inst);
    EXPECT_EQ(again.rc, 0) << again.err.toStdString();
    EXPECT_TRUE(again.err.contains("waits for its firmware"));
    EXPECT_TRUE(again.err.contains("restored from:\n" + backup)) << again.err.toStdString();
    EXPECT_FALSE(again.err.contains("Next")) << again.err.toStdString();
    EXPECT_TRUE(again.out.contains("FirmwareEcu: " + inst.FileIdentity()));
    EXPECT_EQ(ecu->Working().mem3, before.mem3);
    EXPECT_EQ(ecu->Working().table, before.table);
    EXPECT_EQ(ecu->Saved(), ecu->Working());
}

// An ECU that goes silent after the erase: with --skip-failed as without,
// the run ends as failed within minutes instead of trying every chunk.
TEST(CliUpgrade, ASilentEcuEndsTheRunWithinMinutes) {
    for (bool skip : {true, false}) {
        SCOPED_TRACE(skip ? "--skip-failed" : "without --skip-failed");
        UpgradeInstallation inst;
        auto ecu = StoppedCar();
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_ERASE_FLASH) ecu->Failures().deaf = 1.0;
        });
        QStringList args{"upgrade", "--yes"};
        if (skip) args << "--skip-failed";
        const CliRun r = Cli(args, ecu, inst);
        ecu->SetRequestObserver(nullptr);
        EXPECT_EQ(r.rc, 7) << r.err.toStdString();
        EXPECT_LT(r.virtualSeconds, 5 * 60);
        EXPECT_TRUE(r.err.contains("Backup") || r.out.contains("Backup: "));
        EXPECT_FALSE(BackupLine(r.out).isEmpty());
        EXPECT_EQ(Sent(*ecu, CMD_WRT_FLASH_END), 0u);
    }
}

TEST(CliUpgrade, HelpDocumentsTheCommandAndItsExitCode) {
    const QString help = CliHelpText();
    for (const char* word : {"upgrade [--yes] [--force] [--backup FILE] [--skip-failed]",
                             "7 upgrade failed or incomplete"})
        EXPECT_TRUE(help.contains(word)) << word;
}

namespace {

// The test's own handlers of SIGINT and SIGTERM, so that a signal the
// upgrade does not take over never ends the test program.
volatile std::sig_atomic_t gSignalsSeen = 0;
extern "C" void SeeSignal(int) {
    gSignalsSeen = gSignalsSeen + 1;
}
class SignalCatcher {
  public:
    SignalCatcher() {
        struct sigaction sa {};
        sa.sa_handler = SeeSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~SignalCatcher() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }

  private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

std::shared_ptr<sim::SimEcu> Car(uint32_t serial, int cylinders = 4,
                                 bool bootLoaderTestData = true) {
    sim::SimOptions o;
    o.firmwareVersion = "0139";
    o.serial = serial;
    o.cylinders = cylinders;
    o.bootLoaderTestData = bootLoaderTestData;
    return std::make_shared<sim::SimEcu>(o);
}

// Cuts the cable for 200 s (longer than the upgrade waits for it) once
// `chunks` chunks were written.
void CutAfter(const std::shared_ptr<sim::SimEcu>& ecu, int chunks) {
    auto zones = std::make_shared<int>(0);
    ecu->SetRequestObserver([ecu, zones, chunks](uint8_t cmd, uint8_t, const char*) {
        if (cmd == CMD_WRT_FLASH_ZONE && ++*zones == chunks)
            Events().Post(MicroSeconds() + 1000, [ecu] { ecu->Vanish(200e6, MicroSeconds()); });
    });
}

}  // namespace

// Car A cut off at 20 %, then car B asked and declined, then car C upgraded
// to the end: A, started again, gets its own configuration back (the
// backup of its serial number that did not complete), not B's nor C's. An
// ECU whose serial number cannot be read while it waits, with two
// interrupted upgrades in the folder, is not restored from either until
// --backup names one: the candidates are listed with exit 7.
TEST(CliUpgrade, AnInterruptedUpgradeIsResumedOnlyFromItsOwnBackup) {
    {
        SCOPED_TRACE("serial number readable");
        UpgradeInstallation inst;
        auto a = Car(1001), b = Car(2002, 6), c = Car(3003);
        ASSERT_EQ(Cli({"set", "SwitchTempRaw=52", "--save"}, a, inst).rc, 0);
        const sim::ConfigImage aBefore = a->Working();
        CutAfter(a, 50);
        EXPECT_EQ(Cli({"upgrade", "--yes"}, a, inst).rc, 7);
        a->SetRequestObserver(nullptr);
        ASSERT_EQ(a->Mode(), sim::EcuMode::Programming);
        const CliRun declined = Cli({"upgrade"}, b, inst, "n\n");
        EXPECT_EQ(declined.rc, 7);
        EXPECT_EQ(b->Mode(), sim::EcuMode::Run);
        ASSERT_EQ(Cli({"upgrade", "--yes"}, c, inst).rc, 0);

        const CliRun resumed = Cli({"--timeout", "120", "upgrade", "--yes"}, a, inst);
        EXPECT_EQ(resumed.rc, 0) << resumed.err.toStdString();
        EXPECT_TRUE(resumed.err.contains(HistoryFolder(HistoryRoot(), 1001)))
            << resumed.err.toStdString();
        EXPECT_EQ(a->Working().mem3, aBefore.mem3);
        EXPECT_EQ(a->Working().table, aBefore.table);
        EXPECT_EQ(a->Working().dcol, aBefore.dcol);
        EXPECT_EQ(a->Saved(), a->Working());
        // Both completed upgrades recorded it; none is left to resume from.
        EXPECT_EQ(inst.UpgradePoints(true).size(), 0);
        EXPECT_EQ(inst.UpgradePoints().size(), 2);
    }
    {
        SCOPED_TRACE("serial number unknown while the ECU waits");
        UpgradeInstallation inst;
        auto a = Car(1001, 4, false), d = Car(4004, 4, false);
        ASSERT_EQ(Cli({"set", "SwitchTempRaw=52", "--save"}, a, inst).rc, 0);
        const sim::ConfigImage aBefore = a->Working();
        CutAfter(a, 50);
        EXPECT_EQ(Cli({"upgrade", "--yes"}, a, inst).rc, 7);
        a->SetRequestObserver(nullptr);
        CutAfter(d, 60);
        EXPECT_EQ(Cli({"upgrade", "--yes"}, d, inst).rc, 7);
        d->SetRequestObserver(nullptr);
        const QStringList backups = inst.UpgradePoints(true);
        ASSERT_EQ(backups.size(), 2);

        const CliRun refused = Cli({"--timeout", "120", "upgrade", "--yes"}, a, inst);
        EXPECT_EQ(refused.rc, 7) << refused.err.toStdString();
        for (const QString& f : backups) EXPECT_TRUE(refused.err.contains(f)) << f.toStdString();
        EXPECT_TRUE(refused.err.contains("1001") && refused.err.contains("4004"));
        EXPECT_EQ(Sent(*a, CMD_WRT_FLASH_END), 0u);

        QString aBackup;
        for (const QString& f : backups)
            if (f.startsWith(HistoryFolder(HistoryRoot(), 1001))) aBackup = f;
        const CliRun chosen = Cli({"upgrade", "--yes", "--backup", aBackup}, a, inst);
        EXPECT_EQ(chosen.rc, 0) << chosen.err.toStdString();
        EXPECT_EQ(a->Working().mem3, aBefore.mem3);
    }
}

// Ctrl+C (SIGINT) or SIGTERM while the flash is written: the upgrade stops
// at the next chunk, keeps its backup, says it is incomplete and how to
// finish it, and exits 7. The ECU still reports the firmware it booted
// (not the half-written one), and identify says it is in programming
// state. The next run finishes the upgrade.
TEST(CliUpgrade, AnInterruptEndsTheUpgradeAtTheNextSafePoint) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        SignalCatcher catcher;
        UpgradeInstallation inst;
        auto ecu = Car(1001);
        const sim::ConfigImage before = ecu->Working();
        int zones = 0;
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 40) std::raise(sig);
        });
        const CliRun cut = Cli({"upgrade", "--yes"}, ecu, inst);
        ecu->SetRequestObserver(nullptr);
        EXPECT_EQ(cut.rc, 7) << cut.err.toStdString();
        EXPECT_TRUE(cut.err.contains("interrupted")) << cut.err.toStdString();
        EXPECT_TRUE(cut.err.contains("Run the upgrade again"));
        const QString backup = BackupLine(cut.out);
        EXPECT_TRUE(QFile::exists(backup)) << cut.out.toStdString();
        EXPECT_TRUE(cut.err.contains(backup));
        EXPECT_EQ(Sent(*ecu, CMD_WRT_FLASH_END), 0u);
        EXPECT_LT(Sent(*ecu, CMD_WRT_FLASH_ZONE), 45u);
        EXPECT_EQ(ecu->Mode(), sim::EcuMode::Programming);

        const CliRun id = Cli({"identify"}, ecu, inst);
        EXPECT_NE(id.rc, 0);
        EXPECT_TRUE(id.err.contains("programming state")) << id.err.toStdString();
        EXPECT_FALSE(id.out.contains("FirmwareEcu: " + inst.FileIdentity()))
            << id.out.toStdString();

        const CliRun again = Cli({"upgrade", "--yes"}, ecu, inst);
        EXPECT_EQ(again.rc, 0) << again.err.toStdString();
        EXPECT_TRUE(again.out.contains("FirmwareEcu: " + inst.FileIdentity()));
        EXPECT_EQ(ecu->Working().mem3, before.mem3);
        const CliRun idAfter = Cli({"identify"}, ecu, inst);
        EXPECT_EQ(idAfter.rc, 0) << idAfter.err.toStdString();
        EXPECT_TRUE(idAfter.out.contains("FirmwareEcu: " + inst.FileIdentity()));
    }
}

// --force writes an ECU that runs the file's firmware already.
TEST(CliUpgrade, ForceWritesTheFilesFirmwareAgain) {
    UpgradeInstallation inst;
    sim::SimOptions o;
    o.firmwareDate = inst.FileIdentity().mid(4, 8);
    auto ecu = std::make_shared<sim::SimEcu>(o);
    const CliRun r = Cli({"upgrade", "--yes", "--force"}, ecu, inst);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Upgrade completed"));
    EXPECT_EQ(Sent(*ecu, CMD_ERASE_FLASH), 1u);
    EXPECT_EQ(Sent(*ecu, CMD_WRT_FLASH_END), 1u);
}
