// The firmware upgrade against the simulated ECU, in virtual time: the
// ECU's configuration comes back byte for byte under the new firmware and is
// saved, erased chunks are not sent (they are "%OK" all the same), block 5 of an older firmware
// comes from the default set, an upgrade cut off while writing leaves its backup and is completed
// by a second run, a skipped chunk never reports success, and the window's stage rules ("Next",
// "Esc").
#include <gtest/gtest.h>

#include "tests/ecu/UpgradeRig.h"

using namespace gascal;
using namespace gascal::upgrade_rig;

// From an older firmware to the installation's: the ECU runs the file's
// firmware (every byte of it), reports its identity, holds its own
// configuration byte for byte and has saved it; only chunks with data were
// sent. Block 5 of a firmware of version 132 or lower comes from the default
// set, and is written only to a firmware that has a block 5.
TEST_F(UpgradeOnSim, OlderFirmwareEndsWithTheNewIdentityAndItsConfigurationByteForByte) {
    struct Case {
        const char* what;
        QString ecuVersion;
        bool old;
        QString fileVersion;  // empty: the shipped firmware file
    };
    const Case cases[] = {
        {"one version older", "0139", false, ""},
        {"firmware 132", "0132", true, ""},
        {"132 to 132 dated later: no block 5 anywhere", "0131", false, "0132"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        if (!c.fileVersion.isEmpty()) InstallFirmware(inst, c.fileVersion);
        FlashTable table;
        QString fileIdentity;
        const FlashImage image = inst.Image(table, &fileIdentity);
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar(c.ecuVersion, c.old)));
        ASSERT_TRUE(b.Connect());
        const bool hadBlock5 = b.session->HasBlock5();
        Customise(b, hadBlock5);
        const sim::ConfigImage before = b.ecu->Working();
        const uint64_t saves = b.ecu->Counters().flashSaves;

        FirmwareUpgrade up(*b.session);
        b.Run(up);

        ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
        EXPECT_TRUE(up.Result());
        EXPECT_EQ(up.Stage(), UpgradeStage::Finished);
        // The new firmware, as the tool reads it and as the flash holds it.
        EXPECT_EQ(b.session->Comm().FirmwareEcu(), fileIdentity);
        EXPECT_EQ(b.ecu->FlashImage().Bytes(), image.Bytes());
        EXPECT_EQ(b.ecu->Mode(), sim::EcuMode::Run);
        // Erased chunks are not sent.
        const int withData = ChunksWithData(image);
        EXPECT_LT(withData, up.Counts().chunks);
        EXPECT_EQ(up.Counts().sent, withData);
        EXPECT_EQ(up.Counts().blank, up.Counts().chunks - withData);
        EXPECT_EQ(b.Sent(CMD_WRT_FLASH_ZONE), static_cast<uint64_t>(withData));
        // The configuration, byte for byte, and saved.
        const sim::ConfigImage& after = b.ecu->Working();
        EXPECT_EQ(after.mem3, before.mem3);
        EXPECT_EQ(after.table, before.table);
        EXPECT_EQ(after.dcol, before.dcol);
        EXPECT_EQ(Mem2Config(after), Mem2Config(before));
        EXPECT_EQ(b.ecu->Saved(), after);
        EXPECT_GT(b.ecu->Counters().flashSaves, saves);
        const bool newHasBlock5 = b.session->HasBlock5();
        if (hadBlock5) {
            EXPECT_EQ(after.mem5, before.mem5);
        } else {
            // Never read from the old firmware; read back once from the new one.
            EXPECT_EQ(b.Sent(CMD_READ_MEM5), newHasBlock5 ? 1u : 0u);
            if (newHasBlock5) {
                const std::vector<uint8_t> defaults = DefaultSetBlock5(inst);
                ASSERT_EQ(defaults.size(), 23u);
                EXPECT_EQ(std::vector<uint8_t>(after.mem5.begin(), after.mem5.end()), defaults);
            }
        }
        EXPECT_EQ(b.Sent(CMD_WRT_MEM5), (hadBlock5 ? 1u : 0u) + (newHasBlock5 ? 1u : 0u));
        // Samples and errors cleared.
        EXPECT_EQ(b.Sent(CMD_CANC_SMPL_BNZ), 1u);
        EXPECT_EQ(b.Sent(CMD_CANC_SMPL_GAS), 1u);
        EXPECT_EQ(b.Sent(CMD_CANC_ERR), 1u);
        // The backup holds what was restored, and loads as a parameter file.
        const auto backup = ReadUpgradeBackup(up.BackupPath());
        ASSERT_TRUE(backup.has_value());
        EXPECT_EQ(backup->mem3, std::vector<uint8_t>(before.mem3.begin(), before.mem3.end()));
        // It is the ECU's restore point.
        EXPECT_TRUE(up.BackupPath().startsWith(HistoryFolder(HistoryRoot(), 468000777)));
        EXPECT_TRUE(QFileInfo(up.BackupPath()).fileName().contains("468000777"));
        const ParamLoadReport check =
            ConfigLoad::CheckFile(up.BackupPath(), b.session->Image(), b.session->LoadOptions());
        EXPECT_TRUE(check.fileFound);
        EXPECT_TRUE(check.badLines.isEmpty()) << check.badLines.join("; ").toStdString();
    }
}

