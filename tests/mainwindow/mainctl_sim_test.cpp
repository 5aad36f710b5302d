// The main controller against the simulated ECU, in virtual time.
#include <gtest/gtest.h>

#include <QFile>

#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "ecu/RequestBridge.h"
#include "link/core/CommandTable.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {
int IndexOf(const EntryList& l, double v) {
    for (size_t i = 0; i < l.size(); ++i)
        if (l[i].value == v) return static_cast<int>(i);
    return -1;
}
}  // namespace

TEST(MainCtlSim, ConnectsReadsEveryBlockInOrderThenRefreshes) {
    SimSession s;
    int refreshesBeforeMem1 = -1;
    s.sched().OnResult([&](Request r, bool) {
        if (r == Request::ReadMem1 && refreshesBeforeMem1 < 0)
            refreshesBeforeMem1 = s.cycle().FirstRefreshCount();
    });
    ASSERT_TRUE(s.StartAndGoOnline());
    // The search found the simulator on the USB slot and remembered it.
    EXPECT_TRUE(QFile::exists(s.root + "/BIN/SetCom.ini"));
    EXPECT_EQ(s.comm().FlagRicercaCom(), SEARCH_OFF);
    // The firmware file is newer than the ECU's (same version): the upgrade
    // was offered, and the not-yet-available window said so.
    EXPECT_TRUE(s.prompts.AnyContains("firmware upgrade"));

    ASSERT_GE(s.requests.size(), 6u);
    const std::vector<Request> expected{Request::ReadCor,  Request::ReadMem3, Request::ReadDcol,
                                        Request::ReadMem5, Request::ReadMem2, Request::ReadMem1};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(s.requests[i].what, expected[i]) << "request " << i;
        EXPECT_TRUE(s.requests[i].ok) << "request " << i;
        if (i > 0) {
            EXPECT_EQ(s.requests[i].tick - s.requests[i - 1].tick, 2u) << "request " << i;
        }
    }
    EXPECT_EQ(refreshesBeforeMem1, 0);
    EXPECT_EQ(s.cycle().FirstRefreshCount(), 1);
    // The image holds what the ECU has: 4 cylinders, switchover at 800 rpm.
    EXPECT_EQ(s.image().Mem3Block.NumCylinders, 4);
    EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 800, 1);
}

TEST(MainCtlSim, LiveValuesReachTheDisplay) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.RunFor(3);
    const LiveDisplay& d = s.live().Display();
    const int rpm = d.ShownRpm();
    EXPECT_GT(rpm, 500);
    EXPECT_LT(rpm, 1500);
    EXPECT_EQ(d.rpmText.size(), 4);
    EXPECT_NE(d.injTimePetText, "");
    EXPECT_GT(d.SmoothedPetrol(0), 0.5);
    EXPECT_TRUE(d.boxes.key);
}

TEST(MainCtlSim, TwoChangesInOneSlotGiveOneReadAndOneWrite) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const int rpm2000 = IndexOf(s.settings().Lists().rpm, 2000);
    const int force60 = IndexOf(s.settings().Lists().force, 60);
    ASSERT_GE(rpm2000, 0);
    ASSERT_GE(force60, 0);
    const uint64_t writesBefore = s.Sent(CMD_WRT_MEM3);
    s.requests.clear();
    s.settings().CmbSwtchRpm_Click(rpm2000);
    s.settings().CmbSwtchForce_Click(force60);
    ASSERT_TRUE(s.RunUntil([&] { return s.Sent(CMD_WRT_MEM3) > writesBefore; }, 5));
    s.RunFor(2);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), writesBefore + 1);
    // Before the write exactly one read of block 3, and it succeeded.
    int readsBefore = 0;
    bool lastReadOk = false;
    for (const auto& r : s.requests) {
        if (r.what == Request::WriteMem3) break;
        if (r.what == Request::ReadMem3) {
            ++readsBefore;
            lastReadOk = r.ok;
        }
    }
    EXPECT_EQ(readsBefore, 1);
    EXPECT_TRUE(lastReadOk);
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 2000, 2);
    EXPECT_NEAR(s.ecu->Working().ForceTimeSec(), 60, 0.1);
}

