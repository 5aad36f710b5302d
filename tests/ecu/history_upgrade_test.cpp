// The firmware upgrade keeps the ECU's configuration as a restore point:
// two ECUs interrupted in one data folder are each resumed from their own
// point, found by serial number, and a completed upgrade records its
// completion in a second point instead of rewriting the first.
#include <gtest/gtest.h>

#include "ecu/History.h"
#include "tests/ecu/UpgradeRig.h"

using namespace gascal;
using namespace gascal::upgrade_rig;

TEST_F(UpgradeOnSim, EachInterruptedEcuResumesFromItsOwnPointBySerialNumber) {
    Installation inst;
    sim::SimOptions oa = StoppedCar("0139"), ob = StoppedCar("0139");
    ob.serial = 2002;
    auto a = std::make_shared<sim::SimEcu>(oa), b = std::make_shared<sim::SimEcu>(ob);
    sim::ConfigImage aBefore, bBefore;
    std::map<uint32_t, QString> pointOf;
    for (const auto& ecu : {a, b}) {
        Bench bench(inst, ecu);
        ASSERT_TRUE(bench.Connect());
        if (ecu == a) Customise(bench, true);  // serial number 468000777
        (ecu == a ? aBefore : bBefore) = ecu->Working();
        FirmwareUpgrade up(*bench.session);
        int zones = 0;
        ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
            if (cmd == CMD_WRT_FLASH_ZONE && ++zones == 20) up.Interrupt();
        });
        bench.Run(up);
        ecu->SetRequestObserver(nullptr);
        ASSERT_EQ(up.Outcome(), UpgradeOutcome::Incomplete) << up.Message().toStdString();
        const RestorePoint p = ReadRestorePoint(up.BackupPath());
        EXPECT_FALSE(p.damaged) << p.why.toStdString();
        EXPECT_EQ(p.reason, PointReason::Upgrade);
        pointOf[p.serial] = p.id;
        ev.RunFor(2e6);
    }
    ASSERT_EQ(pointOf.size(), 2u);
    ASSERT_EQ(pointOf.count(468000777u), 1u);
    ASSERT_EQ(pointOf.count(2002u), 1u);
    // No upgrade backup in the installation folder any more.
    EXPECT_TRUE(QDir(inst.Path()).entryList({"UpgradeBackup_*"}).isEmpty());

    // B, then A: each finds its own point without asking.
    for (const auto& ecu : {b, a}) {
        const uint32_t serial = ecu == a ? 468000777u : 2002u;
        SCOPED_TRACE(serial);
        Bench bench(inst, ecu);
        ASSERT_TRUE(bench.Connect());
        FirmwareUpgrade up(*bench.session);
        Bench::Press(up, &FirmwareUpgrade::Next);
        ASSERT_EQ(up.Stage(), UpgradeStage::Ready) << up.Message().toStdString();
        EXPECT_TRUE(up.Resuming());
        EXPECT_EQ(QFileInfo(up.BackupPath()).completeBaseName(), pointOf[serial]);
        Bench::Press(up, &FirmwareUpgrade::Next);
        ASSERT_EQ(up.Outcome(), UpgradeOutcome::Complete) << up.Message().toStdString();
        const sim::ConfigImage& before = ecu == a ? aBefore : bBefore;
        EXPECT_EQ(ecu->Working().mem3, before.mem3);
        EXPECT_EQ(ecu->Working().table, before.table);
        EXPECT_EQ(ecu->Working().dcol, before.dcol);
        // The completion is a new point naming the first; the first is as it was.
        const std::vector<RestorePoint> points = ListHistory(HistoryRoot(), serial);
        ASSERT_GE(points.size(), 2u);
        EXPECT_EQ(points[0].reason, PointReason::Upgraded);
        EXPECT_EQ(points[0].completes, pointOf[serial]);
        const RestorePoint first = ReadRestorePoint(up.BackupPath());
        EXPECT_FALSE(first.damaged);
        EXPECT_EQ(first.reason, PointReason::Upgrade);
        EXPECT_TRUE(IncompleteUpgradePoints(HistoryRoot(), serial, inst.Path()).empty());
    }
    EXPECT_TRUE(IncompleteUpgradePoints(HistoryRoot(), std::nullopt, inst.Path()).empty());
}