// Cut off in the middle of writing (the cable pulled for longer than the
// upgrade waits for it to come back): the upgrade fails, the ECU waits in its boot loader, the
// backup is there. The tool started again finds the ECU waiting, takes the
// configuration from that backup and completes the upgrade.
TEST_F(UpgradeOnSim, InterruptedWhileWritingLeavesTheBackupAndASecondRunCompletesIt) {
    Installation inst;
    FlashTable table;
    QString fileIdentity;
    const FlashImage image = inst.Image(table, &fileIdentity);
    auto ecu = std::make_shared<sim::SimEcu>(StoppedCar("0139"));
    sim::ConfigImage before;
    QString backupPath;
    {
        Bench b(inst, ecu);
        ASSERT_TRUE(b.Connect());
        Customise(b, true);
        before = ecu->Working();
        int zones = 0;
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 60)
                ev.Post(MicroSeconds() + 1000, [&] { ecu->Vanish(400e6, MicroSeconds()); });
        });
        FirmwareUpgrade::Options o;
        o.skipFailedChunks = false;
        FirmwareUpgrade up(*b.session, o);
        b.Run(up);
        ecu->SetRequestObserver(nullptr);
        EXPECT_EQ(up.Outcome(), UpgradeOutcome::Failed);
        EXPECT_TRUE(up.EcuTouched());
        EXPECT_FALSE(up.Result());
        EXPECT_EQ(up.Step(), UpgradeStep::WriteMemory);
        EXPECT_TRUE(up.Message().contains(up.BackupPath()));
        backupPath = up.BackupPath();
        ASSERT_TRUE(QFile::exists(backupPath));
        EXPECT_EQ(ecu->Mode(), sim::EcuMode::Programming);
        EXPECT_NE(ecu->FlashImage().Bytes(), image.Bytes());
        EXPECT_EQ(b.Sent(CMD_WRT_FLASH_END), 0u);
        // Esc closes with the upgrade's result.
        up.Esc();
        EXPECT_TRUE(up.CloseRequested());
        EXPECT_FALSE(up.Result());
    }
    ev.RunFor(400e6);  // the cable is back

    Bench b(inst, ecu);
    ASSERT_TRUE(b.Connect());
    FirmwareUpgrade up(*b.session);
    Bench::Press(up, &FirmwareUpgrade::Next);
    ASSERT_EQ(up.Stage(), UpgradeStage::Ready) << up.Message().toStdString();
    EXPECT_TRUE(up.Resuming());
    EXPECT_EQ(up.BackupPath(), backupPath);
    Bench::Press(up, &FirmwareUpgrade::Next);
    ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
    EXPECT_EQ(b.session->Comm().FirmwareEcu(), fileIdentity);
    EXPECT_EQ(ecu->FlashImage().Bytes(), image.Bytes());
    const sim::ConfigImage& after = ecu->Working();
    EXPECT_EQ(after.mem3, before.mem3);
    EXPECT_EQ(after.mem5, before.mem5);
    EXPECT_EQ(after.table, before.table);
    EXPECT_EQ(after.dcol, before.dcol);
    EXPECT_EQ(Mem2Config(after), Mem2Config(before));
    EXPECT_EQ(ecu->Saved(), after);
}

