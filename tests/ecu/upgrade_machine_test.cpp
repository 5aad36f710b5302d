// The firmware upgrade as a step machine, against the simulated ECU in
// virtual time: an "Esc" taken while an exchange is under way wins (nothing
// is erased after it), an interrupted upgrade is resumed only from the
// backup of its own ECU, an ECU on the file's firmware has nothing to do, a
// short block 5 of a later firmware is padded, and the rules of the
// sequence (programming mode, flash writing, the stage-0 failure, the slow
// commands' wait).
#include <gtest/gtest.h>

#include "ecu/UpgradeTexts.h"
#include "tests/ecu/UpgradeRig.h"

using namespace gascal;
using namespace gascal::upgrade_rig;

namespace {

// Runs the events until the upgrade waits for a button or is over (a
// machine that does everything inside its buttons is settled at once).
void Settle(VirtualEventService& ev, const FirmwareUpgrade& up) {
    ev.RunUntil(
        [&] {
            return up.Stage() == UpgradeStage::Finished || up.Stage() == UpgradeStage::Aborted ||
                   (up.Stage() != UpgradeStage::Ready && up.Outcome() != UpgradeOutcome::Pending) ||
                   up.Waiting();
        },
        30 * 60e6);
}

QString FileDate(const Installation& inst) {
    FlashTable t;
    QString id;
    inst.Image(t, &id);
    return id.mid(4, 8);
}

}  // namespace

// "Esc" (the button, the Escape key, the close box) pressed while "Next"
// reads the ECU: it is kept until that exchange is over and then wins. The
// ECU is never put in programming mode, nothing is erased and no backup is
// written.
TEST_F(UpgradeOnSim, EscDuringAnExchangeWinsAndNothingIsErased) {
    struct Case {
        const char* what;
        uint8_t readCommand;  // Esc is pressed while this request is on its way
    };
    const Case cases[] = {
        {"during the read of the live values that Next makes", CMD_READ_MEM1},
        {"while the configuration is read", CMD_READ_MEM3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        FirmwareUpgrade up(*b.session);
        Bench::Press(up, &FirmwareUpgrade::Next);
        ASSERT_EQ(up.Stage(), UpgradeStage::Ready) << up.Message().toStdString();
        bool pressed = false;
        b.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd != c.readCommand || pressed) return;
            pressed = true;
            ev.Post(MicroSeconds() + 200, [&] { up.Esc(); });
        });
        up.Next();
        Settle(ev, up);
        b.ecu->SetRequestObserver(nullptr);
        EXPECT_TRUE(pressed);
        EXPECT_EQ(up.Stage(), UpgradeStage::Aborted) << up.Message().toStdString();
        EXPECT_EQ(up.Outcome(), UpgradeOutcome::Cancelled);
        EXPECT_EQ(b.Sent(CMD_SET_ECU_PRG), 0u);
        EXPECT_EQ(b.Sent(CMD_ERASE_FLASH), 0u);
        EXPECT_EQ(b.ecu->Mode(), sim::EcuMode::Run);
        EXPECT_TRUE(QDir(inst.Path()).entryList({"UpgradeBackup_*.var"}).isEmpty());
        up.Esc();
        EXPECT_TRUE(up.CloseRequested());
        EXPECT_FALSE(up.Result());
    }
}

