// gascal-cli's line model and injection map commands against the simulated
// ECU, in process on the virtual clock: `model`, `write-model` and `map`.
#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "ecu/LineModel.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimEngine.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

uint64_t Sent(const sim::SimEcu& ecu, uint8_t command) {
    const auto& m = ecu.Counters().perCommand;
    const auto it = m.find(command);
    return it == m.end() ? 0 : it->second;
}

QStringList Lines(const QString& out) {
    return out.split('\n', Qt::SkipEmptyParts);
}

const QStringList kFactoryModel{"ALFA=1.000",       "OFFSET=0.000",     "P0=0.000;0.000",
                                "P1=3.840;3.840",   "P2=8.064;8.064",   "P3=12.032;12.032",
                                "P4=16.000;16.000", "P5=20.096;20.096", "P6=23.680;23.680"};

}  // namespace

TEST(CliModel, ModelPrintsTheLineRebuiltFromTheEcusTable) {
    Installation inst;
    auto ecu = NewEcu();
    const Result r = RunVirtual({"--sim", "model"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(Lines(r.out), kFactoryModel);
    EXPECT_EQ(Sent(*ecu, CMD_WRT_TBL_COR), 0u);
}

TEST(CliModel, WriteModelPressesAsTheButtonsDoAndWritesTheTableOnce) {
    Installation inst;
    auto ecu = NewEcu();
    // Point 2 up five steps and three steps to a longer petrol time, the
    // slope up ten steps; point 0 and point 5 sideways are ignored, as the
    // window's buttons ignore them.
    const Result r =
        RunVirtual({"--sim", "write-model", "--press", "up:2=5", "--press", "left:2=3", "--press",
                    "alfa-up=10", "--press", "up:0=3", "--press", "LEFT:5=2"},
                   ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(Sent(*ecu, CMD_WRT_TBL_COR), 4u);  // one table: four chunks
    const QStringList lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 9);
    EXPECT_EQ(lines[0], "ALFA=1.100");
    EXPECT_EQ(lines[1], "OFFSET=0.000");
    EXPECT_EQ(lines[2], "P0=0.000;0.000");
    EXPECT_EQ(lines[3], "P1=3.840;4.224");  // 1.1 × 3.84
    // 1.1 × 8.448 + 0.52 = 9.8128; the ECU keeps corrections in 8 us counts.
    EXPECT_EQ(lines[4], "P2=8.448;9.816");
    EXPECT_EQ(lines[7], "P5=20.096;22.104");
    EXPECT_EQ(lines[8], "P6=23.680;23.680");
    EXPECT_EQ(ecu->Working().TableEntry(kCorEntryFirstBreak + 2), 66);  // point 2 at entry 66
    EXPECT_EQ(ecu->Working().TableEntry(kCorEntryAlfa), 1100);

    // `model` reads back what write-model printed.
    const Result m = RunVirtual({"--sim", "model"}, ecu, inst);
    ASSERT_EQ(m.rc, 0);
    EXPECT_EQ(Lines(m.out), lines);

    // Without an edit nothing is written.
    const Result none = RunVirtual({"--sim", "write-model"}, ecu, inst);
    ASSERT_EQ(none.rc, 0);
    EXPECT_EQ(Lines(none.out), lines);
    EXPECT_EQ(Sent(*ecu, CMD_WRT_TBL_COR), 4u);

    // Points back on the line at their nominal places, slope kept; then the
    // whole model reset.
    const Result line = RunVirtual({"--sim", "write-model", "--reset-line"}, ecu, inst);
    ASSERT_EQ(line.rc, 0) << line.err.toStdString();
    // 1.1 × 8.064 = 8.8704: a correction of 0.806 ms, 101 counts of 8 us.
    EXPECT_TRUE(Lines(line.out).contains("P2=8.064;8.872")) << line.out.toStdString();
    EXPECT_EQ(Lines(line.out)[0], "ALFA=1.100");
    const Result reset =
        RunVirtual({"--sim", "write-model", "--reset", "--press", "offset-up=5"}, ecu, inst);
    ASSERT_EQ(reset.rc, 0);
    EXPECT_EQ(Lines(reset.out)[0], "ALFA=1.000");
    EXPECT_EQ(Lines(reset.out)[1], "OFFSET=0.520");
    EXPECT_EQ(Lines(reset.out)[4], "P2=8.064;8.584");
    EXPECT_EQ(Sent(*ecu, CMD_WRT_TBL_COR), 12u);
}

TEST(CliModel, BadPressesAreUsageErrorsAndNothingIsSent) {
    Installation inst;
    const QStringList bad[] = {
        {"write-model", "--press", "up=3"},          // a point button needs its point
        {"write-model", "--press", "alfa-up:1=2"},   // a line button takes none
        {"write-model", "--press", "sideways:1=2"},  // no such button
        {"write-model", "--press", "up:7=1"},        // no point 7
        {"write-model", "--press", "up:1=0"},        // at least one step
        {"write-model", "--press", "up:1=x"},
        {"write-model", "--press"},
        {"write-model", "--reset", "extra"},
        {"map", "--clear", "diesel"},
        {"map", "--clear", "gas", "--file", "x.map"},
        {"map", "extra"},
        {"model", "extra"},
    };
    for (const QStringList& args : bad) {
        auto ecu = NewEcu();
        const Result r = RunVirtual(QStringList{"--sim"} + args, ecu, inst);
        EXPECT_EQ(r.rc, 2) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_EQ(Sent(*ecu, CMD_WRT_TBL_COR), 0u);
        EXPECT_EQ(Sent(*ecu, CMD_CANC_SMPL_GAS), 0u);
    }
    auto ecu = NewEcu();
    EXPECT_EQ(RunVirtual({"--sim", "map", "--file", inst.File("none.map")}, ecu, inst).rc, 4);
    EXPECT_EQ(ecu->Counters().requests, 0u);  // refused before the ECU was looked for
}

// A car driven at two loads on petrol, then on gas: `map` prints both fuels'
// points, the selection and the targets with the ECU's (factory) table,
// which is too lean for the simulated car: every target asks for more gas.
TEST(CliMap, ReadsBothFuelsSavesAndReadsAMapFileAndClears) {
    Installation inst;
    sim::SimOptions o;
    o.key = o.engineRunning = o.warm = true;
    o.rpm = 2400;
    auto ecu = NewEcu(o);
    auto drive = [&](double load, double seconds) {
        ecu->SetLoad(load);
        ecu->AdvanceTo(ecu->Now() + seconds * 1e6);
    };
    ASSERT_EQ(RunVirtual({"--sim", "fuel", "petrol"}, ecu, inst).rc, 0);
    drive(0.3, 12);
    drive(0.7, 12);
    ASSERT_EQ(RunVirtual({"--sim", "fuel", "gas"}, ecu, inst).rc, 0);
    drive(0.7, 12);
    drive(0.3, 12);
    ASSERT_TRUE(ecu->OnGas());

    const Result r = RunVirtual({"--sim", "map"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    const QStringList lines = Lines(r.out);
    int petrol = 0, gas = 0, selected = 0, targets = 0;
    for (const QString& l : lines) {
        const QStringList f = l.split(' ');
        if (f[0] == "mapped") {
            ASSERT_EQ(f.size(), 4) << l.toStdString();
            (f[1] == "petrol" ? petrol : gas) += 1;
            EXPECT_EQ(f[2].toInt() % 20, 0);
        } else if (f[0] == "selected") {
            ++selected;
        } else {
            ASSERT_EQ(f[0], "target") << l.toStdString();
            ASSERT_EQ(f.size(), 3);
            const double h = f[1].toDouble(), g = f[2].toDouble();
            EXPECT_GT(g, h + 0.4) << l.toStdString();
            EXPECT_NEAR(g, sim::SimEngine::TrueGasTimeMs(h), 0.5) << l.toStdString();
            ++targets;
        }
    }
    EXPECT_GE(petrol, 4);
    EXPECT_GE(gas, 4);
    EXPECT_LT(selected, petrol + gas);  // the petrol points of one step merged
    EXPECT_GE(targets, 4);
    EXPECT_TRUE(r.err.contains("2 petrol point(s) with a gas point")) << r.err.toStdString();

    // Saved and read again from the file: the same points, without reading
    // the ECU's samples.
    const QString file = inst.File("car.map");
    const Result saved = RunVirtual({"--sim", "map", "--save", file}, ecu, inst);
    ASSERT_EQ(saved.rc, 0);
    QStringList fileLines;
    ASSERT_TRUE(ReadLatin1Lines(file, fileLines));
    EXPECT_EQ(fileLines.size(), 240);
    const uint64_t reads = Sent(*ecu, CMD_READ_SMPL_BNZ);
    const Result fromFile = RunVirtual({"--sim", "map", "--file", file}, ecu, inst);
    ASSERT_EQ(fromFile.rc, 0) << fromFile.err.toStdString();
    EXPECT_EQ(fromFile.out, saved.out);
    EXPECT_EQ(Sent(*ecu, CMD_READ_SMPL_BNZ), reads);

    // As a table.
    const Result csv = RunVirtual({"--sim", "map", "--file", file, "--csv"}, ecu, inst);
    ASSERT_EQ(csv.rc, 0);
    const QStringList rows = Lines(csv.out);
    EXPECT_EQ(rows[0], "Kind,Fuel,PressureMbar,TimeMs,GasTimeMs");
    EXPECT_EQ(rows.size(), Lines(fromFile.out).size() + 1);
    EXPECT_TRUE(rows[1].startsWith("mapped,petrol,"));
    EXPECT_TRUE(rows.last().startsWith("target,,"));

    // Gas cleared in the ECU: no gas point, no target.
    ecu->SetKey(false);  // nothing new recorded
    const Result cleared = RunVirtual({"--sim", "map", "--clear", "gas"}, ecu, inst);
    ASSERT_EQ(cleared.rc, 0);
    EXPECT_EQ(Sent(*ecu, CMD_CANC_SMPL_GAS), 1u);
    EXPECT_FALSE(cleared.out.contains("gas"));
    EXPECT_FALSE(cleared.out.contains("target"));
    EXPECT_TRUE(cleared.out.contains("mapped petrol"));
    for (const auto& p : ecu->Samples(true)) EXPECT_EQ(p.pressure, 0);
}