// A flash table whose first chunk lies below the ECU's flash: the ECU
// refuses that chunk every time, the link stays up. Going on without it
// never ends as a success: the upgrade is incomplete, the end of writing is
// not sent and the ECU waits for its program. Not going on is a failure.
TEST_F(UpgradeOnSim, ASkippedChunkEndsIncompleteNeverComplete) {
    struct Case {
        const char* what;
        std::optional<bool> skip;
        std::deque<BoxResult> answers;
        UpgradeOutcome outcome;
        UpgradeStop why;
        int questions;
    };
    const Case cases[] = {
        {"skipped by option", true, {}, UpgradeOutcome::Incomplete, UpgradeStop::ChunkSkipped, 0},
        {"the fitter answers Yes",
         std::nullopt,
         {BoxResult::Yes},
         UpgradeOutcome::Incomplete,
         UpgradeStop::ChunkSkipped,
         1},
        {"the fitter answers No",
         std::nullopt,
         {BoxResult::No},
         UpgradeOutcome::Failed,
         UpgradeStop::ChunkFailed,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        constexpr uint32_t kBelow = 0xFF7F80;
        ASSERT_TRUE(WriteLatin1Lines(inst.Path("BIN/Flash.ini"),
                                     {"H00FF7F80 H00FFBFFF", "H00FFC000 H00FFFFFF"}));
        QStringList lines = ReadLines(inst.Path("BIN/TeluroInj468.frh"));
        lines.insert(1, MakeS2Record(kBelow, std::vector<uint8_t>(32, 0x5A)));
        ASSERT_TRUE(WriteLatin1Lines(inst.Path("BIN/TeluroInj468.frh"), lines));
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        prompts.shown.clear();
        prompts.answers = c.answers;
        FirmwareUpgrade::Options o;
        o.skipFailedChunks = c.skip;
        FirmwareUpgrade up(*b.session, o);
        b.Run(up);
        EXPECT_EQ(up.Outcome(), c.outcome) << up.Message().toStdString();
        EXPECT_EQ(up.StopReason(), c.why);
        EXPECT_FALSE(up.Result());
        EXPECT_EQ(up.FailedAddress(), kBelow);
        EXPECT_EQ(b.Sent(CMD_WRT_FLASH_END), 0u);
        EXPECT_EQ(b.ecu->Mode(), sim::EcuMode::Programming);
        EXPECT_TRUE(QFile::exists(up.BackupPath()));
        EXPECT_TRUE(up.Message().contains(up.BackupPath()));
        int asked = 0;
        for (const auto& s : prompts.shown)
            if (s.text == "COMUNICATION ERROR, SEND MESSAGE\n\nYES TO CONTINUE!" &&
                s.buttons == BoxButtons::YesNo)
                ++asked;
        EXPECT_EQ(asked, c.questions);
        if (c.outcome == UpgradeOutcome::Incomplete) {
            // Every other chunk went on.
            EXPECT_EQ(up.Counts().skipped, 1);
            EXPECT_EQ(up.Counts().sent + up.Counts().blank + 1, up.Counts().chunks);
        }
    }
}

// Whatever stops the upgrade before the ECU is put in programming mode
// leaves the ECU running its firmware, untouched.
TEST_F(UpgradeOnSim, RefusalsBeforeProgrammingLeaveTheEcuUntouched) {
    struct Case {
        const char* what;
        bool old;
        std::function<void(const Installation&)> before;  // after connecting
        std::function<bool(const QString&)> confirm;
        QString backupPath;
        UpgradeStop why;
    };
    const Case cases[] = {
        {"no default set for an old firmware",
         true,
         [](const Installation& i) { QFile::remove(i.Path("LNG/Default.Xar")); },
         {},
         {},
         UpgradeStop::DefaultSet},
        {"firmware file damaged since the check",
         false,
         [](const Installation& i) {
             QStringList l = ReadLines(i.Path("BIN/TeluroInj468.frh"));
             for (QString& s : l)
                 if (s.startsWith("S224FF9000")) s[20] = s[20] == '0' ? '1' : '0';
             WriteLatin1Lines(i.Path("BIN/TeluroInj468.frh"), l);
         },
         {},
         {},
         UpgradeStop::FirmwareFile},
        {"backup cannot be written",
         false,
         {},
         {},
         "/nonexistent-folder/backup.var",
         UpgradeStop::Backup},
        {"the fitter declines the erase",
         false,
         {},
         [](const QString&) { return false; },
         {},
         UpgradeStop::Declined},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar(c.old ? "0132" : "0139", c.old)));
        ASSERT_TRUE(b.Connect());
        if (c.before) c.before(inst);
        FirmwareUpgrade::Options o;
        o.confirmErase = c.confirm;
        o.backupPath = c.backupPath;
        FirmwareUpgrade up(*b.session, o);
        b.Run(up);
        EXPECT_EQ(up.StopReason(), c.why) << up.Message().toStdString();
        EXPECT_NE(up.Outcome(), UpgradeOutcome::Complete);
        EXPECT_FALSE(up.EcuTouched());
        EXPECT_EQ(up.Stage(), UpgradeStage::Finished);
        EXPECT_TRUE(up.EscEnabled());
        EXPECT_EQ(b.Sent(CMD_SET_ECU_PRG), 0u);
        EXPECT_EQ(b.Sent(CMD_ERASE_FLASH), 0u);
        EXPECT_EQ(b.ecu->Mode(), sim::EcuMode::Run);
    }
}