// An ECU that runs the file's firmware already, version and date alike:
// nothing to do, nothing written, whoever opened the upgrade (the window's
// start-up request does not check the firmware first). Forced, it is
// written again.
TEST_F(UpgradeOnSim, AnEcuOnTheFilesFirmwareHasNothingToDoUnlessForced) {
    for (bool force : {false, true}) {
        SCOPED_TRACE(force ? "forced" : "not forced");
        Installation inst;
        sim::SimOptions o = StoppedCar("0140");
        o.firmwareDate = FileDate(inst);
        Bench b(inst, std::make_shared<sim::SimEcu>(o));
        ASSERT_TRUE(b.Connect());
        FirmwareUpgrade::Options options;
        options.force = force;
        FirmwareUpgrade up(*b.session, options);
        b.Run(up);
        Settle(ev, up);
        EXPECT_EQ(up.Outcome(), force ? UpgradeOutcome::Complete : UpgradeOutcome::Cancelled)
            << up.Message().toStdString();
        EXPECT_EQ(b.Sent(CMD_SET_ECU_PRG), force ? 1u : 0u);
        EXPECT_EQ(b.Sent(CMD_ERASE_FLASH), force ? 1u : 0u);
        EXPECT_EQ(up.StopReason(), force ? UpgradeStop::None : UpgradeStop::NothingToDo);
        EXPECT_EQ(up.Message().contains("nothing to do"), !force) << up.Message().toStdString();
        EXPECT_EQ(up.Stage(), UpgradeStage::Finished);
        EXPECT_EQ(HistorySerials(HistoryRoot()).empty(), !force);
    }
}

// A firmware above 132 that answers block 5 with 13 bytes (fields 1 to 8):
// the block is padded with the image's values for fields 9 to 14, the
// upgrade completes, and the ECU gets its own first 13 bytes back.
TEST_F(UpgradeOnSim, AShortBlock5OfALaterFirmwareIsPaddedAndTheUpgradeCompletes) {
    Installation inst;
    sim::SimOptions o = StoppedCar("0139");
    o.shortBlock5 = true;
    Bench b(inst, std::make_shared<sim::SimEcu>(o));
    ASSERT_TRUE(b.Connect());
    Customise(b, true);
    const sim::ConfigImage before = b.ecu->Working();
    const uint64_t block5Writes = b.Sent(CMD_WRT_MEM5);
    FirmwareUpgrade up(*b.session);
    b.Run(up);
    Settle(ev, up);
    ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
    ASSERT_EQ(up.Saved().mem5.size(), 23u);
    const sim::ConfigImage& after = b.ecu->Working();
    EXPECT_TRUE(std::equal(before.mem5.begin(), before.mem5.begin() + 13, after.mem5.begin()));
    EXPECT_TRUE(std::equal(up.Saved().mem5.begin(), up.Saved().mem5.end(), after.mem5.begin()));
    EXPECT_EQ(after.mem3, before.mem3);
    EXPECT_EQ(b.Sent(CMD_WRT_MEM5), block5Writes + 1);
}

