// gascal-cli calibrate against the simulated car, in process on the virtual
// clock, with the simulated fitter following the instructions: what it
// prints, its questions, and Ctrl+C.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <csignal>

#include "common/Prompts.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

std::shared_ptr<sim::SimEcu> RunningCar() {
    sim::SimOptions o;
    o.key = o.engineRunning = o.warm = true;
    return NewEcu(o);
}

QStringList Lines(const QString& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

uint64_t Sent(const sim::SimEcu& ecu, uint8_t command) {
    const auto& m = ecu.Counters().perCommand;
    const auto it = m.find(command);
    return it == m.end() ? 0 : it->second;
}

}  // namespace

TEST(CliCalibrate, ACalibrationPrintsItsStepsEntriesResultAndModel) {
    Installation inst;
    auto ecu = RunningCar();
    const Result r = RunVirtual({"--sim", "calibrate", "--yes"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();

    // The steps in order, each once, among the instructions.
    QStringList steps;
    for (const QString& l : Lines(r.err))
        if (l.startsWith(QLatin1String("step "))) steps << l;
    EXPECT_EQ(steps, (QStringList{"step 00", "step 01", "step 02", "step 03"}));
    EXPECT_TRUE(r.err.contains(QStringLiteral("Step 02: raise the engine speed to 2200 rpm")));
    EXPECT_TRUE(r.err.contains(QStringLiteral("Step 03: release the accelerator")));
    // Said in the command line's words: what to do rather than a bare
    // "1081 < 1980", and no button of the window.
    EXPECT_TRUE(r.err.contains(QStringLiteral("\nraise the engine speed above 1980 rpm (now ")))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("\nCalibration finished: OFFSET 0.")))
        << r.err.toStdString();
    const QRegularExpression bareReading(QStringLiteral("^[0-9.,]+ < [0-9.,]+$"));
    for (const QString& l : Lines(r.err)) {
        EXPECT_FALSE(l.contains(bareReading)) << l.toStdString();
        EXPECT_FALSE(l.contains(QStringLiteral("Press "))) << l.toStdString();
    }

    // Every report entry as the file holds it, without the file's quotes and
    // with a decimal point, then the result and the model.
    QFile f(inst.File("TaraCorr.txt"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList file = Lines(QString::fromLatin1(f.readAll()).remove(QLatin1Char('\r')));
    const QStringList out = Lines(r.out);
    ASSERT_GT(file.size(), 5);
    ASSERT_EQ(out.size(), file.size() + 1 + 9);
    QStringList entries;
    for (QString l : file) {
        ASSERT_TRUE(l.startsWith('"') && l.endsWith('"')) << l.toStdString();
        ASSERT_TRUE(l.contains(',')) << l.toStdString();  // the file keeps its decimal commas
        entries << l.mid(1, l.size() - 2).replace(',', '.');
    }
    EXPECT_EQ(out.mid(0, file.size()), entries);
    // Data for a script: no quotes, no decimal comma anywhere.
    const QRegularExpression decimalComma(QStringLiteral("[0-9],[0-9]"));
    for (const QString& l : out) {
        EXPECT_FALSE(l.contains('"')) << l.toStdString();
        EXPECT_FALSE(l.contains(decimalComma)) << l.toStdString();
    }
    EXPECT_TRUE(out[file.size()].startsWith(
        QLatin1String("result: state 20, OFFSET at the end of step 03: ")))
        << out[file.size()].toStdString();
    const QStringList model = out.mid(file.size() + 1);
    EXPECT_TRUE(model[0].startsWith(QLatin1String("ALFA=1.000")));
    EXPECT_TRUE(model[1].startsWith(QLatin1String("OFFSET=0.")));
    // `model` reads the same from the ECU.
    const Result m = RunVirtual({"--sim", "model"}, ecu, inst);
    ASSERT_EQ(m.rc, 0);
    EXPECT_EQ(Lines(m.out), model);
    // Gas, and the ECU choosing the fuel again.
    EXPECT_TRUE(ecu->OnGas());
    EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
}

// The result is in the ECU's working memory: without --save a reset would
// lose it (and it says so); --save stores it in flash.
TEST(CliCalibrate, SaveStoresTheResultInFlash) {
    for (const bool save : {false, true}) {
        SCOPED_TRACE(save ? "--save" : "no --save");
        Installation inst;
        auto ecu = RunningCar();
        const auto flashBefore = ecu->Saved().table;
        QStringList args{"--sim", "calibrate", "--yes"};
        if (save) args << "--save";
        const Result r = RunVirtual(args, ecu, inst);
        ASSERT_EQ(r.rc, 0) << r.err.toStdString();
        ASSERT_NE(ecu->Working().table, flashBefore);
        if (save) {
            EXPECT_EQ(ecu->Saved().table, ecu->Working().table);
            EXPECT_TRUE(r.err.contains(QStringLiteral("Stored in the ECU's flash.")))
                << r.err.toStdString();
        } else {
            EXPECT_EQ(ecu->Saved().table, flashBefore);
            EXPECT_TRUE(r.err.contains(QStringLiteral("Not stored in the ECU's flash")))
                << r.err.toStdString();
        }
    }
}

TEST(CliCalibrate, CtrlCAbortsAndPutsEverythingBack) {
    Installation inst;
    auto ecu = RunningCar();
    const auto table = ecu->Working().table;
    const auto mem3 = ecu->Working().Mem3Config();
    // Ctrl+C once OFFSET has moved twice in step 02 (two table writes after
    // the model's reset): a look every half second.
    std::function<void()> look = [&] {
        if (Sent(*ecu, CMD_WRT_TBL_COR) >= 12)
            std::raise(SIGINT);
        else
            Events().Post(MicroSeconds() + 5e5, look);
    };
    const Result r = RunVirtual({"--sim", "calibrate", "--yes"}, ecu, inst, [&] { look(); });
    EXPECT_EQ(r.rc, 6) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("step 02")));
    EXPECT_FALSE(r.err.contains(QStringLiteral("step 03")));
    EXPECT_TRUE(r.err.contains(QStringLiteral("Interrupted")));
    EXPECT_GT(Sent(*ecu, CMD_WRT_TBL_COR), 0u);  // OFFSET had moved ...
    EXPECT_EQ(ecu->Working().table, table);      // ... and is back
    EXPECT_EQ(ecu->Working().Mem3Config(), mem3);
    EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
    EXPECT_FALSE(r.out.contains(QStringLiteral("result:")));
}