// Stage 0: the upgrade is refused while the engine turns or the key is on;
// "Next" stays available to try again. "Esc" twice before "Next" closes with
// the result false; nothing but live-value reads reached the ECU.
TEST_F(UpgradeOnSim, StageRulesOfNextAndEsc) {
    struct Case {
        const char* what;
        bool key, engine;
        UpgradeStage stage;
        UpgradeStop why;
    };
    const Case cases[] = {
        {"engine running", true, true, UpgradeStage::Checking, UpgradeStop::NotAllowed},
        {"key on, engine off", true, false, UpgradeStage::Checking, UpgradeStop::NotAllowed},
        {"key off", false, false, UpgradeStage::Ready, UpgradeStop::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        sim::SimOptions o = StoppedCar("0139");
        o.key = c.key;
        o.engineRunning = c.engine;
        Bench b(inst, std::make_shared<sim::SimEcu>(o));
        ASSERT_TRUE(b.Connect());
        ev.RunFor(2e6);  // the engine is up to speed
        FirmwareUpgrade up(*b.session);
        Bench::Press(up, &FirmwareUpgrade::Next);
        EXPECT_EQ(up.Stage(), c.stage);
        EXPECT_EQ(up.StopReason(), c.why);
        EXPECT_TRUE(up.NextVisible());
        EXPECT_TRUE(up.NextEnabled());
        EXPECT_FALSE(up.Message().isEmpty());
    }

    Installation inst;
    Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
    ASSERT_TRUE(b.Connect());
    const uint64_t requests = b.ecu->Counters().requests;
    FirmwareUpgrade up(*b.session);
    up.Esc();
    EXPECT_EQ(up.Stage(), UpgradeStage::Aborted);
    EXPECT_FALSE(up.NextVisible());
    EXPECT_FALSE(up.CloseRequested());
    up.Next();  // hidden: nothing happens
    EXPECT_EQ(up.Stage(), UpgradeStage::Aborted);
    up.Esc();
    EXPECT_TRUE(up.CloseRequested());
    EXPECT_FALSE(up.Result());
    EXPECT_EQ(up.Outcome(), UpgradeOutcome::Cancelled);
    EXPECT_EQ(b.ecu->Counters().requests, requests);
}

// The polling cycle sends an ECU found waiting for its program to the
// upgrade window (not as an offer), whatever identity its half-written flash
// shows; the start-up window's request makes an ECU online be identified
// again and upgraded.
TEST_F(UpgradeOnSim, PollingCycleSendsAWaitingEcuAndARequestToTheUpgrade) {
    for (bool waiting : {true, false}) {
        SCOPED_TRACE(waiting ? "ECU waiting for its program" : "upgrade asked for while online");
        Installation inst;
        QString fileDate;
        {
            FlashTable t;
            QString id;
            inst.Image(t, &id);
            fileDate = id.mid(4, 8);
        }
        sim::SimOptions o = StoppedCar("0140");
        // The file's own firmware: accepted as it is.
        o.firmwareDate = fileDate;
        Bench b(inst, std::make_shared<sim::SimEcu>(o));
        ASSERT_TRUE(b.Connect());
        if (waiting) {
            ASSERT_TRUE(b.Send(CMD_SET_ECU_PRG, {0}));
            ASSERT_TRUE(b.Send(CMD_ERASE_FLASH, {0}));
            b.session->Comm().SetEcuState(ECU_RUN);  // a tool started afresh knows nothing of it
        }
        PollingCycle cycle(*b.session);
        int runs = 0, offers = 0;
        cycle.SetUpgradeRunner([&](bool offered) {
            ++runs;
            offers += offered ? 1 : 0;
            return false;
        });
        cycle.Load();
        cycle.Start();
        if (waiting) {
            ASSERT_TRUE(ev.RunUntil([&] { return runs > 0; }, 30e6));
        } else {
            ASSERT_TRUE(ev.RunUntil([&] { return cycle.Online(); }, 30e6));
            EXPECT_EQ(runs, 0);
            cycle.RequestUpgradeAtStart();
            ASSERT_TRUE(ev.RunUntil([&] { return runs > 0; }, 5e6));
        }
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(offers, 0);
        EXPECT_FALSE(cycle.Online());
        EXPECT_TRUE(cycle.CloseRequested());  // the upgrade did not bring it online
    }
}

// The backup file: the newest of a folder is found by the time in its name
// (a second backup of the same second gets its own name), and a damaged or
// incomplete section is refused rather than restored.
TEST(UpgradeBackupFile, NewestByTimeAndDamageRefused) {
    QTemporaryDir dir;
    SavedConfiguration c;
    c.mem2.assign(14, 0x12);
    c.mem3.assign(74, 0x34);
    c.mem5.assign(23, 0x56);
    c.table.assign(384, 0x78);
    c.testData.assign(16, 0x9A);
    c.ecuIdentity = QStringLiteral("013215032025KT540 GASCAL INJ468");
    ParamImage image;
    const QDateTime t(QDate(2026, 1, 15), QTime(10, 0, 0));
    QStringList written;
    for (const QDateTime& when : {t, t, t.addSecs(61), t.addSecs(-3600)}) {
        written << UpgradeBackupPath(dir.path(), c, when);
        ASSERT_TRUE(WriteUpgradeBackup(written.last(), c, image, 140, "Title"));
    }
    EXPECT_NE(written[0], written[1]);
    EXPECT_EQ(NewestUpgradeBackup(dir.path()), written[2]);

    QString text;
    ASSERT_TRUE(ReadLatin1(written[0], text));
    text.replace("Mem3=" + BytesToHex(c.mem3), "Mem3=" + BytesToHex(c.mem3).left(146));
    ASSERT_TRUE(WriteLatin1Lines(written[0], SplitLines(text)));
    QString why;
    EXPECT_FALSE(ReadUpgradeBackup(written[0], &why).has_value());
    EXPECT_TRUE(why.contains("Mem3")) << why.toStdString();
    c.table.pop_back();
    EXPECT_FALSE(WriteUpgradeBackup(dir.path() + "/short.var", c, image, 140, "Title"));
}

// A firmware file whose identity is not where the ECU reports its own (the
// key names the boot block's copy): after writing, the ECU does not report
// the file's firmware, and the upgrade does not pass for a success; the
// configuration is not written into a firmware that is not the one meant.
TEST_F(UpgradeOnSim, AnEcuThatDoesNotReportTheFilesFirmwareIsNoSuccess) {
    Installation inst;
    QStringList lines = ReadLines(inst.Path("BIN/TeluroInj468.frh"));
    ASSERT_EQ(lines.last(), "00FF8000");
    lines.last() = "00FFE000";
    ASSERT_TRUE(WriteLatin1Lines(inst.Path("BIN/TeluroInj468.frh"), lines));
    Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
    ASSERT_TRUE(b.Connect());
    FirmwareUpgrade up(*b.session);
    b.Run(up);
    EXPECT_EQ(up.Outcome(), UpgradeOutcome::Failed);
    EXPECT_EQ(up.StopReason(), UpgradeStop::Identity);
    EXPECT_FALSE(up.Result());
    EXPECT_EQ(b.Sent(CMD_WRT_FLASH_END), 1u);
    EXPECT_EQ(b.Sent(CMD_WRT_MEM3), 0u);
    EXPECT_EQ(b.Sent(CMD_SAVE_FLASH), 0u);
    EXPECT_TRUE(up.Message().contains(up.BackupPath()));
}
