// The window's restore points, against the simulated ECU in virtual time:
// the connection takes one only when the configuration changed, a file load
// takes one before it is written, going offline after an edit takes one, a
// point that cannot be written stops the load and the calibration with a
// box that says why, and a restore puts a point back and records the result.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <cmath>

#include "common/Prompts.h"
#include "data/core/ParamFile.h"
#include "ecu/History.h"
#include "link/core/CommandTable.h"
#include "mainwindow/controller/CalibrationModel.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

constexpr uint32_t kSerial = 468000123;

std::vector<PointReason> Reasons(SimSession& s) {
    std::vector<PointReason> r;
    for (const RestorePoint& p : s.session->History().PointsOf(kSerial)) r.push_back(p.reason);
    return r;
}

// A parameter file with the switchover speed changed.
QString CarFile(SimSession& s, double rpm) {
    ParamImage file = s.image();
    file.SetHost(nullptr);
    file.Mem3Block.SwitchRpm = rpm;
    const QString path = s.root + "/car.var";
    EXPECT_TRUE(SaveParamFile(path, file, SimSession::ShippedVersionNum(), "test"));
    return path;
}

bool LoadFile(SimSession& s, const QString& path) {
    s.prompts.files.push_back(path);
    s.ctl().MnuFileLoadConf_Click();
    return s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 30);
}

}  // namespace

TEST(MainCtlHistory, ConnectionLoadOfflineAndRestore) {
    SimSession s;
    ASSERT_TRUE(s.StartAndGoOnline());
    HistoryModel& h = s.session->History();
    EXPECT_EQ(h.ConnectedSerial(), kSerial);
    ASSERT_EQ(Reasons(s), std::vector<PointReason>{PointReason::Connection});
    const RestorePoint first = h.PointsOf(kSerial).front();
    const sim::ConfigImage original = s.ecu->Working();
    // The ECU read again with nothing changed: no point.
    s.cycle().RequestFirstRefresh();
    s.RunFor(3);
    EXPECT_EQ(Reasons(s).size(), 1u);

    // A file load takes its point before anything is written.
    const QString path = CarFile(s, 1800);
    ASSERT_TRUE(LoadFile(s, path));
    ASSERT_NEAR(s.ecu->Working().SwitchRpm(), 1800, 2);
    EXPECT_EQ(Reasons(s), (std::vector<PointReason>{PointReason::Load, PointReason::Connection}));
    const RestorePoint loadPoint = h.PointsOf(kSerial).front();
    // The ECU read again after the load: its new configuration is recorded.
    s.RunFor(3);
    EXPECT_EQ(Reasons(s).size(), 3u);
    // The comparison of the first point with the ECU finds the speed; the
    // point before the load holds what the first did.
    const FileCompareResult cmp = h.CompareWithEcu(first);
    ASSERT_TRUE(cmp.Usable());
    ASSERT_FALSE(cmp.differences.empty());
    EXPECT_EQ(cmp.differences.front().name, "SwitchRpm");
    EXPECT_TRUE(h.ComparePoints(first, loadPoint).empty());
    const std::vector<ParamDifference> changed =
        h.ComparePoints(first, h.PointsOf(kSerial).front());
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed.front().name, "SwitchRpm");

    // An edit, then offline without storing: the point of what was written.
    s.session->Settings().CmbSwtchTemp_Click(0);
    ASSERT_TRUE(s.RunUntil([&] { return s.ctl().Unstored(); }, 10));
    s.prompts.answers.push_back(BoxResult::No);
    s.ctl().MnuDevOffline_Click();
    ASSERT_TRUE(s.RunUntil([&] { return s.comm().ComState() == ComState::Stopped; }, 10));
    ASSERT_EQ(Reasons(s).front(), PointReason::Offline);
    EXPECT_FALSE(h.PointsOf(kSerial).front().flash);

    // Back online (the change is still in the ECU's working memory: no point),
    // then the first point restored, asked first.
    s.ctl().MnuDevSearch_Click();
    ASSERT_TRUE(
        s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); }, 60));
    const size_t before = Reasons(s).size();
    s.prompts.answers.push_back(BoxResult::Yes);
    const size_t shown = s.prompts.shown.size();
    ASSERT_TRUE(h.Restore(first));
    ASSERT_GT(s.prompts.shown.size(), shown);
    EXPECT_TRUE(s.prompts.shown.back().text.contains(first.id));
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 30));
    s.RunFor(3);
    EXPECT_EQ(s.ecu->Working().mem3, original.mem3);
    EXPECT_EQ(s.ecu->Working().table, original.table);
    EXPECT_EQ(s.ecu->Saved().mem3, original.mem3);
    const std::vector<PointReason> after = Reasons(s);
    ASSERT_EQ(after.size(), before + 2) << after.size();
    EXPECT_EQ(after[0], PointReason::Restore);
    EXPECT_EQ(after[1], PointReason::Load);
    // Declined: nothing is loaded.
    s.prompts.answers.push_back(BoxResult::No);
    EXPECT_FALSE(h.Restore(h.PointsOf(kSerial).back()));
    EXPECT_TRUE(s.cycle().ConfigFileToLoad().isEmpty());
}

