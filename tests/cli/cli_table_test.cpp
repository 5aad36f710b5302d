// gascal-cli's table of commands: every command's argument mistakes are
// said before the ECU is looked for, output that scripts read keeps its
// English keys in every language, and the simulated fitter takes the
// calibration's instructions from one mapping.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include "common/Prompts.h"
#include "ecu/Calibration.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimFitter.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

// With an ECU that never hears anything, a mistake that were found only
// after the search would end as a link failure (exit 3) after the time-out;
// found first, it ends as a usage error and nothing reaches the port.
TEST(CliTable, ArgumentMistakesAreReportedBeforeTheEcuIsLookedFor) {
    const std::vector<QStringList> mistakes{
        {"live", "--count", "0"},
        {"live", "--count"},
        {"live", "--csv", "extra"},
        {"read-table", "extra"},
        {"identify", "extra"},
        {"errors", "extra"},
        {"clear-errors", "extra"},
        {"save-flash", "extra"},
        {"model", "extra"},
        {"fuel", "diesel"},
        {"fuel", "gas", "petrol"},
        {"get", "NoSuchField"},
        {"set", "SwitchRpm"},
        {"save-params"},
        {"save-params", "a.var", "b.var"},
        {"load-params", "--partial"},
        {"write-model", "--press", "up=1"},
        {"map", "--clear", "diesel"},
        {"fit", "extra"},
        {"calibrate", "--quick"},
        {"upgrade", "--backup"},
        {"diff"},
        {"diff", "a.var", "b.var", "c.var"},
    };
    Installation inst;
    auto ecu = NewEcu();
    ecu->Failures().deaf = 1;
    int requests = 0;
    ecu->SetRequestObserver([&](uint8_t, uint8_t, const char*) { ++requests; });
    for (const QStringList& args : mistakes) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = RunVirtual(QStringList{"--sim", "--timeout", "2"} + args, ecu, inst);
        EXPECT_EQ(r.rc, CLI_USAGE) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("(see gascal-cli --help)")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Looking for the ECU")) << r.err.toStdString();
    }
    EXPECT_EQ(requests, 0);
}

// The error list names its items and states in the dictionary's English
// whatever language the window was left in or --lang asks for.
TEST(CliTable, ErrorsKeepTheirEnglishKeysAfterALanguageSwitch) {
    Installation inst;
    auto ecu = NewEcu();
    ecu->SetFault(sim::ERR_LOW_GAS_PRESSURE, sim::kErrShortOrLow);
    const QString english = "Low gas pressure: present=Pressure too low stored=";
    const Result before = RunVirtual({"--sim", "errors"}, ecu, inst);
    ASSERT_EQ(before.rc, 0) << before.err.toStdString();
    ASSERT_TRUE(before.out.contains(english)) << before.out.toStdString();

    // The window switched to Italian (its choice is kept in LNG/M3.con).
    QFile con(inst.File("LNG/M3.con"));
    ASSERT_TRUE(con.open(QIODevice::WriteOnly | QIODevice::Truncate));
    con.write("1\r\n");
    con.close();
    for (const QStringList& args :
         {QStringList{"--sim", "errors"}, QStringList{"--sim", "--lang", "1", "errors"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = RunVirtual(args, ecu, inst);
        ASSERT_EQ(r.rc, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, before.out);
    }
}

// The calibration's instructions and the simulated fitter's tasks meet in
// one mapping (sim/core/SimFitter.h), by the instructions' numbers.
TEST(CliTable, EveryCalibrationInstructionIsTheFittersTask) {
    const std::vector<std::pair<CalInstruction, sim::FitterTask>> rows{
        {CalInstruction::None, sim::FitterTask::None},
        {CalInstruction::WarmUp, sim::FitterTask::WarmUp},
        {CalInstruction::Idle, sim::FitterTask::Idle},
        {CalInstruction::RaisedSpeed, sim::FitterTask::RaisedSpeed},
    };
    for (const auto& [instruction, task] : rows)
        EXPECT_EQ(sim::TaskForInstruction(static_cast<int>(instruction)), task)
            << static_cast<int>(instruction);
    EXPECT_EQ(sim::TaskForInstruction(4), sim::FitterTask::None);
    EXPECT_EQ(sim::TaskForInstruction(-1), sim::FitterTask::None);
}

// A cold car: the calibration waits for the reducer, and the command line
// says what the wait is for instead of the screen's bare "20,00 < 50,00".
TEST(CliTable, ACalibrationOnAColdCarSaysWhatItWaitsFor) {
    Installation inst;
    sim::SimOptions o;
    o.key = o.engineRunning = true;
    o.warm = false;
    const Result r = RunVirtual({"--sim", "calibrate", "--yes"}, NewEcu(o), inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("\nlet the engine warm up: gas temperature above "))
        << r.err.toStdString();
    const QRegularExpression bareReading(QStringLiteral("^[0-9.,-]+ < [0-9.,-]+$"));
    for (const QString& l : r.err.split('\n'))
        EXPECT_FALSE(l.contains(bareReading)) << l.toStdString();
}

// A result held at a limit of the configuration (smallest ALFA 1.1 for a
// calibration that keeps ALFA at 1):
// the command line asks whether to keep it in its own words, not with the
// window's Yes and Esc.
TEST(CliTable, AResultAtALimitIsAskedAboutAtTheCommandLine) {
    Installation inst;
    QFile scale(inst.File("LNG/ConfigScale.ini"));
    ASSERT_TRUE(scale.open(QIODevice::ReadOnly));
    QByteArray text = scale.readAll();
    scale.close();
    ASSERT_TRUE(text.contains("32 smallest ALFA (/1000)\n750\n"));
    text.replace("32 smallest ALFA (/1000)\n750\n", "32 smallest ALFA (/1000)\n1100\n");
    ASSERT_TRUE(scale.open(QIODevice::WriteOnly | QIODevice::Truncate));
    scale.write(text);
    scale.close();

    sim::SimOptions o;
    o.key = o.engineRunning = o.warm = true;
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    prompts.answers = {BoxResult::Yes, BoxResult::Yes, BoxResult::Yes};
    const Result r = RunVirtual({"--sim", "calibrate"}, NewEcu(o), inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("result: state 21, limit: smallest ALFA")) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("\nCalibration finished, but a limit was applied (smallest ALFA"))
        << r.err.toStdString();
    ASSERT_EQ(prompts.shown.size(), 3u);
    EXPECT_TRUE(prompts.shown[1].text.contains("Keep the result?"))
        << prompts.shown[1].text.toStdString();
    for (const auto& box : prompts.shown)
        EXPECT_FALSE(box.text.contains("Esc")) << box.text.toStdString();
    EXPECT_FALSE(r.err.contains("Esc")) << r.err.toStdString();
}
