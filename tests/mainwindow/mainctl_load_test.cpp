// Loading a configuration from the window against the simulated ECU, in
// virtual time: with the link stopped before or during the load, on an ECU
// without block 5, and on a car running on gas whose first attempt fails.
#include <gtest/gtest.h>

#include <QFile>
#include <functional>

#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "link/core/CommandTable.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// A parameter file made from the session's image with its own switchover
// speed, end of the acquisition window and correction table, so that what
// the file brings can be told apart from what the ECU holds.
QString WriteDistinctFile(SimSession& s, const QString& name) {
    ParamImage file = s.image();
    file.SetHost(nullptr);
    file.Mem3Block.SwitchRpm = 1800;
    file.Mem5Block.ShowRpmHigh = 3000;
    for (int k = 0; k < kCorTimeEntries; ++k) file.CorTable[k] = 0.256;
    const QString path = s.root + "/" + name;
    EXPECT_TRUE(SaveParamFile(path, file, SimSession::ShippedVersionNum(), "test"));
    return path;
}

void GoOffline(SimSession& s) {
    s.ctl().MnuDevOffline_Click();
    ASSERT_TRUE(s.RunUntil([&] { return s.comm().ComState() == ComState::Stopped; }, 2));
    s.RunFor(0.1);
}

}  // namespace

TEST(MainCtlLoad, WithTheLinkStoppedTheFilesTableIsKeptAndSaved) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const QString file = WriteDistinctFile(s, "car.var");
    GoOffline(s);
    s.cycle().LoadConfigFileLater(file);
    s.RunFor(0.5);
    EXPECT_TRUE(s.cycle().ConfigFileToLoad().isEmpty());
    EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 1800, 2);
    EXPECT_DOUBLE_EQ(s.image().CorTable[10], 0.256);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), 0u);

    // "Save configuration" writes what was loaded, table included.
    const QString out = s.root + "/saved.var";
    s.prompts.files.push_back(out);
    s.ctl().MnuFileSaveConf_Click();
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(out, lines));
    const int cor = lines.indexOf("[COR]");
    ASSERT_GE(cor, 0);
    EXPECT_EQ(ParseReal(lines.value(cor + 1 + 10)).value_or(-1), 0.256);
}

TEST(MainCtlLoad, AnEcuWithoutBlock5KeepsItsOwnWhetherTheLinkRunsOrNot) {
    for (const bool offline : {false, true}) {
        SCOPED_TRACE(offline ? "link stopped" : "link running");
        SimSession s;
        ASSERT_TRUE(s.StartAndGoOnline());
        const QString file = WriteDistinctFile(s, "car.var");
        const int ecuShowHigh = s.image().Mem5Block.ShowRpmHigh;
        ASSERT_NE(ecuShowHigh, 3000);
        // From here on the link reports firmware 132: no writable block 5.
        const QString identity = s.comm().FirmwareEcu();
        s.comm().SetFirmwareEcu(QStringLiteral("0132") + identity.mid(4));
        if (offline) GoOffline(s);
        s.cycle().LoadConfigFileLater(file);
        ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 30));
        EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 1800, 2);
        EXPECT_EQ(s.image().Mem5Block.ShowRpmHigh, ecuShowHigh);
        EXPECT_EQ(s.Sent(CMD_WRT_MEM5), 0u);
    }
}

TEST(MainCtlLoad, ALinkStoppedDuringTheLoadLeavesTheRestOfTheFileInTheImage) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const QString file = WriteDistinctFile(s, "car.var");
    // The fitter goes offline while block 2 of the file is on its way.
    s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (cmd == CMD_WRT_MEM2) s.ctl().MnuDevOffline_Click();
    });
    s.cycle().LoadConfigFileLater(file);
    ASSERT_TRUE(s.RunUntil([&] { return s.comm().ComState() == ComState::Stopped; }, 30));
    s.RunFor(1);
    EXPECT_TRUE(s.cycle().ConfigFileToLoad().isEmpty());
    EXPECT_FALSE(s.cycle().LoadingConfig());
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), 0u);  // nothing more was sent
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 800, 2);
    // The file's block 3 and table are in the image, not the ECU's.
    EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 1800, 2);
    EXPECT_EQ(s.image().Mem5Block.ShowRpmHigh, 3000);
    EXPECT_DOUBLE_EQ(s.image().CorTable[10], 0.256);
}