TEST(MainCtlSim, AWriteWaitsForItsReadToSucceed) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.requests.clear();
    s.ecu->Failures().lose = 1.0;  // the ECU stops answering
    s.settings().CmbSwtchRpm_Click(IndexOf(s.settings().Lists().rpm, 1600));
    s.RunFor(60);
    EXPECT_FALSE(s.cycle().Online());  // the link gave up and reconnects
    for (const auto& r : s.requests) EXPECT_NE(r.what, Request::WriteMem3);
    s.ecu->Failures().lose = 0;
    ASSERT_TRUE(s.RunUntil([&] { return s.Sent(CMD_WRT_MEM3) > 0; }, 60));
    bool readOk = false;
    for (const auto& r : s.requests) {
        if (r.what == Request::ReadMem3 && r.ok) readOk = true;
        if (r.what == Request::WriteMem3) {
            EXPECT_TRUE(readOk) << "block 3 written before a fresh read";
            break;
        }
    }
    s.RunFor(2);
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 1600, 2);
}

TEST(MainCtlSim, Block5IsNotPolledFromFirmware132) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    // From here on the link reports an ECU of firmware 132 (the identity the
    // link read is replaced; the scheduler decides by the version number).
    const QString identity = s.comm().FirmwareEcu();
    s.comm().SetFirmwareEcu(QStringLiteral("0132") + identity.mid(4));
    ASSERT_EQ(s.comm().FirmwareEcuVersNum(), 132);
    const uint64_t before = s.Sent(CMD_READ_MEM5);
    const uint64_t mem3Before = s.Sent(CMD_READ_MEM3);
    s.settings().CmbSwtchSeq_Click(0);  // a block-5 edit is not written either
    s.RunFor(60);
    EXPECT_EQ(s.Sent(CMD_READ_MEM5), before);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM5), 0u);
    EXPECT_GT(s.Sent(CMD_READ_MEM3), mem3Before + 5);

    // The same minute with the real identity polls block 5.
    s.comm().SetFirmwareEcu(identity);
    s.RunFor(60);
    EXPECT_GT(s.Sent(CMD_READ_MEM5), before + 5);
}

TEST(MainCtlSim, OfflineMidEditAppliesTheEditWithoutSending) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const double ecuRpm = s.ecu->Working().SwitchRpm();
    s.settings().CmbSwtchRpm_Click(IndexOf(s.settings().Lists().rpm, 2400));
    s.ctl().MnuDevOffline_Click();
    s.RunFor(2);
    EXPECT_EQ(s.comm().ComState(), ComState::Stopped);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM3), 0u);
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), ecuRpm, 1);
    EXPECT_EQ(s.image().Mem3Block.SwitchRpm, 2400);
    EXPECT_LT(s.image().PendingEdits.Mem3Block.SwitchRpm, 0);  // edits reset
    EXPECT_EQ(s.sched().Delays().DelayWriteMem3, 0);
    EXPECT_EQ(s.ctl().ComStatusCell().text, "COM STOP");
}

TEST(MainCtlSim, LoadingAFileOnGasTogglesToPetrolAndBack) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
    // A parameter file with another switchover speed.
    s.image().PendingEdits.Mem3Block.SwitchRpm = 1800;
    const QString file = s.root + "/car.var";
    ASSERT_TRUE(SaveParamFile(file, s.image(), SimSession::ShippedVersionNum(), "test"));
    s.image().Mem3Block.SwitchRpm = 800;

    const uint64_t slave = s.Sent(CMD_SET_ECU_SLAVE), mem2 = s.Sent(CMD_WRT_MEM2);
    s.cycle().LoadConfigFileLater(file);
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 60));
    EXPECT_EQ(s.Sent(CMD_SET_ECU_SLAVE), slave + 1);
    // Petrol, the file's own block 2, gas again.
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), mem2 + 3);
    EXPECT_GE(s.Sent(CMD_SAVE_FLASH), 1u);
    EXPECT_NEAR(s.ecu->Saved().SwitchRpm(), 1800, 2);
    ASSERT_TRUE(s.RunUntil([&] { return s.ecu->OnGas(); }, 30));
    EXPECT_EQ(s.ecu->Mode(), sim::EcuMode::Run);  // back to running on its own
    EXPECT_TRUE(s.cycle().PollTimer().Enabled());
}

