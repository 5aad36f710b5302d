// The firmware upgrade interrupted where it used to go wrong: an ECU reset
// while the configuration is written back or saved (the ECU loses what it
// had not saved), and a cable pulled for a moment while the ECU is put into
// programming mode, erased or finishes writing. Each ends with the new
// firmware and the ECU's own configuration, saved, or says which part the
// ECU does not keep.
#include <gtest/gtest.h>

#include "tests/ecu/UpgradeRig.h"

using namespace gascal;
using namespace gascal::upgrade_rig;

namespace {

void ExpectConfigurationAsBefore(const sim::SimEcu& ecu, const sim::ConfigImage& before) {
    const sim::ConfigImage& after = ecu.Working();
    EXPECT_EQ(after.mem3, before.mem3);
    EXPECT_EQ(after.mem5, before.mem5);
    EXPECT_EQ(after.table, before.table);
    EXPECT_EQ(after.dcol, before.dcol);
    EXPECT_EQ(Mem2Config(after), Mem2Config(before));
    EXPECT_EQ(ecu.Saved(), after);
}

}  // namespace

// The ECU resets while it takes one request of the write-back or the save:
// the writes it had not saved are gone. The upgrade reads the configuration
// back after the save, writes again what differs and saves again; it
// reports complete only for a configuration the ECU holds, in flash too.
TEST_F(UpgradeOnSim, AnEcuResetDuringTheWriteBackOrTheSaveIsWrittenAgain) {
    const struct {
        const char* what;
        uint8_t command;  // the request of the write-back the reset comes after
        int nth;          // its n-th time
        bool instead;     // the reset comes instead of the next request
    } rows[] = {
        {"after block 3 is written back", CMD_WRT_MEM3, 1, false},
        {"after the table's third chunk", CMD_WRT_TBL_COR, 3, false},
        {"after the test data", CMD_WRIT_DCOL, 1, false},
        {"after the error memory is cleared, before the save", CMD_CANC_ERR, 1, false},
        {"instead of the save", CMD_CANC_ERR, 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Installation inst;
        FlashTable table;
        QString fileIdentity;
        const FlashImage image = inst.Image(table, &fileIdentity);
        auto ecu = std::make_shared<sim::SimEcu>(StoppedCar("0139"));
        Bench b(inst, ecu);
        ASSERT_TRUE(b.Connect());
        Customise(b, true);
        const sim::ConfigImage before = ecu->Working();
        int seen = 0;
        bool armed = false;
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (armed) {
                // The one reset in place of this request is done.
                ecu->Failures().reset = 0;
                armed = false;
                return;
            }
            if (cmd != row.command || ++seen != row.nth) return;
            if (row.instead) {
                ecu->Failures().reset = 1;
                armed = true;
            } else {
                ev.Post(MicroSeconds() + 1000, [&] { ecu->Reset(MicroSeconds()); });
            }
        });
        FirmwareUpgrade up(*b.session);
        b.Run(up);
        ecu->SetRequestObserver(nullptr);
        EXPECT_EQ(ecu->Counters().resets, 1u);
        ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
        EXPECT_EQ(ecu->FlashImage().Bytes(), image.Bytes());
        EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
        ExpectConfigurationAsBefore(*ecu, before);
    }
}

// An ECU that loses every write of the write-back (the request after each
// meets a reset, so the save finds the factory configuration) is not
// reported as upgraded: after three rounds of write-back, save and
// read-back the upgrade fails and names the parts the ECU does not hold and
// the backup that holds them.
TEST_F(UpgradeOnSim, AnEcuThatDoesNotKeepItsConfigurationIsNoSuccess) {
    Installation inst;
    auto ecu = std::make_shared<sim::SimEcu>(StoppedCar("0139"));
    Bench b(inst, ecu);
    ASSERT_TRUE(b.Connect());
    Customise(b, true);
    bool armed = false;
    ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (armed) {
            ecu->Failures().reset = 0;
            armed = false;
            return;
        }
        if (cmd == CMD_WRT_MEM2 || cmd == CMD_WRT_MEM3 || cmd == CMD_WRT_MEM5 ||
            cmd == CMD_WRT_TBL_COR || cmd == CMD_WRIT_DCOL || cmd == CMD_CANC_ERR) {
            ecu->Failures().reset = 1;
            armed = true;
        }
    });
    FirmwareUpgrade up(*b.session);
    b.Run(up);
    ecu->SetRequestObserver(nullptr);
    EXPECT_GE(ecu->Counters().resets, static_cast<uint64_t>(kRestoreRounds));
    EXPECT_EQ(up.Outcome(), UpgradeOutcome::Failed) << up.Message().toStdString();
    EXPECT_EQ(up.StopReason(), UpgradeStop::NotHeld);
    EXPECT_FALSE(up.Result());
    EXPECT_TRUE(up.Message().contains(QStringLiteral("block 3"))) << up.Message().toStdString();
    EXPECT_TRUE(up.Message().contains(up.BackupPath())) << up.Message().toStdString();
}

// The cable pulled for 1 or 15 s while the ECU is put into programming
// mode, while it erases or as it finishes writing: the link gives up the
// exchange and opens the port again, and the upgrade waits for it and goes
// on by itself to the end.
TEST_F(UpgradeOnSim, AShortCablePullDoesNotStopTheUpgrade) {
    const struct {
        const char* what;
        uint8_t command;
        double pullUs;
    } rows[] = {
        {"programming mode, 1 s", CMD_SET_ECU_PRG, 1e6},
        {"programming mode, 15 s", CMD_SET_ECU_PRG, 15e6},
        {"erase, 1 s", CMD_ERASE_FLASH, 1e6},
        {"erase, 15 s", CMD_ERASE_FLASH, 15e6},
        {"end of writing, 1 s", CMD_WRT_FLASH_END, 1e6},
        {"end of writing, 15 s", CMD_WRT_FLASH_END, 15e6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Installation inst;
        FlashTable table;
        QString fileIdentity;
        const FlashImage image = inst.Image(table, &fileIdentity);
        auto ecu = std::make_shared<sim::SimEcu>(StoppedCar("0139"));
        Bench b(inst, ecu);
        ASSERT_TRUE(b.Connect());
        Customise(b, true);
        const sim::ConfigImage before = ecu->Working();
        bool pulled = false;
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (pulled || cmd != row.command) return;
            pulled = true;
            ev.Post(MicroSeconds(), [&] { ecu->Vanish(row.pullUs, MicroSeconds()); });
        });
        FirmwareUpgrade up(*b.session);
        b.Run(up);
        ecu->SetRequestObserver(nullptr);
        EXPECT_TRUE(pulled);
        ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
        EXPECT_EQ(b.session->Comm().FirmwareEcu(), fileIdentity);
        EXPECT_EQ(ecu->FlashImage().Bytes(), image.Bytes());
        EXPECT_EQ(ecu->Mode(), sim::EcuMode::Run);
        ExpectConfigurationAsBefore(*ecu, before);
    }
}