TEST(MainCtlHistory, APointThatCannotBeWrittenStopsTheLoadAndTheCalibration) {
    // A file stands where the data folder would be.
    QTemporaryDir tmp;
    const QString blocked = tmp.filePath("blocked");
    QFile f(blocked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    qputenv(kDataDirVariable, blocked.toLocal8Bit());
    SimSession t;
    ASSERT_TRUE(t.StartAndGoOnline());
    EXPECT_TRUE(t.session->History().LastFailure().contains("could not be written"))
        << t.session->History().LastFailure().toStdString();

    const double rpm = t.ecu->Working().SwitchRpm();
    const uint64_t writes = t.Sent(CMD_WRT_MEM3);
    const QString path = CarFile(t, 1800);
    ASSERT_TRUE(LoadFile(t, path));
    EXPECT_EQ(t.Sent(CMD_WRT_MEM3), writes);
    EXPECT_NEAR(t.ecu->Working().SwitchRpm(), rpm, 1);
    ASSERT_FALSE(t.prompts.shown.empty());
    EXPECT_TRUE(
        t.prompts.AnyContains("The restore point could not be written, so nothing was "
                              "changed"));
    EXPECT_TRUE(t.prompts.AnyContains(blocked));

    const size_t shown = t.prompts.shown.size();
    ASSERT_TRUE(t.session->CalModel().StartEnabled());
    t.session->CalModel().CmdCalStart_Click();
    EXPECT_FALSE(t.session->CalModel().Running());
    EXPECT_EQ(t.prompts.shown.size(), shown + 1);
    EXPECT_TRUE(t.prompts.shown.back().text.contains("could not be written"));
}

TEST(MainCtlHistory, TextsInBothLanguages) {
    SimSession s;
    for (int lang : {0, 1}) {
        s.tool().SetLanguage(lang);
        for (int i = 0; i < static_cast<int>(HistText::Count); ++i) {
            const QString t = s.tool().Text(kHistTextFirstEntry + i);
            EXPECT_FALSE(t.isEmpty() || t == "-") << "language " << lang << ", entry " << i;
        }
    }
    s.tool().SetLanguage(1);
    EXPECT_EQ(HistoryText(s.tool(), HistText::Restore), "Ripristina");
    // Every reason a point can have, shown in the window's language; the
    // files keep the key.
    for (PointReason r : {PointReason::Connection, PointReason::Load, PointReason::Calibration,
                          PointReason::Upgrade, PointReason::Upgraded, PointReason::ModelReset,
                          PointReason::Set, PointReason::WriteModel, PointReason::Close,
                          PointReason::Offline, PointReason::Restore}) {
        s.tool().SetLanguage(0);
        const QString english = PointReasonText(s.tool(), r);
        s.tool().SetLanguage(1);
        const QString italian = PointReasonText(s.tool(), r);
        EXPECT_FALSE(english.isEmpty() || english == "-") << PointReasonName(r).toStdString();
        EXPECT_NE(english, italian) << PointReasonName(r).toStdString();
    }
    s.tool().SetLanguage(1);
    EXPECT_EQ(PointReasonText(s.tool(), PointReason::Calibration), "prima di una taratura");
    EXPECT_EQ(PointReasonName(PointReason::Calibration), "calibration");
}