TEST(MainCtlSim, AParameterFileGoneBeforeItsLoadIsReportedOnceAndTheCarStaysOnGas) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.rpm = 2000;
    SimSession s(o);
    ASSERT_TRUE(s.StartAndGoOnline());
    ASSERT_TRUE(s.RunUntil([&] { return s.image().Mem2Block.Mem2Byte1 == 3; }, 60));
    const uint64_t slave = s.Sent(CMD_SET_ECU_SLAVE), mem2 = s.Sent(CMD_WRT_MEM2);
    s.prompts.shown.clear();
    const QString file = s.root + "/gone.var";
    s.cycle().LoadConfigFileLater(file);
    s.RunFor(5);
    EXPECT_TRUE(s.cycle().ConfigFileToLoad().isEmpty());
    EXPECT_FALSE(s.cycle().LoadingConfig());
    ASSERT_EQ(s.prompts.shown.size(), 1u);
    EXPECT_TRUE(s.prompts.shown[0].text.contains("LoadConfigFile_Err"));
    EXPECT_TRUE(s.prompts.shown[0].text.contains(file));
    // The ECU was not touched: no slave mode, no fuel toggle, still on gas.
    EXPECT_EQ(s.Sent(CMD_SET_ECU_SLAVE), slave);
    EXPECT_EQ(s.Sent(CMD_WRT_MEM2), mem2);
    EXPECT_TRUE(s.ecu->OnGas());
    EXPECT_EQ(s.ecu->Mode(), sim::EcuMode::Run);
    EXPECT_TRUE(s.cycle().PollTimer().Enabled());
}

TEST(MainCtlSim, FirmwareCheckOutcomes) {
    {  // Missing firmware file: error box and the window closes.
        SimSession s;
        QFile::remove(s.root + "/BIN/TeluroInj468.frh");
        s.Start();
        ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unloaded(); }, 5));
        EXPECT_TRUE(s.prompts.AnyContains("TeluroInj468.frh"));
        EXPECT_FALSE(s.cycle().Online());
    }
    {  // Same version and date: online without a word.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.firmwareDate = SimSession::ShippedDate();
        SimSession s(o, true);
        ASSERT_TRUE(s.StartAndGoOnline());
        EXPECT_EQ(s.features.upgrades, 0);
        EXPECT_TRUE(s.prompts.shown.empty());
    }
    {  // Newer file date: the upgrade is offered, then online.
        SimSession s(SimSession::DefaultOptions(), true);
        ASSERT_TRUE(s.StartAndGoOnline());
        EXPECT_EQ(s.features.offered, 1);
    }
    {  // Older ECU: the upgrade is needed; declined, the window closes.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.firmwareVersion = SimSession::VersionBeside(-1);
        SimSession s(o, true);
        s.Start();
        ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unloaded(); }, 30));
        EXPECT_EQ(s.features.upgrades, 1);
        EXPECT_EQ(s.features.offered, 0);
    }
    {  // Newer ECU: error box with both firmwares, the window closes.
        sim::SimOptions o = SimSession::DefaultOptions();
        o.firmwareVersion = SimSession::VersionBeside(+10);
        SimSession s(o, true);
        s.Start();
        ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unloaded(); }, 30));
        ASSERT_FALSE(s.prompts.shown.empty());
        EXPECT_TRUE(s.prompts.shown.back().text.contains(" Software ver. 01.01.05"));
        const QString ecuVersion = "01.00." + SimSession::VersionBeside(+10).right(2);
        const QString fileVersion = "01.00." + SimSession::ShippedVersion().right(2);
        EXPECT_TRUE(s.prompts.shown.back().text.contains(ecuVersion));
        EXPECT_TRUE(s.prompts.shown.back().text.contains(fileVersion));
        EXPECT_EQ(s.features.upgrades, 0);
    }
}

// An incompatible ECU keeps the link reconnecting; the box comes once the
// count of failed identifications has passed 21, that is on the 22nd.
TEST(MainCtlSim, IncompatibleEcuReconnectsAndComplainsOnceTheCountPassed21) {
    sim::SimOptions o = SimSession::DefaultOptions();
    o.descriptor = QStringLiteral("KT540 OTHER INJ999").leftJustified(32, ' ');
    SimSession s(o, true);
    s.Start();
    ASSERT_TRUE(s.RunUntil([&] { return !s.prompts.shown.empty(); }, 600));
    EXPECT_EQ(s.Sent(CMD_READ_FIRMWARE), 22u);
    EXPECT_FALSE(s.cycle().Online());
    EXPECT_EQ(s.prompts.shown.size(), 1u);
    EXPECT_TRUE(s.prompts.shown[0].text.contains("INJ999"));
    EXPECT_TRUE(s.prompts.shown[0].text.contains("INJ468"));
    EXPECT_EQ(s.cycle().ConnectAttempts(), 0);
    EXPECT_FALSE(s.cycle().CloseRequested());
}

