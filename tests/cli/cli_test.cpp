// gascal-cli against the simulated ECU: in process on the virtual clock, and
// as a program talking to gascal-ecusim over a pseudo-terminal.
#include "app/gascal-cli/Cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/TextFile.h"
#include "link/core/CommandTable.h"
#include "link/core/MachinePorts.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

TEST(CliInProcess, IdentifyPrintsBothIdentitiesAndLogsTheExchange) {
    Installation inst;
    auto ecu = NewEcu();
    const Result r = RunVirtual({"--sim", "identify"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Port: USB 0 (simulated ECU)"));
    EXPECT_TRUE(r.out.contains("FirmwareEcu: 014015032025KT540 GASCAL INJ468"));
    EXPECT_TRUE(r.out.contains("FirmwareEcuVersStr: 01.00.40"));
    EXPECT_TRUE(r.out.contains("DescProgettoEcu_CODICE: INJ468"));
    EXPECT_TRUE(r.out.contains("FirmwareFleVersStr: 01.00.40"));
    EXPECT_TRUE(r.out.contains("DescProgettoFle_CODICE: INJ468"));
    // The newer file is only mentioned, never installed.
    EXPECT_TRUE(r.err.contains("upgrade is offered"));
    EXPECT_EQ(ecu->Counters().perCommand.count(CMD_ERASE_FLASH), 0u);
    QFile log(inst.File("BIN/RxTx.TXT"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("CMD_GET_ECO"));
    EXPECT_TRUE(text.contains("CMD_READ_FIRMWARE"));
    // An explicit simulator run leaves the settings file alone.
    EXPECT_FALSE(QFile::exists(inst.File("BIN/SetCom.ini")));
}

TEST(CliInProcess, SetSwitchRpmReachesTheEcuAsAPeriod) {
    Installation inst;
    auto ecu = NewEcu();
    ASSERT_EQ(ecu->Working().NumCoils(), 4);
    ASSERT_EQ(ecu->Working().NumCylinders(), 4);
    const Result r = RunVirtual({"--sim", "set", "SwitchRpm=3000"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("SwitchRpm=3000"));
    // 4 coils on 4 cylinders: 15 000 000 / 3000 rpm = period 5000 (88 13).
    EXPECT_EQ(U16(&ecu->Working().mem3[sim::mem3::SwitchRpm]), 5000);
    // Not saved to flash without --save.
    EXPECT_NE(U16(&ecu->Saved().mem3[sim::mem3::SwitchRpm]), 5000);
    const Result saved = RunVirtual({"--sim", "set", "SwitchRpm=3000", "--save"}, ecu, inst);
    ASSERT_EQ(saved.rc, 0) << saved.err.toStdString();
    EXPECT_EQ(U16(&ecu->Saved().mem3[sim::mem3::SwitchRpm]), 5000);
}

TEST(CliInProcess, SwitchoverSpeedTooLowForThePeriodIsRefusedBeforeWriting) {
    Installation inst;
    auto ecu = NewEcu();
    const auto before = ecu->Working();
    // 4 coils on 4 cylinders: 100 rpm would be a period of 150 000, which the
    // 16-bit word cannot carry; FFFF would mean "no speed condition".
    Result r = RunVirtual({"--sim", "set", "SwitchRpm=100", "InjTrim0=0,4"}, ecu, inst);
    EXPECT_EQ(r.rc, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("229")) << r.err.toStdString();
    EXPECT_EQ(ecu->Counters().perCommand.count(CMD_WRT_MEM3), 0u);
    EXPECT_EQ(ecu->Working(), before);

    // The lowest speed that fits is taken.
    r = RunVirtual({"--sim", "set", "SwitchRpm=229"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(U16(&ecu->Working().mem3[sim::mem3::SwitchRpm]), 65502);

    // Changing the coils and cylinders so that the ECU's present switchover
    // speed no longer fits is refused as well: 8 coils on 1 cylinder make
    // 800 rpm a period of 150 000.
    r = RunVirtual({"--sim", "set", "SwitchRpm=800"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    r = RunVirtual({"--sim", "set", "NumCoils=8", "NumCylinders=1"}, ecu, inst);
    EXPECT_EQ(r.rc, 2) << r.err.toStdString();
    EXPECT_EQ(ecu->Working().NumCoils(), 4);
    r = RunVirtual({"--sim", "set", "NumCoils=8", "NumCylinders=1", "SwitchRpm=2000"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(ecu->Working().NumCoils(), 8);
    EXPECT_EQ(U16(&ecu->Working().mem3[sim::mem3::SwitchRpm]), 60000);
}

TEST(CliInProcess, BlockFiveFieldsOnAnOlderFirmwareAreRefusedByName) {
    Installation inst;
    sim::SimOptions o;
    o.oldFirmware = true;
    auto ecu = NewEcu(o);
    const auto before = ecu->Working();
    Result r = RunVirtual({"--sim", "get", "NumCoils", "ShowRpmLow"}, ecu, inst);
    EXPECT_EQ(r.rc, 2) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("ShowRpmLow")) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("ShowRpmLow"));
    EXPECT_EQ(ecu->Counters().perCommand.count(CMD_READ_MEM5), 0u);

    r = RunVirtual({"--sim", "set", "ShowRpmLow=2000", "InjTrim0=0,4"}, ecu, inst);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(ecu->Counters().perCommand.count(CMD_WRT_MEM3), 0u);
    EXPECT_EQ(ecu->Working(), before);

    // Without a block-5 field the older firmware is read as usual, block 5 left out.
    r = RunVirtual({"--sim", "get"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("NumCoils=4"));
    EXPECT_FALSE(r.out.contains("ShowRpmLow"));
}

TEST(CliInProcess, SeveralFieldsOfTwoBlocksAreWrittenTogether) {
    Installation inst;
    auto ecu = NewEcu();
    const Result r = RunVirtual(
        {"--sim", "set", "InjTrim0=-0,016", "ShowRpmLow=2000", "VacuumAcqEnable=1"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    // -0.016 ms is -2 counts of 8 us: FE FF.
    EXPECT_EQ(ecu->Working().mem3[sim::mem3::InjTrim + 14], 0xFE);
    EXPECT_EQ(ecu->Working().mem3[sim::mem3::InjTrim + 15], 0xFF);
    EXPECT_EQ(U16(&ecu->Working().mem5[sim::mem5::ShowRpmLow]), 2000);
    EXPECT_TRUE(r.out.contains("InjTrim0=-0.016"));
    EXPECT_TRUE(r.out.contains("VacuumAcqEnable=1"));
}

TEST(CliInProcess, InvalidInputChangesNothingAndSendsNothing) {
    Installation inst;
    auto ecu = NewEcu();
    const auto before = ecu->Working();
    for (const QStringList& args :
         {QStringList{"--sim", "set", "Bogus=1"}, QStringList{"--sim", "set", "NumCylinders=12"},
          QStringList{"--sim", "set", "SwitchRpm=abc"}, QStringList{"--sim", "set", "CutOff=1"},
          QStringList{"--sim", "get", "Nothing"}, QStringList{"--sim", "frobnicate"},
          QStringList{"--sim", "--timeout", "-1", "identify"}}) {
        const Result r = RunVirtual(args, ecu, inst);
        EXPECT_EQ(r.rc, 2) << args.join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(ecu->Counters().requests, 0u);
    EXPECT_EQ(ecu->Working(), before);
}

TEST(CliInProcess, WrongPortNamesAreToldApart) {
    Installation inst;
    for (const char* port : {"COM0", "COM12", "com10"}) {
        const Result r = RunVirtual({"--port", port, "--timeout", "5", "identify"}, nullptr, inst);
        EXPECT_EQ(r.rc, 2) << port;
        EXPECT_TRUE(r.err.contains("COM1 to COM9")) << r.err.toStdString();
    }
    const QString missing = inst.File("no-such-device");
    const Result r = RunVirtual({"--port", missing, "--timeout", "5", "identify"}, nullptr, inst);
    EXPECT_EQ(r.rc, 3);
    EXPECT_TRUE(r.err.contains("does not exist: " + missing)) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("No ECU answered"));
}

TEST(CliInProcess, NothingAnsweringGivesExitThreeAndSaysWhatWasTried) {
    Installation inst;
    // A serial port with nothing behind it, and a short time-out.
    Result r = RunVirtual({"--port", "COM9", "--timeout", "3", "identify"}, nullptr, inst);
    EXPECT_EQ(r.rc, 3);
    EXPECT_TRUE(r.err.contains("No ECU answered"));
    EXPECT_TRUE(r.err.contains("Ports tried:\n  COM9")) << r.err.toStdString();

    // A device that opens but where nothing answers, until the time-out.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString pty = QString::fromLocal8Bit(ptsname(master));
    r = RunVirtual({"--port", pty, "--timeout", "60", "identify"}, nullptr, inst);
    SetSerialOverride(QString(), 1);  // the device is gone for the next tests
    close(master);
    EXPECT_EQ(r.rc, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("COM1 (%1): no answer from an ECU").arg(pty)))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("ignition key")) << r.err.toStdString();
}

TEST(CliInProcess, ForeignProjectCodeGivesExitFiveWithBothDescriptions) {
    Installation inst;
    sim::SimOptions o;
    o.descriptor = QStringLiteral("KT540 OTHERCO XYZ999").leftJustified(32, ' ');
    auto ecu = NewEcu(o);
    const Result r = RunVirtual({"--sim", "get"}, ecu, inst);
    EXPECT_EQ(r.rc, 5);
    EXPECT_TRUE(r.err.contains("XYZ999"));
    EXPECT_TRUE(r.err.contains("INJ468"));
    EXPECT_EQ(ecu->Counters().perCommand.count(CMD_READ_MEM3), 0u);
}

TEST(CliInProcess, MissingFirmwareFileIsAFileError) {
    Installation inst;
    QFile::remove(inst.File("BIN/TeluroInj468.frh"));
    const Result r = RunVirtual({"--sim", "identify"}, NewEcu(), inst);
    EXPECT_EQ(r.rc, 4);
    EXPECT_TRUE(r.err.contains("Firmware file not found: " + inst.File("BIN/TeluroInj468.frh")))
        << r.err.toStdString();
}

// A damaged firmware file gives the window's text, with the line that is wrong.
TEST(CliInProcess, DamagedFirmwareFileNamesTheBadLine) {
    Installation inst;
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(inst.File("BIN/TeluroInj468.frh"), lines));
    lines[2][lines[2].size() / 2] = QLatin1Char('X');
    ASSERT_TRUE(WriteLatin1Lines(inst.File("BIN/TeluroInj468.frh"), lines));
    const Result r = RunVirtual({"--sim", "identify"}, NewEcu(), inst);
    EXPECT_EQ(r.rc, 4);
    EXPECT_TRUE(r.err.contains("Firmware file not found: " + inst.File("BIN/TeluroInj468.frh")));
    EXPECT_TRUE(r.err.contains("line 3")) << r.err.toStdString();
}

TEST(CliInProcess, ParameterFileCarriesAConfigurationToAnotherEcu) {
    Installation inst;
    auto source = NewEcu();
    ASSERT_EQ(RunVirtual({"--sim", "set", "SwitchRpm=2600", "SwitchDelay=7,5", "InjTrim3=0,4",
                          "ShowRpmHigh=3100"},
                         source, inst)
                  .rc,
              0);
    const QString file = inst.File("car.var");
    const Result saved = RunVirtual({"--sim", "save-params", file}, source, inst);
    ASSERT_EQ(saved.rc, 0) << saved.err.toStdString();
    ASSERT_TRUE(QFile::exists(file));

    sim::SimOptions o;
    o.firmwareVersion = QStringLiteral("0138");
    auto target = NewEcu(o);
    ASSERT_NE(target->Working().mem3, source->Working().mem3);
    const Result loaded = RunVirtual({"--sim", "load-params", file}, target, inst);
    ASSERT_EQ(loaded.rc, 0) << loaded.err.toStdString();
    EXPECT_EQ(target->Working().mem3, source->Working().mem3);
    EXPECT_EQ(target->Working().mem5, source->Working().mem5);
    EXPECT_EQ(target->Working().table, source->Working().table);
    // The load ends with a save to flash.
    EXPECT_EQ(target->Saved().mem3, source->Working().mem3);

    // An older firmware without a writable block 5 takes blocks 2, 3 and the table.
    sim::SimOptions old;
    old.oldFirmware = true;
    auto oldEcu = NewEcu(old);
    const Result oldLoad = RunVirtual({"--sim", "load-params", file}, oldEcu, inst);
    ASSERT_EQ(oldLoad.rc, 0) << oldLoad.err.toStdString();
    EXPECT_EQ(oldEcu->Working().mem3, source->Working().mem3);
    EXPECT_EQ(oldEcu->Working().table, source->Working().table);
}

// A car found running on gas is switched to petrol for the load and then
// put back as it was found: on gas, running on its own (not left in slave
// mode).
TEST(CliInProcess, LoadingIntoACarOnGasLeavesItOnGasInRunningMode) {
    Installation inst;
    sim::SimOptions o;
    o.key = o.engineRunning = o.warm = true;
    o.rpm = 2000;
    auto ecu = NewEcu(o);
    const QString file = inst.File("car.var");
    ASSERT_EQ(RunVirtual({"--sim", "save-params", file}, ecu, inst).rc, 0);
    ecu->AdvanceTo(ecu->Now() + 90e6);
    ASSERT_TRUE(ecu->OnGas());
    ASSERT_EQ(ecu->Mode(), sim::EcuMode::Run);
    const Result r = RunVirtual({"--sim", "load-params", file}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("switched to petrol while loading"));
    EXPECT_TRUE(r.err.contains("Switched back to gas"));
    EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
    EXPECT_EQ(ecu->Working().WorkMode(), 3);
    EXPECT_GE(ecu->Counters().perCommand.at(CMD_SET_ECU_RUN), 1u);
}

TEST(CliInProcess, LoadingAMissingOrBrokenFileIsAFileError) {
    Installation inst;
    auto ecu = NewEcu();
    const auto before = ecu->Working();
    const auto savedBefore = ecu->Saved();
    EXPECT_EQ(RunVirtual({"--sim", "load-params", inst.File("none.var")}, ecu, inst).rc, 4);
    QFile f(inst.File("broken.var"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[BLK3]\r\nB3ZZZZ\r\n");
    f.close();
    const Result r = RunVirtual({"--sim", "load-params", inst.File("broken.var")}, ecu, inst);
    EXPECT_EQ(r.rc, 4);
    EXPECT_TRUE(r.err.contains("line")) << r.err.toStdString();
    EXPECT_EQ(ecu->Saved(), savedBefore);
    EXPECT_EQ(ecu->Working().mem3, before.mem3);
}

// The petrol times of block 1 get the injection offset added back only for a
// firmware at or after the date in [Control_petrol_firmware] (01/03/2025 in
// the shipped ConfigScale.ini), as in the window.
TEST(CliInProcess, LivePetrolTimesFollowTheFirmwareDateCheck) {
    Installation inst;
    auto petrolTimes = [&](const QString& date) {
        sim::SimOptions o;
        o.key = o.engineRunning = o.warm = true;
        o.firmwareDate = date;
        auto ecu = NewEcu(o);
        const Result r = RunVirtual({"--sim", "live", "--count", "1", "--csv"}, ecu, inst);
        EXPECT_EQ(r.rc, 0) << r.err.toStdString();
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(lines.size(), 2);
        if (lines.size() != 2) return std::pair<double, double>{0, 0};
        const QStringList names = lines[0].split(','), cells = lines[1].split(',');
        // SkippedRaw0 is the measured petrol time with its offset, in 8 us counts.
        const double reported = cells[names.indexOf("PetrolInjTimes0")].toDouble();
        const double measured = cells[names.indexOf("SkippedRaw0")].toDouble() * 0.008;
        return std::pair<double, double>{reported, measured};
    };
    const auto [newReported, newMeasured] = petrolTimes(QStringLiteral("15032025"));
    ASSERT_GT(newMeasured, 1.0);
    EXPECT_NEAR(newReported, newMeasured, 0.01);
    const auto [oldReported, oldMeasured] = petrolTimes(QStringLiteral("15022025"));
    ASSERT_GT(oldMeasured, 1.0);
    EXPECT_NEAR(oldReported, oldMeasured - 0.6, 0.01);
}

TEST(CliInProcess, LiveValuesAsCsvAndTableAndErrors) {
    Installation inst;
    auto ecu = NewEcu();
    Result r = RunVirtual({"--sim", "live", "--count", "3", "--csv"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("SampleTimeMs,SignedInjTimes0,"));
    EXPECT_EQ(lines[1].count(','), lines[0].count(','));
    EXPECT_EQ(ecu->Counters().perCommand.at(CMD_READ_MEM1), 3u);

    r = RunVirtual({"--sim", "read-table", "--csv"}, ecu, inst);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.split('\n', Qt::SkipEmptyParts).size(), 1 + 184);

    ecu->SetFault(sim::ERR_LOW_GAS_PRESSURE, sim::kErrShortOrLow);
    r = RunVirtual({"--sim", "errors"}, ecu, inst);
    ASSERT_EQ(r.rc, 0);
    // Names and state texts come from the dictionary; no error reads "none".
    EXPECT_TRUE(r.out.contains("Low gas pressure: present=Pressure too low"))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Gas valve 1: present=none stored=none")) << r.out.toStdString();
    r = RunVirtual({"--sim", "clear-errors"}, ecu, inst);
    EXPECT_EQ(r.rc, 0);
    EXPECT_GE(ecu->Counters().perCommand.at(CMD_CANC_ERR), 1u);
}

// The link timer of `live` sleeps between exchanges: in virtual time a read
// wakes the process a handful of times (the request's byte pauses, the ticks
// that log its states and read its answer), not on every millisecond.
TEST(CliInProcess, LiveSleepsBetweenItsExchanges) {
    Installation inst;
    VirtualEventService ev;
    ScopedEvents scope(ev);
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    CliEnvironment env;
    env.simEcu = NewEcu();
    const int rc = RunCli({"--install-dir", inst.Path(), "--sim", "live", "--count", "40"},
                          outStream, errStream, env);
    errStream.flush();
    ASSERT_EQ(rc, 0) << err.toStdString();
    const auto& perCommand = env.simEcu->Counters().perCommand;
    ASSERT_EQ(perCommand.at(CMD_READ_MEM1), 40u);
    const double ms = ev.MicroSeconds() / 1000;
    EXPECT_GT(ms, 40 * 100.0);
    // Ticking every millisecond would be one wake-up per millisecond.
    EXPECT_LT(static_cast<double>(ev.WakeUps()), ms / 8);
    EXPECT_LT(ev.WakeUps(), 20u * 45);
}

// An ECU that goes away in the middle of `live`: the command gives up within
// the time-out given for an ECU to answer, sleeping while it waits.
TEST(CliInProcess, LiveGivesUpWithinTheTimeOutWhenTheEcuGoesAway) {
    for (const int timeoutS : {30, 10}) {
        SCOPED_TRACE(timeoutS);
        Installation inst;
        VirtualEventService ev;
        ScopedEvents scope(ev);
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        CliEnvironment env;
        env.simEcu = NewEcu();
        auto ecu = env.simEcu;
        double goneAtUs = 0;
        // Gone after ten readings, for longer than any wait.
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_READ_MEM1 && ecu->Counters().perCommand.at(CMD_READ_MEM1) == 10 &&
                goneAtUs == 0) {
                goneAtUs = ev.MicroSeconds();
                ecu->Vanish(3600e6, goneAtUs);
            }
        });
        const int rc = RunCli({"--install-dir", inst.Path(), "--sim", "--timeout",
                               QString::number(timeoutS), "live", "--count", "200"},
                              outStream, errStream, env);
        errStream.flush();
        EXPECT_EQ(rc, 3);
        EXPECT_TRUE(err.contains("Block 1 could not be read.")) << err.toStdString();
        ASSERT_GT(goneAtUs, 0);
        const double waitedS = (ev.MicroSeconds() - goneAtUs) / 1e6;
        EXPECT_LE(waitedS, timeoutS + 1.0);
        // Sleeping: far fewer wake-ups than milliseconds waited.
        EXPECT_LT(static_cast<double>(ev.WakeUps()), waitedS * 1000 / 8) << waitedS;
    }
}

// --- The programs, over a pseudo-terminal --------------------------------------

namespace {
struct Programs {
    QString bin = QStringLiteral(GASCAL_TREE_DIR "/BIN");
    QString Cli() const { return bin + "/gascal-cli"; }
    QString Sim() const { return bin + "/gascal-ecusim"; }
};

Result RunProgram(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    Result r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.rc = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}
}  // namespace

TEST(CliProgram, TalksToTheEcuSimulatorOverAPseudoTerminal) {
    Programs prog;
    Installation inst;
    QProcess ecusim;
    ecusim.start(prog.Sim(), {"--key", "on"});
    ASSERT_TRUE(ecusim.waitForStarted(10000));
    ASSERT_TRUE(ecusim.waitForReadyRead(10000));
    const QString pty = QString::fromLocal8Bit(ecusim.readLine()).trimmed();
    ASSERT_TRUE(pty.startsWith("/dev/")) << pty.toStdString();

    // The device stands for the serial port the settings file names.
    QFile settings(inst.File("BIN/SetCom.ini"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[UsbCom]\r\n0\r\n[Comport]\r\n3\r\n");
    settings.close();
    const QStringList base{"--install-dir", inst.Path(), "--port", pty, "--timeout", "20"};
    Result r = RunProgram(prog.Cli(), base + QStringList{"identify"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("FirmwareEcu: 014015032025KT540 GASCAL INJ468"));
    EXPECT_TRUE(r.out.contains("Port: COM3 (" + pty + ")")) << r.out.toStdString();

    r = RunProgram(prog.Cli(), base + QStringList{"set", "SwitchRpm=3000"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    r = RunProgram(prog.Cli(), base + QStringList{"get", "SwitchRpm"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.trimmed(), "SwitchRpm=3000");

    ecusim.terminate();
    EXPECT_TRUE(ecusim.waitForFinished(10000));
}

TEST(CliProgram, HelpDocumentsCommandsAndExitCodes) {
    Programs prog;
    const Result r = RunProgram(prog.Cli(), {"--help"});
    EXPECT_EQ(r.rc, 0);
    for (const char* word : {"identify", "live", "get", "set", "save-params", "load-params",
                             "read-table", "errors", "clear-errors", "Exit codes"})
        EXPECT_TRUE(r.out.contains(word)) << word;
}

TEST(CliProgram, ListsWhatThePortsStandForAndWhetherTheyOpen) {
    Programs prog;
    Result r = RunProgram(prog.Cli(), {"--list-ports"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    QStringList lines = r.out.split('\n');
    ASSERT_GE(lines.size(), 10) << r.out.toStdString();
    for (int n = 1; n <= 9; ++n)
        EXPECT_TRUE(lines[n - 1].startsWith(QStringLiteral("COM%1 = ").arg(n)))
            << lines[n - 1].toStdString();
    EXPECT_TRUE(lines[9].startsWith("USB")) << lines[9].toStdString();

    // A device given with --port stands for COM1; one another program holds
    // is busy.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString pty = QString::fromLocal8Bit(ptsname(master));
    r = RunProgram(prog.Cli(), {"--port", pty, "--list-ports"});
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("COM1 = %1: can be opened\n").arg(pty)))
        << r.out.toStdString();
    QProcess holder;
    holder.start(prog.Cli(), {"--port", pty, "--timeout", "30", "identify"});
    ASSERT_TRUE(holder.waitForStarted(10000));
    // The holder opens the port on its first link tick.
    for (int tries = 0; tries < 40; ++tries) {
        r = RunProgram(prog.Cli(), {"--port", pty, "--list-ports"});
        if (r.out.contains("busy")) break;
        QThread::msleep(250);
    }
    holder.kill();
    holder.waitForFinished();
    close(master);
    EXPECT_TRUE(
        r.out.startsWith(QStringLiteral("COM1 = %1: busy: another program is using it\n").arg(pty)))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Close the other program that uses the port."))
        << r.out.toStdString();
}