// The rules of the sequence, one case each: programming mode is not asked
// for again while the ECU writes its flash; the ECU leaving flash writing
// stops the writing; a failed stage-0 read shows the failure 11 x 100 ms and
// then acts as "Esc"; the slow commands wait MolAttesaGlobale times longer,
// but never more than 15 s.
TEST_F(UpgradeOnSim, RulesOfTheSequence) {
    {
        SCOPED_TRACE("programming mode skipped while the ECU writes its flash");
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        // An upgrade interrupted while writing leaves the tool's EcuState at 3.
        FirmwareUpgrade first(*b.session);
        int zones = 0;
        b.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 20) first.Interrupt();
        });
        b.Run(first);
        b.ecu->SetRequestObserver(nullptr);
        ASSERT_EQ(first.Outcome(), UpgradeOutcome::Incomplete) << first.Message().toStdString();
        ASSERT_EQ(b.session->Comm().EcuState(), ECU_FLASH_WRITE);
        FirmwareUpgrade::Options o;
        o.backupPath = first.BackupPath();
        FirmwareUpgrade again(*b.session, o);
        b.Run(again);
        EXPECT_EQ(again.Outcome(), UpgradeOutcome::Complete) << again.Message().toStdString();
        EXPECT_TRUE(again.Resuming());
        EXPECT_EQ(b.Sent(CMD_SET_ECU_PRG), 1u);  // the first run's only
        EXPECT_EQ(b.Sent(CMD_ERASE_FLASH), 2u);
    }
    {
        SCOPED_TRACE("the ECU leaves flash writing");
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        FirmwareUpgrade up(*b.session);
        // The answer of every chunk sent sets EcuState 3 again; an erased
        // chunk is not sent, so the first one after the ECU left flash
        // writing stops the writing.
        up.OnChanged([&] {
            if (up.Step() == UpgradeStep::WriteMemory && up.Counts().sent >= 10)
                b.session->Comm().SetEcuState(ECU_RUN);
        });
        FlashTable table;
        const FlashImage image = inst.Image(table);
        int firstBlank = 0;
        for (int64_t off = 0; off <= image.TableFlashUBound(); off += 128, ++firstBlank) {
            if (firstBlank < 10) continue;
            bool blank = true;
            for (int64_t i = off; i < off + 128 && i <= image.TableFlashUBound(); ++i)
                blank &= image.TableFlash(i) == 0xFF;
            if (blank) break;
        }
        b.Run(up);
        EXPECT_EQ(up.Outcome(), UpgradeOutcome::Failed);
        EXPECT_EQ(up.StopReason(), UpgradeStop::Link);
        EXPECT_EQ(up.Counts().sent, firstBlank) << up.Message().toStdString();
        EXPECT_EQ(up.Counts().blank, 1);
        EXPECT_EQ(b.Sent(CMD_WRT_FLASH_END), 0u);
    }
    {
        SCOPED_TRACE("a stage-0 failure shows 11 x 100 ms, then acts as Esc");
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        FirmwareUpgrade up(*b.session);
        b.ecu->Failures().deaf = 1.0;
        double failureShownUs = -1, abortedUs = -1;
        up.OnChanged([&] {
            if (failureShownUs < 0 && up.Message() == "Communication with the ECU failed.")
                failureShownUs = MicroSeconds();
            if (abortedUs < 0 && up.Stage() == UpgradeStage::Aborted) abortedUs = MicroSeconds();
        });
        up.Next();
        Settle(ev, up);
        b.ecu->Failures().deaf = 0;
        EXPECT_EQ(up.Stage(), UpgradeStage::Aborted);
        EXPECT_EQ(up.StopReason(), UpgradeStop::Link);
        ASSERT_GE(failureShownUs, 0);
        EXPECT_NEAR(abortedUs - failureShownUs, 1.1e6, 1000);
        EXPECT_EQ(b.Sent(CMD_SET_ECU_PRG), 0u);
    }
    struct Slow {
        double molAttesa;
        double expectedUs;
    };
    for (const Slow& s : {Slow{2, 8e6}, Slow{10, 15e6}}) {
        SCOPED_TRACE(s.molAttesa);
        Installation inst;
        Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
        ASSERT_TRUE(b.Connect());
        b.session->Comm().SetMolAttesaGlobale(s.molAttesa);
        double erasingWaitUs = 0;
        b.ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_ERASE_FLASH) erasingWaitUs = b.session->Comm().AttesaGlobale_usec();
        });
        FirmwareUpgrade up(*b.session);
        b.Run(up);
        b.ecu->SetRequestObserver(nullptr);
        EXPECT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
        EXPECT_EQ(erasingWaitUs, s.expectedUs);
        EXPECT_EQ(b.session->Comm().AttesaGlobale_usec(),
                  b.session->Comm().AttesaGlobaleDefault_usec());
    }
}