TEST(MainCtlSim, OfflineThenUsbReconnectsAndRemembersThePort) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.ctl().MnuDevOffline_Click();
    s.RunFor(2);
    EXPECT_EQ(s.ctl().ComStatusCell().text, "COM STOP");
    EXPECT_TRUE(s.ctl().OfflineMode());
    EXPECT_EQ(s.tool().Supervisor().PortaDiComSelected(), PORT_ITEMS);  // no port item ticked
    EXPECT_TRUE(s.tool().Supervisor().OfflineTicked());

    s.ctl().MnuDevCom_Click(0);
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().Online(); }, 30));
    EXPECT_FALSE(s.ctl().OfflineMode());
    EXPECT_EQ(s.tool().Supervisor().PortaDiComSelected(), 0);
    EXPECT_FALSE(s.tool().Supervisor().OfflineTicked());
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(s.root + "/BIN/SetCom.ini", lines));
    EXPECT_EQ(lines.value(lines.indexOf("[UsbCom]") + 1), "1");
    EXPECT_EQ(lines.value(lines.indexOf("[SearchCom]") + 1), "255");
}

TEST(MainCtlSim, AFailedWriteIsRetriedOnlyAfterAFreshRead) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    s.requests.clear();
    // The ECU stops answering right after the read that precedes the write,
    // so the write itself fails; it answers again once that failure is seen.
    bool writeFailed = false;
    s.sched().OnResult([&](Request r, bool ok) {
        if (r == Request::ReadMem3 && ok && s.sched().Pending(Request::WriteMem3) && !writeFailed)
            s.ecu->Failures().lose = 1.0;
        if (r == Request::WriteMem3 && !ok) {
            writeFailed = true;
            s.ecu->Failures().lose = 0;
        }
    });
    s.settings().CmbSwtchRpm_Click(IndexOf(s.settings().Lists().rpm, 1400));
    ASSERT_TRUE(s.RunUntil([&] { return writeFailed; }, 120));
    // The failed write leaves both flags: the block is read again first.
    EXPECT_TRUE(s.sched().Pending(Request::WriteMem3));
    EXPECT_TRUE(s.sched().Pending(Request::ReadMem3));
    ASSERT_TRUE(s.RunUntil(
        [&] { return s.Sent(CMD_WRT_MEM3) > 0 && !s.sched().Pending(Request::WriteMem3); }, 120));
    bool afterFailure = false, freshRead = false, written = false;
    for (const auto& r : s.requests) {
        if (r.what == Request::WriteMem3 && !r.ok) {
            afterFailure = true;
            continue;
        }
        if (!afterFailure) continue;
        if (r.what == Request::ReadMem3 && r.ok) freshRead = true;
        if (r.what == Request::WriteMem3 && r.ok) {
            EXPECT_TRUE(freshRead) << "block 3 rewritten without a fresh read after a failed write";
            written = true;
            break;
        }
    }
    EXPECT_TRUE(written);
    s.RunFor(2);
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 1400, 2);
}

