// The restore-point store: a point is a parameter file whose header the
// reader skips, it is never rewritten, an ECU's points are listed from its
// own folder newest first, a damaged file is listed as damaged, retention
// keeps the newest points and those taken before upgrades and calibrations,
// and a folder that cannot be written says so.
#include "ecu/History.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <functional>
#include <set>

#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"

using namespace gascal;

namespace {

ParamImage Image(int switchTemp) {
    ParamImage i;
    i.Mem3Block.NumCoils = 4;
    i.Mem3Block.NumCylinders = 4;
    i.Mem3Block.SwitchTempRaw = static_cast<uint8_t>(switchTemp);
    i.RecomputeRpmConstant();
    i.CorTable[kCorTimeEntries + 1] = 1;
    for (int k = 0; k < kCorTimeEntries; ++k) i.CorTable[static_cast<size_t>(k)] = 0.128 * (k % 7);
    return i;
}

PointHeader Header(uint32_t serial, PointReason reason) {
    PointHeader h;
    h.serial = serial;
    h.ecuIdentity = QStringLiteral("0140010120 KT540 CUSTOMER CODE");
    h.ecuVersion = 140;
    h.time = QDateTime(QDate(2026, 3, 4), QTime(9, 30, 15));
    h.reason = reason;
    h.flash = reason != PointReason::Set;
    return h;
}

RestorePoint Write(const QString& root, uint32_t serial, PointReason reason, int switchTemp = 40) {
    QString why;
    const auto p =
        WriteRestorePoint(root, Header(serial, reason),
                          ParamFileLines(Image(switchTemp), 140, QStringLiteral("T")), {}, &why);
    EXPECT_TRUE(p) << why.toStdString();
    return p ? *p : RestorePoint();
}

QStringList Ids(const std::vector<RestorePoint>& points) {
    QStringList ids;
    for (const RestorePoint& p : points) ids << p.id;
    return ids;
}

}  // namespace

TEST(History, APointLoadsAsAnOrdinaryParameterFile) {
    QTemporaryDir dir;
    const RestorePoint p = Write(dir.path(), 468000123, PointReason::Load, 55);
    EXPECT_EQ(p.id, QStringLiteral("468000123-0001"));
    EXPECT_EQ(QFileInfo(p.path).dir().dirName(), QStringLiteral("468000123"));
    EXPECT_EQ(p.reason, PointReason::Load);
    EXPECT_TRUE(p.flash);
    EXPECT_EQ(p.ecuVersion, 140);
    EXPECT_EQ(p.ecuIdentity, QStringLiteral("0140010120 KT540 CUSTOMER CODE"));
    EXPECT_EQ(p.time, QDateTime(QDate(2026, 3, 4), QTime(9, 30, 15)));

    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(p.path, lines));
    EXPECT_EQ(lines.first(), QStringLiteral("[INFO]"));
    EXPECT_EQ(lines[2], QLatin1String(kHistorySection));

    // The parameter-file reader finds every part and no line it cannot read.
    ParamImage loaded = Image(0);
    ParamLoadOptions o;
    o.block5Expected = true;
    ParamLoadReport report;
    LoadParamFile(p.path, loaded, nullptr, o, &report);
    EXPECT_TRUE(report.badLines.isEmpty()) << report.badLines.join('\n').toStdString();
    EXPECT_TRUE(report.missing.isEmpty()) << report.missing.join('\n').toStdString();
    EXPECT_FALSE(report.Partial());
    EXPECT_EQ(loaded.Mem3Block.SwitchTempRaw, 55);
    EXPECT_EQ(loaded.CorTable, Image(55).CorTable);
}

TEST(History, PointsAreNeverRewrittenAndListNewestFirst) {
    QTemporaryDir dir;
    const RestorePoint a = Write(dir.path(), 7, PointReason::Connection, 40);
    QFile fa(a.path);
    ASSERT_TRUE(fa.open(QIODevice::ReadOnly));
    const QByteArray before = fa.readAll();
    fa.close();
    const RestorePoint b = Write(dir.path(), 7, PointReason::Set, 41);
    const RestorePoint c = Write(dir.path(), 7, PointReason::Connection, 41);
    EXPECT_EQ(Ids(ListHistory(dir.path(), 7)), QStringList({c.id, b.id, a.id}));
    ASSERT_TRUE(fa.open(QIODevice::ReadOnly));
    EXPECT_EQ(fa.readAll(), before);
    // The same second, the same contents: still a new point.
    EXPECT_NE(b.id, c.id);
    EXPECT_FALSE(b.flash);
}

TEST(History, TwoEcusInOneFolderKeepTheirOwnPoints) {
    QTemporaryDir dir;
    const RestorePoint a1 = Write(dir.path(), 111, PointReason::Connection);
    const RestorePoint b1 = Write(dir.path(), 222, PointReason::Connection);
    const RestorePoint a2 = Write(dir.path(), 111, PointReason::Load);
    EXPECT_EQ(Ids(ListHistory(dir.path(), 111)), QStringList({a2.id, a1.id}));
    EXPECT_EQ(Ids(ListHistory(dir.path(), 222)), QStringList({b1.id}));
    EXPECT_TRUE(ListHistory(dir.path(), 333).empty());
    EXPECT_EQ(HistorySerials(dir.path()), (std::vector<uint32_t>{111, 222}));
    // An ID names its ECU: found wherever it is.
    const auto found = FindRestorePoint(dir.path(), b1.id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->serial, 222u);
    EXPECT_EQ(found->path, b1.path);
    EXPECT_FALSE(FindRestorePoint(dir.path(), QStringLiteral("222-0009")));
    EXPECT_FALSE(FindRestorePoint(dir.path(), QStringLiteral("../222-0001")));
}