// Ctrl+C with the ECU silent (cable pulled): the program waits for the
// restore. The ECU answering again within the 2 minutes gives exit 6 with
// everything back; an ECU that never answers gives exit 10 and the parts
// that are not back on standard error.
TEST(CliCalibrate, CtrlCWithTheEcuSilentWaitsForTheRestoreAndExits10WhenItCannot) {
    for (const bool comesBack : {true, false}) {
        SCOPED_TRACE(comesBack ? "the ECU comes back" : "the ECU stays silent");
        Installation inst;
        auto ecu = RunningCar();
        const auto table = ecu->Working().table;
        double interruptUs = 0, lastRequestUs = 0;
        // The tool's last request (lost or not) tells how long it kept trying.
        ecu->SetRequestObserver(
            [&](uint8_t, uint8_t, const char*) { lastRequestUs = MicroSeconds(); });
        std::function<void()> look = [&] {
            if (Sent(*ecu, CMD_WRT_TBL_COR) >= 12) {
                ecu->Failures().deaf = 1;
                interruptUs = MicroSeconds();
                std::raise(SIGINT);
                if (comesBack)
                    Events().Post(MicroSeconds() + 60e6, [&] { ecu->Failures().deaf = 0; });
            } else {
                Events().Post(MicroSeconds() + 5e5, look);
            }
        };
        const Result r = RunVirtual({"--sim", "calibrate", "--yes"}, ecu, inst, [&] { look(); });
        ASSERT_GT(interruptUs, 0);
        EXPECT_TRUE(r.err.contains(QStringLiteral("Interrupted")));
        if (comesBack) {
            EXPECT_EQ(r.rc, 6) << r.err.toStdString();
            EXPECT_EQ(ecu->Working().table, table);
            EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
            EXPECT_FALSE(r.err.contains(QStringLiteral("Not put back")));
        } else {
            EXPECT_EQ(r.rc, 10) << r.err.toStdString();
            EXPECT_GE(lastRequestUs - interruptUs, 120e6);
            EXPECT_TRUE(r.err.contains(QStringLiteral("Not put back: ")));
            EXPECT_TRUE(r.err.contains(QStringLiteral("the correction table")));
            EXPECT_TRUE(r.err.contains(QStringLiteral("the settings of block 3")));
            EXPECT_FALSE(r.err.contains(QStringLiteral("are back as they were")));
        }
    }
}

TEST(CliCalibrate, WithoutYesItAsksBeforeItStartsAndBeforeGas) {
    Installation inst;
    auto ecu = RunningCar();
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    // No at the first question: nothing at all is changed.
    prompts.answers = {BoxResult::No};
    Result r = RunVirtual({"--sim", "calibrate"}, ecu, inst);
    EXPECT_EQ(r.rc, 6);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(
        prompts.shown[0].text.contains(QStringLiteral("switches the car between petrol and gas")));
    EXPECT_EQ(Sent(*ecu, CMD_SET_ECU_SLAVE), 0u);
    EXPECT_EQ(Sent(*ecu, CMD_WRT_MEM2), 0u);

    // Yes, then No to gas at the end: the result stays, the car on petrol,
    // the ECU in running mode; the two-point line is reported.
    prompts.shown.clear();
    prompts.answers = {BoxResult::Yes, BoxResult::No};
    r = RunVirtual({"--sim", "calibrate", "--two-point"}, ecu, inst);
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    ASSERT_EQ(prompts.shown.size(), 2u);
    EXPECT_TRUE(prompts.shown[1].text.contains(QStringLiteral("Switch the car to gas")));
    EXPECT_TRUE(r.err.contains(QStringLiteral("step 04")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("two-point: ALFA ")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("\nTaraMax Verifica Dopo ")));
    EXPECT_FALSE(ecu->OnGas());
    EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
}

TEST(CliCalibrate, HelpDocumentsTheCommandAndItsExitCode) {
    const QString help = CliHelpText();
    for (const char* word : {"calibrate [--yes] [--two-point]", "6 calibration aborted",
                             "10 calibration aborted but not everything put back"})
        EXPECT_TRUE(help.contains(word)) << word;
}