// An edit stays pending until the ECU has taken the write that carried it:
// a write the ECU rejects, or never receives, is sent again with the edit
// after the fresh read, instead of writing back what the ECU held.
TEST(MainCtlSim, AnEditSurvivesAWriteTheEcuRejectsOrNeverSees) {
    struct Case {
        const char* name;
        double sim::FailureSettings::*failure;
    };
    for (const Case c : {Case{"rejected (status 254)", &sim::FailureSettings::status254},
                         Case{"rejected (status 255)", &sim::FailureSettings::status255},
                         Case{"never received", &sim::FailureSettings::deaf}}) {
        SCOPED_TRACE(c.name);
        SimSession s;
        ASSERT_TRUE(s.StartAndGoOnline());
        ASSERT_NEAR(s.ecu->Working().SwitchRpm(), 800, 2);
        bool writeFailed = false;
        // The failure starts with the write itself (after its fresh read) and
        // ends once the tool has given that write up.
        s.sched().OnResult([&](Request r, bool ok) {
            if (r == Request::ReadMem3 && ok && s.sched().Pending(Request::WriteMem3) &&
                !writeFailed)
                s.ecu->Failures().*c.failure = 1.0;
            if (r == Request::WriteMem3 && !ok) {
                writeFailed = true;
                s.ecu->Failures().*c.failure = 0;
            }
        });
        s.settings().CmbSwtchRpm_Click(IndexOf(s.settings().Lists().rpm, 1400));
        ASSERT_TRUE(s.RunUntil([&] { return writeFailed; }, 120));
        EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 800, 2);  // the ECU did not take it
        EXPECT_DOUBLE_EQ(s.image().PendingEdits.Mem3Block.SwitchRpm, 1400);
        ASSERT_TRUE(s.RunUntil([&] { return !s.sched().Pending(Request::WriteMem3); }, 120));
        s.RunFor(2);
        EXPECT_NEAR(s.ecu->Working().SwitchRpm(), 1400, 2);
        EXPECT_NEAR(s.image().Mem3Block.SwitchRpm, 1400, 2);
        EXPECT_LT(s.image().PendingEdits.Mem3Block.SwitchRpm, 0);  // done now
    }
}

// A firmware file or flash table that is there but cannot be used is said
// once, naming the bad line, and the window closes as with a missing file,
// instead of asking the ECU for its identity for ever.
TEST(MainCtlSim, ADamagedFirmwareFileOrFlashTableIsToldOnceAndTheWindowCloses) {
    struct Case {
        const char* file;
        int line;  // 1-based line to damage
        const char* named;
    };
    for (const Case c :
         {Case{"BIN/TeluroInj468.frh", 3, "line 3"}, Case{"BIN/Flash.ini", 1, "line 1"}}) {
        SCOPED_TRACE(c.file);
        SimSession s;
        QStringList lines;
        ASSERT_TRUE(ReadLatin1Lines(s.root + "/" + c.file, lines));
        ASSERT_GE(lines.size(), c.line);
        QString& bad = lines[c.line - 1];
        bad[3] = QLatin1Char('X');  // not a digit in either file
        ASSERT_TRUE(WriteLatin1Lines(s.root + "/" + c.file, lines));
        s.Start();
        ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unloaded(); }, 20));
        ASSERT_EQ(s.prompts.shown.size(), 1u) << s.prompts.Texts().join(" | ").toStdString();
        EXPECT_EQ(s.prompts.shown[0].title, " Firmware ");
        EXPECT_TRUE(s.prompts.shown[0].text.contains("TeluroInj468.frh"));
        EXPECT_TRUE(s.prompts.shown[0].text.contains(c.named))
            << s.prompts.shown[0].text.toStdString();
        EXPECT_LE(s.Sent(CMD_READ_FIRMWARE), 2u);
        EXPECT_FALSE(s.cycle().Online());
    }
}

// The ECU's acknowledgement of a sample clear empties the tool's store of
// that fuel's samples too; the other fuel's stay.
TEST(MainCtlSim, ASampleClearEmptiesThatFuelsSamplesInTheTool) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    const RequestBridge& r = s.tool().Requests();
    const auto stored = [&r](SampleAnswer a) { return !r.Samples(a).isEmpty(); };
    s.sched().Post(Request::ReadSmplBnz);
    s.sched().Post(Request::ReadSmplGas);
    ASSERT_TRUE(
        s.RunUntil([&] { return stored(SampleAnswer::Petrol) && stored(SampleAnswer::Gas1); }, 10));
    s.sched().Post(Request::CancSmplBnz);
    ASSERT_TRUE(s.RunUntil([&] { return !s.sched().Pending(Request::CancSmplBnz); }, 10));
    EXPECT_EQ(s.Sent(CMD_CANC_SMPL_BNZ), 1u);
    EXPECT_FALSE(stored(SampleAnswer::Petrol));
    EXPECT_FALSE(stored(SampleAnswer::Petrol1));
    EXPECT_TRUE(stored(SampleAnswer::Gas));
    EXPECT_TRUE(stored(SampleAnswer::Gas1));
}