TEST(History, ADamagedPointIsListedAsDamaged) {
    struct Case {
        const char* what;
        std::function<void(QByteArray&)> damage;
    };
    const Case cases[] = {
        {"a table value changed",
         [](QByteArray& f) { f.replace("\r\n 0,128\r\n", "\r\n 0,129\r\n"); }},
        {"cut short", [](QByteArray& f) { f.chop(f.size() / 2); }},
        {"cut at a line end", [](QByteArray& f) { f.chop(f.size() - f.indexOf("[COR]")); }},
        {"the header's reason changed",
         [](QByteArray& f) { f.replace("Reason=load", "Reason=upgrade"); }},
        {"the check removed", [](QByteArray& f) { f.replace("Check=", "Chekc="); }},
        {"an empty file", [](QByteArray& f) { f.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const RestorePoint good = Write(dir.path(), 5, PointReason::Connection);
        const RestorePoint bad = Write(dir.path(), 5, PointReason::Load);
        QFile f(bad.path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QByteArray data = f.readAll();
        f.close();
        const QByteArray original = data;
        c.damage(data);
        ASSERT_NE(data, original);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
        f.close();
        const std::vector<RestorePoint> list = ListHistory(dir.path(), 5);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_TRUE(list[0].damaged);
        EXPECT_FALSE(list[0].why.isEmpty());
        EXPECT_FALSE(list[1].damaged) << list[1].why.toStdString();
        const auto found = FindRestorePoint(dir.path(), bad.id);
        ASSERT_TRUE(found);
        EXPECT_TRUE(found->damaged);
    }
}

TEST(History, RetentionKeepsTheNewestAndThePointsBeforeUpgradesAndCalibrations) {
    QTemporaryDir dir;
    std::vector<RestorePoint> all;
    // 130 points; a few of the oldest were taken before an upgrade or a calibration.
    const std::set<int> kept = {0, 3, 17, 29};
    for (int i = 0; i < 130; ++i) {
        const PointReason r = i == 3 || i == 29 ? PointReason::Calibration
                              : kept.count(i)   ? PointReason::Upgrade
                                                : PointReason::Connection;
        all.push_back(Write(dir.path(), 9, r, 30 + i % 50));
    }
    const std::vector<RestorePoint> left = ListHistory(dir.path(), 9);
    QStringList expected;
    for (int i = 129; i >= 0; --i)
        if (i >= 30 || kept.count(i)) expected << all[static_cast<size_t>(i)].id;
    EXPECT_EQ(Ids(left), expected);
    EXPECT_EQ(left.size(), size_t{kHistoryKeep} + kept.size());
    // Another ECU's points are not touched by this one's retention.
    const RestorePoint other = Write(dir.path(), 10, PointReason::Connection);
    EXPECT_EQ(PruneHistory(dir.path(), 9), 0);
    EXPECT_EQ(ListHistory(dir.path(), 10).size(), 1u);
    EXPECT_TRUE(QFile::exists(other.path));
}

TEST(History, AFolderThatCannotBeWrittenSaysWhy) {
    QTemporaryDir dir;
    // A file stands where the ECU's folder would be made.
    QFile blocker(dir.filePath(QStringLiteral("77")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QString why;
    const auto p = WriteRestorePoint(dir.path(), Header(77, PointReason::Load),
                                     ParamFileLines(Image(40), 140, QStringLiteral("T")), {}, &why);
    EXPECT_FALSE(p);
    EXPECT_TRUE(why.contains(QStringLiteral("cannot be made"))) << why.toStdString();
}

TEST(History, TheComparableConfigurationLeavesOutTheDateHeaderAndEcuState) {
    QStringList a = ParamFileLines(Image(40), 140, QStringLiteral("T"));
    QStringList b = a;
    b[1] = QStringLiteral(" Software ver. 01.01.05 T, file created 01/01/2030 00:00:00");
    b.insert(2, QLatin1String(kHistorySection));
    b.insert(3, QStringLiteral("Reason=set"));
    // The fuel byte of block 2 is the ECU's state.
    const qsizetype b2 = b.indexOf(QRegularExpression(QStringLiteral("^B2.*")));
    ASSERT_GE(b2, 0);
    b[b2].replace(2, 2, QStringLiteral("03"));
    b << QStringLiteral("[UPGRADE]") << QStringLiteral("Mem2=00");
    EXPECT_EQ(ComparableConfiguration(a), ComparableConfiguration(b));
    // A setting is not.
    QStringList c = ParamFileLines(Image(41), 140, QStringLiteral("T"));
    EXPECT_NE(ComparableConfiguration(a), ComparableConfiguration(c));
}