// An ECU whose boot loader does not answer the test data, with two
// interrupted upgrades in the folder: the fitter is asked to choose (both
// candidates with their serial numbers); the chosen one is restored, none
// chosen changes nothing.
TEST_F(UpgradeOnSim, TheFitterChoosesWhenTheSerialNumberIsUnknown) {
    for (bool choose : {true, false}) {
        SCOPED_TRACE(choose ? "chosen" : "none chosen");
        Installation inst;
        sim::SimOptions oa = StoppedCar("0139"), od = StoppedCar("0139");
        oa.bootLoaderTestData = od.bootLoaderTestData = false;
        oa.serial = 1001;
        od.serial = 4004;
        auto a = std::make_shared<sim::SimEcu>(oa), d = std::make_shared<sim::SimEcu>(od);
        sim::ConfigImage aBefore;
        for (const auto& ecu : {a, d}) {
            Bench b(inst, ecu);
            ASSERT_TRUE(b.Connect());
            if (ecu == a) {
                Customise(b, true);
                aBefore = ecu->Working();
            }
            FirmwareUpgrade up(*b.session);
            int zones = 0;
            ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
                if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 20) up.Interrupt();
            });
            b.Run(up);
            ecu->SetRequestObserver(nullptr);
            ASSERT_EQ(up.Outcome(), UpgradeOutcome::Incomplete) << up.Message().toStdString();
            ev.RunFor(2e6);  // the next backup is named a later second
        }
        Bench b(inst, a);
        ASSERT_TRUE(b.Connect());
        std::vector<BackupCandidate> offered;
        FirmwareUpgrade::Options o;
        o.chooseBackup = [&](const std::vector<BackupCandidate>& candidates) {
            offered = candidates;
            for (const BackupCandidate& c : candidates)
                if (choose && c.serial == 468000777u) return c.path;
            return QString();
        };
        const uint64_t erases = b.Sent(CMD_ERASE_FLASH);
        FirmwareUpgrade up(*b.session, o);
        b.Run(up);
        ASSERT_EQ(offered.size(), 2u);
        EXPECT_EQ(offered[1].serial, 468000777u);  // Customise's; newest first
        EXPECT_EQ(offered[0].serial, 4004u);
        if (choose) {
            EXPECT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
            EXPECT_EQ(a->Working().mem3, aBefore.mem3);
            EXPECT_EQ(a->Working().dcol, aBefore.dcol);
        } else {
            EXPECT_EQ(up.Stage(), UpgradeStage::Aborted);
            EXPECT_EQ(b.Sent(CMD_ERASE_FLASH), erases);
            EXPECT_EQ(a->Mode(), sim::EcuMode::Programming);
        }
    }
}

// The About box offers "Update firmware" when the file's firmware is newer:
// a higher version number whatever the dates, or the same version dated
// later; never for the same firmware or an older file.
TEST_F(UpgradeOnSim, TheAboutBoxOffersTheUpdateForANewerFile) {
    struct Case {
        const char* what;
        const char* ecuVersion;
        const char* ecuDate;  // empty: the file's date
        bool offered;
    };
    const Case cases[] = {
        {"a higher version number in the file, the ECU dated later", "0139", "31122030", true},
        {"a higher version number in the file, same date", "0139", "", true},
        {"same version, the file dated later", "0140", "15032025", true},
        {"the file's own firmware", "0140", "", false},
        {"a higher version number in the ECU", "0141", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        sim::SimOptions o = StoppedCar(c.ecuVersion);
        o.firmwareDate = *c.ecuDate ? QString::fromLatin1(c.ecuDate) : FileDate(inst);
        Bench b(inst, std::make_shared<sim::SimEcu>(o));
        ASSERT_TRUE(b.Connect());
        EXPECT_EQ(FirmwareFileIsNewer(*b.session), c.offered);
    }
}

// The steps run marked as workflow steps (a wait inside one fails the test
// suite), and every request reaches the ECU from outside a step: the driver
// makes the exchanges between the steps.
TEST_F(UpgradeOnSim, ExchangesHappenBetweenStepsNeverInsideOne) {
    Installation inst;
    Bench b(inst, std::make_shared<sim::SimEcu>(StoppedCar("0139")));
    ASSERT_TRUE(b.Connect());
    FirmwareUpgrade up(*b.session);
    int insideStep = 0, outsideStep = 0, requestsInsideStep = 0, requests = 0;
    up.OnChanged([&] { ++(CurrentWorkflowStep() ? insideStep : outsideStep); });
    b.ecu->SetRequestObserver([&](uint8_t, uint8_t, const char*) {
        ++requests;
        if (CurrentWorkflowStep()) ++requestsInsideStep;
    });
    b.Run(up);
    b.ecu->SetRequestObserver(nullptr);
    ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
    EXPECT_GT(insideStep, 300);  // every chunk, blink and bar step
    EXPECT_GT(requests, 220);
    EXPECT_EQ(requestsInsideStep, 0);
}