// A car found on gas is switched to petrol for the load; when the first
// attempt fails, the retry still brings it back to gas and to running on
// its own once the configuration is saved.
TEST(MainCtlLoad, ACarOnGasEndsOnGasInRunningModeAfterARetriedLoad) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
    ASSERT_EQ(s.ecu->Mode(), sim::EcuMode::Run);
    const QString file = WriteDistinctFile(s, "car.var");

    // The first attempt fails at the table read-back: the ECU rejects every
    // request from the end of the table write until the read is given up.
    int tableChunks = 0, rejected = 0;
    bool failing = false, failedOnce = false;
    s.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t status, const char*) {
        if (failedOnce) return;
        if (cmd == CMD_WRT_TBL_COR && ++tableChunks == 4) {
            failing = true;
            s.ecu->Failures().status254 = 1.0;
        } else if (failing && status == 254 && ++rejected == 11) {
            failedOnce = true;
            s.ecu->Failures().status254 = 0;
        }
    });
    s.cycle().LoadConfigFileLater(file);
    ASSERT_TRUE(s.RunUntil([&] { return failedOnce; }, 60));
    ASSERT_FALSE(s.cycle().ConfigFileToLoad().isEmpty());  // tried again later
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 60));
    EXPECT_NEAR(s.ecu->Saved().SwitchRpm(), 1800, 2);
    ASSERT_TRUE(s.RunUntil([&] { return s.ecu->OnGas(); }, 30));
    EXPECT_EQ(s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_FALSE(s.cycle().ConfigLoader().FuelToggled());
}

// A car found on gas is switched to petrol only for the load: the
// configuration saved with the file keeps gas as the car's fuel, so the car
// runs on gas again after its next reset.
TEST(MainCtlLoad, TheSavedConfigurationKeepsGasAfterALoadOnACarRunningOnGas) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
    const QString file = WriteDistinctFile(s, "car.var");
    s.cycle().LoadConfigFileLater(file);
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 60));
    ASSERT_NEAR(s.ecu->Saved().SwitchRpm(), 1800, 2);
    EXPECT_FALSE(s.cycle().ConfigLoader().FuelToggled());
    EXPECT_EQ(s.ecu->Saved().WorkMode(), 3);

    s.ecu->Reset(s.ev.MicroSeconds());
    EXPECT_TRUE(s.RunUntil([&] { return s.ecu->OnGas(); }, 60));
    EXPECT_EQ(s.ecu->Mode(), sim::EcuMode::Run);
}

// "Load configuration" checks the chosen file first: something that is no
// parameter file and values the ECU cannot hold are refused with a box; a
// partial file (a section missing, "[COR]" cut short, a line that cannot
// be read) is named and loaded only when the fitter answers Yes.
TEST(MainCtlLoad, AChosenFileIsCheckedBeforeItIsLoaded) {
    struct Case {
        const char* name;
        std::function<QByteArray(const QByteArray& whole)> make;
        bool asks;  // false: refused
        const char* says;
    };
    auto tableLine = [](QByteArray file, int k, const QByteArray& value) {
        QList<QByteArray> lines = file.split('\n');
        lines[lines.indexOf("[COR]\r") + 1 + k] = value + "\r";
        return lines.join('\n');
    };
    const Case cases[] = {
        {"empty", [](const QByteArray&) { return QByteArray(); }, false, "not a parameter file"},
        {"hello", [](const QByteArray&) { return QByteArray("hello\r\n"); }, false,
         "not a parameter file"},
        {"entry 99999", [&](const QByteArray& w) { return tableLine(w, 30, " 99999"); }, false,
         "entry 30 (ms) = 99999 is outside"},
        {"cut short", [](const QByteArray& w) { return w.left(900); }, true, "[COR] entries"},
        {"malformed entry", [&](const QByteArray& w) { return tableLine(w, 20, " 0,2x"); }, true,
         "[COR] value 20 is not a number"},
    };
    for (const Case& c : cases) {
        for (const BoxResult answer : {BoxResult::No, BoxResult::Yes}) {
            SCOPED_TRACE(std::string(c.name) + (answer == BoxResult::Yes ? " Yes" : " No"));
            SimSession s;
            ASSERT_TRUE(s.StartAndGoOnline());
            QFile whole(WriteDistinctFile(s, "whole.var"));
            ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
            const QString path = s.root + "/test.var";
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.make(whole.readAll()));
            f.close();
            s.prompts.files.push_back(path);
            s.prompts.answers.push_back(answer);
            const size_t shownBefore = s.prompts.shown.size();
            s.ctl().MnuFileLoadConf_Click();
            ASSERT_EQ(s.prompts.shown.size(), shownBefore + 1);
            const auto& box = s.prompts.shown.back();
            EXPECT_TRUE(box.text.contains(c.says)) << box.text.toStdString();
            EXPECT_EQ(box.buttons, c.asks ? BoxButtons::YesNo : BoxButtons::Ok);
            const bool loads = c.asks && answer == BoxResult::Yes;
            EXPECT_EQ(s.cycle().ConfigFileToLoad(), loads ? path : QString());
            s.RunFor(1);
            if (!loads) {
                EXPECT_EQ(s.Sent(CMD_WRT_MEM3), 0u);
            }
        }
    }
}
